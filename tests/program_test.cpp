// End-to-end tests: the real program, run on files made here, judged by what it prints and writes.
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
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
using support::done;
using support::failed;

namespace {

std::set<std::string> namesIn(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : support::snapshot(dir))
        names.insert(entry.first);
    return names;
}

bool writePng(const fs::path &path, int width = 5, int height = 3) {
    return support::writeFile(path, support::rgbaPng(support::pattern(width, height, true)));
}

// Starts the program on w.png in dir with a new terminal as its input and output or, when not,
// two pipes; in and out are where to write its input and read its output.
pid_t start(const fs::path &dir, bool terminal, int &in, int &out) {
    int input[2] = {-1, -1}, output[2] = {-1, -1};
    const pid_t pid = terminal ? forkpty(&out, nullptr, nullptr, nullptr)
                      : pipe(input) == 0 && pipe(output) == 0 ? fork()
                                                              : -1;
    if (pid == 0) {
        if (!terminal && (dup2(input[0], 0) < 0 || dup2(output[1], 1) < 0))
            _exit(127);
        if (chdir(dir.c_str()) == 0)
            execl(OSTRELLE_BIN, OSTRELLE_BIN, "w.png", static_cast<char *>(nullptr));
        _exit(127);
    }
    if (!terminal) {
        close(input[0]);
        close(output[1]);
        out = output[0];
    }
    in = terminal ? out : input[1];
    return pid;
}

} // namespace

// With nothing to do it says how to use it, and at the end of its input it ends at once.
TEST(Run, WithoutArgumentsPrintsTheUsageHint) {
    support::TempDir dir;
    const support::Run run = support::runOstrelle({}, dir.path, {{}, -1, false, 10});
    EXPECT_EQ(run.out, banner + "Drag and drop Files to the EXE.\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(namesIn(dir.path).empty());
}

// With input open, the run ends once one character has arrived, and not before: from a pipe any
// character, on a terminal one key without Enter, or Ctrl-C. A terminal is left as it was.
TEST(Run, OneCharacterEndsTheWait) {
    support::TempDir dir;
    ASSERT_TRUE(writePng(dir.path / "w.png"));
    for (const char key : {'y', 'k', '\x03'}) {
        const bool terminal = key != 'y';
        SCOPED_TRACE(terminal ? "terminal, key " + std::to_string(key) : "pipe");
        fs::remove(dir.path / "w.tga");
        int in = -1, out = -1;
        const pid_t pid = start(dir.path, terminal, in, out);
        ASSERT_GE(pid, 0);
        termios before{}, waiting{}, after{};
        ASSERT_TRUE(!terminal || tcgetattr(out, &before) == 0);

        std::string printed;
        char buffer[512];
        pollfd pfd{out, POLLIN, 0};
        while (printed.find("Press any key to continue.") == std::string::npos &&
               poll(&pfd, 1, 20000) > 0) {
            const ssize_t n = read(out, buffer, sizeof buffer);
            if (n <= 0)
                break;
            printed.append(buffer, static_cast<std::size_t>(n));
        }
        EXPECT_NE(printed.find("Done!"), std::string::npos) << printed;
        // The prompt is out before the wait begins; the key goes in once the terminal is switched.
        for (int i = 0; terminal && i < 500 && tcgetattr(out, &waiting) == 0 &&
                        (waiting.c_lflag & ICANON) != 0;
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(waiting.c_lflag & (ICANON | ECHO), 0u);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "ended without waiting for input";

        ASSERT_EQ(write(in, &key, 1), 1); // one character; the input itself stays open
        pid_t ended = 0;
        for (int i = 0; i < 100 && ended == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ended = waitpid(pid, &status, WNOHANG);
        }
        if (ended == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "still waiting after one character";
        } else if (key == '\x03') {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        if (terminal) {
            ASSERT_EQ(tcgetattr(out, &after), 0);
            EXPECT_TRUE(before.c_iflag == after.c_iflag && before.c_oflag == after.c_oflag &&
                        before.c_lflag == after.c_lflag &&
                        std::equal(before.c_cc, before.c_cc + NCCS, after.c_cc));
        } else {
            close(in);
        }
        close(out);
    }
}

// Whatever stands at an output name stays as it is and is never written through: a file its owner
// may write but not read, and a link to where nothing is yet. A folder that takes no staging
// folder is reported, unless its output name is taken already.
TEST(Save, NothingAtTheOutputNameOrInAFolderWithoutRightsIsTouched) {
    support::TempDir dir;
    fs::create_directory(dir.path / "ro");
    for (const char *name : {"w.png", "d.png", "ro/x.png", "ro/y.png"})
        ASSERT_TRUE(writePng(dir.path / name));
    ASSERT_TRUE(support::writeFile(dir.path / "w.tga", "written, never read") &&
                support::writeFile(dir.path / "ro/y.tga", "the user's own"));
    fs::create_symlink("elsewhere.tga", dir.path / "d.tga");
    const auto files = support::snapshot(dir.path);
    // Root may read and write anything, so as root the program runs as an unprivileged user.
    const bool root = geteuid() == 0;
    if (root) {
        fs::permissions(dir.path, fs::perms::all);
        ASSERT_EQ(chown((dir.path / "w.tga").c_str(), 65534, 65534), 0);
    }
    fs::permissions(dir.path / "w.tga", fs::perms::owner_write);
    fs::permissions(dir.path / "ro",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const support::Run run = support::runOstrelle({"w.png", "d.png", "ro/x.png", "ro/y.png"},
                                                  dir.path, {{}, root ? 65534 : -1});
    fs::permissions(dir.path / "w.tga", fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(dir.path / "ro", fs::perms::owner_write, fs::perm_options::add);
    if (root && run.status == 127 && run.out.empty())
        GTEST_SKIP() << "an unprivileged user cannot reach the program in this checkout";

    const std::string exists = failed(false, 1292, "file already exists");
    EXPECT_EQ(run.out,
              banner + exists + exists + failed(false, 1290, "could not open file") + exists);
    EXPECT_EQ(support::snapshot(dir.path), files);
}

// A save cut short must leave no broken file behind. A file size limit stands in for a full disk,
// met in either way a session may choose: writes past it fail unnoticed by the library, or the
// writing process is stopped (in a worker that converted a file before, so it is tried again).
TEST(Save, ASaveCutShortLeavesNothingBehind) {
    support::TempDir dir;
    ASSERT_TRUE(writePng(dir.path / "big.png", 64, 64) && writePng(dir.path / "small.png"));
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 2048;
    const std::pair<void (*)(int), std::string> cases[] = {
        {SIG_IGN, failed(false, 1298, "file read or write error")},
        {SIG_DFL, failed(false, 1284,
                         "the output reached the file size limit of this session (2048 bytes)")},
    };
    for (const auto &[atLimit, report] : cases) {
        fs::remove(dir.path / "small.tga");
        std::signal(SIGXFSZ, atLimit); // inherited by the program
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const support::Run run = support::runOstrelle({"small.png", "big.png"}, dir.path);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, SIG_DFL);

        EXPECT_EQ(run.out, banner + done + report);
        EXPECT_EQ(namesIn(dir.path), (std::set<std::string>{"big.png", "small.png", "small.tga"}));
    }
}
