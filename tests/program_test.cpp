// End-to-end tests: the real program, run on files made here, judged by what it prints and writes.
#include "support.h"

#include <IL/il.h>
#include <gtest/gtest.h>
#include <png.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using support::banner;
using support::runOstrelle;

namespace {

const std::string done = "Done!\nPress any key to continue.\n";

std::string failure(const char *what, int code, const char *text) {
    return std::string(what) + "\n\nThe error " + std::to_string(code) + "\nString is " + text +
           "\n";
}

std::set<std::string> filesIn(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Writes the test pattern as an RGBA PNG and returns the picture.
support::Image makePng(const fs::path &path, int width = 5, int height = 3) {
    const support::Image image = support::pattern(width, height, true);
    EXPECT_TRUE(support::writeRgbaPng(path, image)) << path;
    return image;
}

void expectTgaHolds(const fs::path &path, const support::Image &expected) {
    const support::Tga tga = support::readTga(path);
    ASSERT_TRUE(tga.ok) << path << ": " << tga.why;
    EXPECT_EQ(tga.image.width, expected.width);
    EXPECT_EQ(tga.image.height, expected.height);
    EXPECT_EQ(tga.image.rgba, expected.rgba) << path;
}

} // namespace

TEST(Run, WithoutArgumentsPrintsTheUsageHint) {
    support::TempDir dir;
    const support::Run run = runOstrelle({}, dir.path);
    EXPECT_EQ(run.out, std::string(banner) + "Drag and drop Files to the EXE.\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(filesIn(dir.path).empty());
}

TEST(Run, ConvertsOneFileBesideIt) {
    support::TempDir dir;
    const fs::path sub = dir.path / "my pics.v2";
    fs::create_directory(sub);
    const support::Image image = makePng(sub / "x.png", 7, 4);

    const support::Run run = runOstrelle({(sub / "x.png").string()}, dir.path);
    EXPECT_EQ(run.out, std::string(banner) + done);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(filesIn(sub), (std::set<std::string>{"x.png", "x.tga"}));
    expectTgaHolds(sub / "x.tga", image);
}

TEST(Run, GoesOnAfterAFileThatFailsToLoad) {
    support::TempDir dir;
    const support::Image first = makePng(dir.path / "a.png", 2, 2);
    const support::Image third = makePng(dir.path / "C.PNG", 3, 1);

    const support::Run run = runOstrelle({"a.png", "missing.png", "C.PNG"}, dir.path);
    EXPECT_EQ(run.out,
              std::string(banner) + done +
                  failure("Failed to load:", IL_COULD_NOT_OPEN_FILE, "could not open file") + done);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(filesIn(dir.path), (std::set<std::string>{"a.png", "a.tga", "C.PNG", "C.tga"}));
    expectTgaHolds(dir.path / "a.tga", first);
    expectTgaHolds(dir.path / "C.tga", third);
}

TEST(Run, ArgumentsThatLookLikeOptionsAreFiles) {
    support::TempDir dir;
    const support::Image image = makePng(dir.path / "-h.png");
    const support::Run run = runOstrelle({"-h.png", "--help"}, dir.path);
    EXPECT_EQ(run.out, std::string(banner) + done +
                           failure("Failed to load:", IL_INVALID_EXTENSION, "invalid extension"));
    expectTgaHolds(dir.path / "-h.tga", image);
}

TEST(Run, ReturnsAtOnceAtEndOfInput) {
    support::TempDir dir;
    const auto start = std::chrono::steady_clock::now();
    const support::Run run = runOstrelle({}, dir.path, 20);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.status, 0);
    EXPECT_LT(took, std::chrono::seconds(10));
}

// With input open, the run ends only once one character has arrived, and not before.
TEST(Run, WaitsForOneCharacter) {
    support::TempDir dir;
    makePng(dir.path / "w.png");
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        if (chdir(dir.path.c_str()) != 0)
            _exit(127);
        execl(OSTRELLE_BIN, OSTRELLE_BIN, "w.png", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);

    // Read until the last report line is out; the program then sits in its wait.
    std::string printed;
    const std::string expected = std::string(banner) + done;
    char buffer[512];
    pollfd pfd{out[0], POLLIN, 0};
    while (printed.size() < expected.size() && poll(&pfd, 1, 20000) > 0) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        printed.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(printed, expected);

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "ended without waiting for input";

    ASSERT_EQ(write(in[1], "y", 1), 1); // one character; the pipe itself stays open
    pid_t ended = 0;
    for (int i = 0; i < 100 && ended == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ended = waitpid(pid, &status, WNOHANG);
    }
    if (ended == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "still waiting after a character arrived";
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    close(in[1]);
    close(out[0]);
}

// On a terminal one key ends the wait without Enter, and Ctrl-C ends it too; either way the
// terminal is left with the settings it had.
TEST(Run, OnATerminalOneKeyEndsTheWait) {
    support::TempDir dir;
    makePng(dir.path / "t.png");
    auto same = [](const termios &a, const termios &b) {
        return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
               a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
    };
    for (const char key : {'k', '\x03'}) {
        SCOPED_TRACE(key == 'k' ? "a key" : "Ctrl-C");
        fs::remove(dir.path / "t.tga");
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (chdir(dir.path.c_str()) != 0)
                _exit(127);
            execl(OSTRELLE_BIN, OSTRELLE_BIN, "t.png", static_cast<char *>(nullptr));
            _exit(127);
        }
        termios before{}, waiting{}, after{};
        ASSERT_EQ(tcgetattr(master, &before), 0);
        ASSERT_TRUE((before.c_lflag & ICANON) && (before.c_lflag & ECHO));

        std::string printed;
        char buffer[512];
        pollfd pfd{master, POLLIN, 0};
        while (printed.find("Press any key to continue.") == std::string::npos &&
               poll(&pfd, 1, 20000) > 0) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            printed.append(buffer, static_cast<std::size_t>(n));
        }
        EXPECT_NE(printed.find("Done!"), std::string::npos) << printed;
        // The prompt is out before the wait begins; the key goes in once the terminal is switched.
        for (int i = 0; i < 500 && tcgetattr(master, &waiting) == 0 && (waiting.c_lflag & ICANON);
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(waiting.c_lflag & (ICANON | ECHO), 0u);

        ASSERT_EQ(write(master, &key, 1), 1);
        int status = 0;
        pid_t ended = 0;
        for (int i = 0; i < 100 && ended == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ended = waitpid(pid, &status, WNOHANG);
        }
        if (ended == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "still waiting after one key";
        } else if (key == 'k') {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
        }
        ASSERT_EQ(tcgetattr(master, &after), 0);
        EXPECT_TRUE(same(before, after));
        close(master);
    }
}

TEST(Save, NeverOverwritesAnExistingFile) {
    support::TempDir dir;
    const support::Image image = makePng(dir.path / "x.png");
    ASSERT_EQ(runOstrelle({"x.png"}, dir.path).out, std::string(banner) + done);
    const std::vector<std::uint8_t> firstTga = support::readFile(dir.path / "x.tga");

    // A second run on the same file, and a file of the user's own under the output name.
    {
        std::ofstream mine(dir.path / "y.tga");
        mine << "my own notes";
    }
    makePng(dir.path / "y.png");
    const support::Run run = runOstrelle({"x.png", "y.png"}, dir.path);
    const std::string exists =
        failure("Failed to save:", IL_FILE_ALREADY_EXISTS, "file already exists");
    EXPECT_EQ(run.out, std::string(banner) + exists + exists);
    EXPECT_EQ(support::readFile(dir.path / "x.tga"), firstTga);
    const std::vector<std::uint8_t> notes = support::readFile(dir.path / "y.tga");
    EXPECT_EQ(std::string(notes.begin(), notes.end()), "my own notes");
    expectTgaHolds(dir.path / "x.tga", image);
}

// Whatever stands at the output name stays as it is and is never written through: a file its
// owner may write but not read, and a link to where nothing is yet.
TEST(Save, NeverWritesThroughWhatStandsAtTheOutputName) {
    support::TempDir dir;
    makePng(dir.path / "w.png");
    makePng(dir.path / "d.png");
    { std::ofstream(dir.path / "w.tga") << "written, never read"; }
    fs::create_symlink("elsewhere.tga", dir.path / "d.tga");
    // Root may read any file, so as root the program runs as an unprivileged owner instead.
    const bool root = geteuid() == 0;
    if (root) {
        fs::permissions(dir.path, fs::perms::all);
        ASSERT_EQ(chown((dir.path / "w.tga").c_str(), 65534, 65534), 0);
    }
    fs::permissions(dir.path / "w.tga", fs::perms::owner_write);
    const support::Run run = runOstrelle({"w.png", "d.png"}, dir.path, 30, root ? 65534 : -1);
    fs::permissions(dir.path / "w.tga", fs::perms::owner_read | fs::perms::owner_write);

    const std::string exists =
        failure("Failed to save:", IL_FILE_ALREADY_EXISTS, "file already exists");
    EXPECT_EQ(run.out, std::string(banner) + exists + exists);
    const std::vector<std::uint8_t> kept = support::readFile(dir.path / "w.tga");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "written, never read");
    EXPECT_EQ(filesIn(dir.path), (std::set<std::string>{"w.png", "w.tga", "d.png", "d.tga"}));
}

TEST(Save, OutputNamesWithoutAUsableEndingAreReported) {
    support::TempDir dir;
    // A real JPEG, written by the image library itself.
    {
        const support::Image image = support::pattern(8, 8, false);
        std::vector<std::uint8_t> rgb;
        for (std::size_t i = 0; i < image.rgba.size(); i += 4)
            rgb.insert(rgb.end(), &image.rgba[i], &image.rgba[i] + 3);
        ilInit();
        ASSERT_TRUE(ilTexImage(8, 8, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, rgb.data()));
        ASSERT_TRUE(ilSaveImage((dir.path / "photo.jpeg").c_str()));
    }
    makePng(dir.path / "abc"); // the library recognises a PNG by its contents

    const support::Run run = runOstrelle({"photo.jpeg", "abc"}, dir.path);
    EXPECT_EQ(run.out, std::string(banner) +
                           failure("Failed to save:", IL_INVALID_EXTENSION, "invalid extension") +
                           failure("Failed to save:", IL_INVALID_PARAM, "invalid parameter"));
    EXPECT_EQ(filesIn(dir.path), (std::set<std::string>{"photo.jpeg", "abc"}));
}

TEST(Save, PathsShorterThanThreeBytesWriteNothing) {
    support::TempDir dir;
    makePng(dir.path / "ab");
    const support::Image image = makePng(dir.path / "next.png");
    const support::Run run = runOstrelle({"ab", "next.png"}, dir.path);
    EXPECT_EQ(run.out, std::string(banner) +
                           failure("Failed to save:", IL_INVALID_PARAM, "invalid parameter") +
                           done);
    EXPECT_EQ(filesIn(dir.path), (std::set<std::string>{"ab", "next.png", "next.tga"}));
    expectTgaHolds(dir.path / "next.tga", image);
}

// The library keeps one error stack for the whole process; each report must carry its own file's
// code.
TEST(Save, EachFailureShowsItsOwnCode) {
    support::TempDir dir;
    makePng(dir.path / "abc");
    { std::ofstream(dir.path / "notes.xyz") << "not an image"; }
    // A broken GIF leaves a pile of errors behind; an empty PPM fails without giving any.
    { std::ofstream(dir.path / "broken.gif") << "junk"; }
    { std::ofstream(dir.path / "empty.ppm"); }
    const support::Run run = runOstrelle(
        {"gone.png", "abc", "notes.xyz", "gone.png", "broken.gif", "empty.ppm"}, dir.path);
    EXPECT_EQ(run.out,
              std::string(banner) +
                  failure("Failed to load:", IL_COULD_NOT_OPEN_FILE, "could not open file") +
                  failure("Failed to save:", IL_INVALID_PARAM, "invalid parameter") +
                  failure("Failed to load:", IL_INVALID_EXTENSION, "invalid extension") +
                  failure("Failed to load:", IL_COULD_NOT_OPEN_FILE, "could not open file") +
                  failure("Failed to load:", IL_INVALID_FILE_HEADER, "invalid file header") +
                  failure("Failed to load:", IL_UNKNOWN_ERROR, "unknown error"));
}

TEST(Save, AFolderThatCannotBeWrittenIsReported) {
    support::TempDir dir;
    makePng(dir.path / "x.png");
    // Root writes anywhere, so as root the program runs as an unprivileged user instead.
    const bool root = geteuid() == 0;
    fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(dir.path, fs::perms::owner_write, fs::perm_options::remove);
    const support::Run run = runOstrelle({"x.png"}, dir.path, 30, root ? 65534 : -1);
    fs::permissions(dir.path, fs::perms::owner_write, fs::perm_options::add);
    if (root && run.status == 127 && run.out.empty())
        GTEST_SKIP() << "an unprivileged user cannot reach the program in this checkout";
    EXPECT_EQ(run.out, std::string(banner) + failure("Failed to save:", IL_COULD_NOT_OPEN_FILE,
                                                     "could not open file"));
    EXPECT_EQ(filesIn(dir.path), (std::set<std::string>{"x.png"}));
}

// A save cut short must leave no broken file behind. A file size limit stands in for a full disk:
// the library's writes stop part-way and it does not notice.
// The limit can be met in two ways, as the session chose: writes past it fail unnoticed by the
// library, or the writing process is stopped; either is a failed save that names what happened.
TEST(Save, ASaveCutShortLeavesNothingBehind) {
    support::TempDir dir;
    makePng(dir.path / "big.png", 64, 64);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 2048;
    const std::pair<void (*)(int), std::string> cases[] = {
        {SIG_IGN, failure("Failed to save:", IL_FILE_WRITE_ERROR, "file read or write error")},
        {SIG_DFL, failure("Failed to save:", IL_INTERNAL_ERROR,
                          "the output reached the file size limit of this session (2048 bytes)")},
    };
    for (const auto &[atLimit, report] : cases) {
        std::signal(SIGXFSZ, atLimit); // inherited by the program
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const support::Run run = runOstrelle({"big.png"}, dir.path);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, SIG_DFL);

        EXPECT_EQ(run.out, std::string(banner) + report);
        EXPECT_EQ(filesIn(dir.path), (std::set<std::string>{"big.png"}));
    }
}
