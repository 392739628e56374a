// End-to-end tests: the real program, run on files made here, judged by what it prints and writes;
// among them files that would crash, freeze or exhaust the image library, and a worker that a file
// has taken over.
#include "evil_acts.h"
#include "support.h"

#include <IL/il.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sched.h>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using support::banner;
using support::done;
using support::failed;

namespace {

// A PNG of 23171x23171 16-bit RGBA pixels: width x height x 8 passes 2^32 by a little, so a
// 32-bit size wraps to a buffer smaller than one row. Three rows of data follow.
std::string sizeWrapPng() {
    return support::png(23171, 23171, 16, 6, std::string(3 * (23171 * 8 + 1), '\0'));
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer catches the library's overflow before it faults and ends the child itself.
const char *const crashText = "the image library ended the process (status 1)";
#else
const char *const crashText = "the image library crashed (signal 11)";
#endif

// A 4x2 picture of four colours: the library writes no GIF, and refuses the common 1x1 one.
const std::string
    gif("GIF89a\x04\x00\x02\x00\x81\x00\x00\x00\x00\x00\xff\x00\x00\x00\xff\x00\x00\x00"
        "\xff,\x00\x00\x00\x00\x04\x00\x02\x00\x00\x02\x05\x44\xa8\x71\x62\x50\x00;",
        44);

bool writePng(const fs::path &path, int width = 5, int height = 3) {
    return support::writeFile(path, support::rgbaPng(support::pattern(width, height, true)));
}

// How the program is started: on two pipes; on a new terminal the way a shell starts a job, in a
// process group of its own in the foreground; or on a new terminal as its first process, the way a
// terminal window starts it, where no shell could continue it if it stopped.
enum class Start { pipes, job, alone };

// Reads one int from fd; false if none comes within ms milliseconds.
bool readWithin(int fd, int &value, int ms) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, ms) == 1 && read(fd, &value, sizeof value) == sizeof value;
}

// The program on w.png in dir, under a parent that stands in for the shell: it passes on each stop
// and the end of the program as waitpid reports them. On a terminal, typedAhead is typed before
// the program starts. Killed, if it has not ended, when the object goes away.
struct Started {
    Started(const fs::path &dir, Start how, const std::string &typedAhead);
    ~Started();
    Started(const Started &) = delete;
    Started &operator=(const Started &) = delete;

    // The program's next wait status, or -1 when none comes within ms milliseconds.
    int next(int ms);

    pid_t shell = -1, program = -1;
    int in = -1, out = -1; // its input and output; on a terminal both are the master side
    int slave = -1;        // the terminal's side, where its unread input is
    termios before{};      // the terminal's settings before the program started
    int states = -1;
    bool ended = false;
};

Started::Started(const fs::path &dir, Start how, const std::string &typedAhead) {
    const bool terminal = how != Start::pipes;
    int input[2] = {-1, -1}, output[2] = {-1, -1}, report[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0)
        return;
    states = report[0];
    if (terminal) {
        if (openpty(&in, &slave, nullptr, nullptr, nullptr) != 0 || tcgetattr(in, &before) != 0 ||
            fcntl(in, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave, F_SETFD, FD_CLOEXEC) != 0 ||
            write(in, typedAhead.data(), typedAhead.size()) !=
                static_cast<ssize_t>(typedAhead.size()))
            return;
        out = in;
    } else {
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            return;
        in = input[1];
        out = output[0];
    }
    shell = fork();
    if (shell == 0) {
        if (how == Start::job && (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0))
            _exit(127);
        const pid_t child = fork();
        if (child == 0) {
            if (how == Start::alone && (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0))
                _exit(127);
            if (how == Start::job) {
                signal(SIGTTOU, SIG_IGN); // taking the foreground from the background
                if (setpgid(0, 0) != 0 || tcsetpgrp(slave, getpid()) != 0)
                    _exit(127);
                signal(SIGTTOU, SIG_DFL);
            }
            if (dup2(terminal ? slave : input[0], 0) < 0 ||
                dup2(terminal ? slave : output[1], 1) < 0 || (terminal && dup2(slave, 2) < 0))
                _exit(127);
            if (chdir(dir.c_str()) == 0)
                execl(OSTRELLE_BIN, OSTRELLE_BIN, "w.png", static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        bool going = write(report[1], &child, sizeof child) == sizeof child;
        while (going && waitpid(child, &status, WUNTRACED) == child)
            going = write(report[1], &status, sizeof status) == sizeof status && WIFSTOPPED(status);
        _exit(0);
    }
    for (const int fd : {report[1], input[0], output[1]})
        if (fd >= 0)
            close(fd);
    if (int pid = -1; shell > 0 && readWithin(states, pid, 5000))
        program = pid;
}

Started::~Started() {
    if (program > 0 && !ended)
        kill(program, SIGKILL);
    for (const int fd : {in, out != in ? out : -1, slave, states})
        if (fd >= 0)
            close(fd);
    if (shell > 0)
        waitpid(shell, nullptr, 0);
}

int Started::next(int ms) {
    int status = -1;
    if (!readWithin(states, status, ms))
        return -1;
    ended = WIFEXITED(status) || WIFSIGNALED(status);
    return status;
}

// Whether the terminal is, or within five seconds comes to be, in one-key mode: no line editing
// and no echo.
bool becomesOneKey(int terminal) {
    termios now{};
    for (int i = 0; i < 500; ++i) {
        if (tcgetattr(terminal, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The bytes of input a terminal holds for its next reader. Line editing is switched off first: with
// it, only finished lines are counted.
int unreadInput(int terminal, int slave) {
    termios raw{};
    int unread = -1;
    if (tcgetattr(terminal, &raw) != 0)
        return -1;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    if (tcsetattr(terminal, TCSANOW, &raw) != 0 || ioctl(slave, FIONREAD, &unread) != 0)
        return -1;
    return unread;
}

bool sameSettings(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

// A TCP port of the test's own on the loopback, listening while the object lives.
struct Listener {
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        auto *a = reinterpret_cast<sockaddr *>(&address);
        if (bind(fd, a, size) == 0 && listen(fd, 4) == 0 && getsockname(fd, a, &size) == 0)
            port = std::to_string(ntohs(address.sin_port));
    }
    ~Listener() { close(fd); }
    int fd = -1;
    std::string port = "0";
};

} // namespace

// With nothing to do it says how to use it, and at the end of its input it ends at once.
TEST(Run, WithoutArgumentsPrintsTheUsageHint) {
    support::TempDir dir;
    const support::Run run = support::runOstrelle({}, dir.path, {{}, -1, false, 10});
    EXPECT_EQ(run.out, banner + "Drag and drop Files to the EXE.\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(support::namesIn(dir.path).empty());
}

// With input open, the run ends once one character has arrived, and not before: from a pipe any
// character, on a terminal one key without Enter (also one typed before the wait began), or
// Ctrl-C. No byte of the key is left for the shell to read, and the terminal is left as it was.
// Stopped and continued, the wait is for one key again.
TEST(Run, OneCharacterEndsTheWait) {
    enum class Arrival { typed, typedAhead, split, afterCtrlZ, afterSigstop };
    const struct {
        const char *name;
        Start start;
        Arrival arrival;
        std::string typed; // in one write, as a terminal sends one key, unless split
    } cases[] = {
        {"pipe", Start::pipes, Arrival::typed, "y"},
        {"letter", Start::job, Arrival::typed, "k"},
        {"Ctrl-C", Start::job, Arrival::typed, "\x03"},
        {"arrow", Start::job, Arrival::typed, "\x1b[A"},
        {"two-byte letter", Start::job, Arrival::typed, "\xc3\xa9"},
        {"paste", Start::job, Arrival::typed, std::string(100, 'p')},
        {"arrow typed ahead", Start::job, Arrival::typedAhead, "\x1b[A"},
        {"arrow split", Start::job, Arrival::split, "\x1b[A"},
        {"after Ctrl-Z and fg", Start::job, Arrival::afterCtrlZ, "k"},
        {"after SIGSTOP and fg", Start::job, Arrival::afterSigstop, "k"},
        {"after Ctrl-Z with no shell", Start::alone, Arrival::afterCtrlZ, "k"},
    };
    support::TempDir dir;
    ASSERT_TRUE(writePng(dir.path / "w.png"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir.path / "w.tga");
        const bool terminal = c.start != Start::pipes;
        Started run(dir.path, c.start, c.arrival == Arrival::typedAhead ? c.typed : "");
        ASSERT_GT(run.program, 0);

        std::string printed;
        char buffer[512];
        pollfd pfd{run.out, POLLIN, 0};
        while (printed.find("Press any key to continue.") == std::string::npos &&
               poll(&pfd, 1, 5000) > 0) {
            const ssize_t n = read(run.out, buffer, sizeof buffer);
            if (n <= 0)
                break;
            printed.append(buffer, static_cast<std::size_t>(n));
        }
        EXPECT_NE(printed.find("Done!"), std::string::npos) << printed;

        if (c.arrival != Arrival::typedAhead) {
            // The prompt is out before the wait begins; the key goes in once the terminal is
            // switched.
            EXPECT_TRUE(!terminal || becomesOneKey(run.in));
            EXPECT_EQ(run.next(200), -1) << "ended without waiting for input";
        }
        if (c.arrival == Arrival::afterCtrlZ || c.arrival == Arrival::afterSigstop) {
            if (c.arrival == Arrival::afterCtrlZ)
                ASSERT_EQ(write(run.in, "\x1a", 1), 1);
            else
                ASSERT_EQ(kill(run.program, SIGSTOP), 0);
            if (c.start == Start::alone) {
                EXPECT_EQ(run.next(200), -1) << "stopped with no shell to continue it";
            } else {
                const int status = run.next(5000);
                ASSERT_TRUE(status >= 0 && WIFSTOPPED(status)) << status;
                termios stopped{};
                EXPECT_TRUE(c.arrival != Arrival::afterCtrlZ ||
                            (tcgetattr(run.in, &stopped) == 0 && sameSettings(stopped, run.before)))
                    << "stopped with the terminal in one-key mode";
                // The shell puts back its own settings, then continues the job.
                ASSERT_EQ(tcsetattr(run.in, TCSANOW, &run.before), 0);
                ASSERT_EQ(kill(run.program, SIGCONT), 0);
            }
            EXPECT_TRUE(becomesOneKey(run.in)) << "not waiting for one key again";
        }
        // Split as over a slow link: the rest comes 10 ms after the first byte has been read. The
        // program waits a little longer than that for it, so what is left is judged only when the
        // rest was sent in good time.
        bool timely = true;
        if (c.arrival == Arrival::split) {
            const auto sent = std::chrono::steady_clock::now();
            ASSERT_EQ(write(run.in, c.typed.data(), 1), 1);
            int unread = 1;
            for (int i = 0; i < 20000 && ioctl(run.slave, FIONREAD, &unread) == 0 && unread > 0;
                 ++i)
                std::this_thread::sleep_for(std::chrono::microseconds(250));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_EQ(write(run.in, c.typed.data() + 1, c.typed.size() - 1),
                      static_cast<ssize_t>(c.typed.size() - 1));
            timely = std::chrono::steady_clock::now() - sent < std::chrono::milliseconds(30);
        } else if (c.arrival != Arrival::typedAhead) {
            ASSERT_EQ(write(run.in, c.typed.data(), c.typed.size()),
                      static_cast<ssize_t>(c.typed.size()));
        }

        const int status = run.next(5000);
        if (status < 0) {
            ADD_FAILURE() << "still waiting after the key";
        } else if (c.typed == "\x03") {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        if (terminal) {
            termios after{};
            EXPECT_TRUE(tcgetattr(run.in, &after) == 0 && sameSettings(after, run.before));
            const int unread = unreadInput(run.in, run.slave);
            EXPECT_TRUE(unread == 0 || (unread > 0 && !timely))
                << unread << " bytes of input left for the shell";
        }
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
        EXPECT_EQ(support::namesIn(dir.path),
                  (std::set<std::string>{"big.png", "small.png", "small.tga"}));
    }

    // A worker may write an output that fits the limit while the file the run would publish, with
    // its footer, does not: the run reports it and goes on rather than being stopped itself.
    fs::remove(dir.path / "small.tga");
    ASSERT_TRUE(support::writeFile(dir.path / "x.tight", "x"));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const support::Run run =
        support::runOstrelle({"x.tight", "small.png"}, dir.path,
                             {{{"OSTRELLE_TEST_ONLY_WORKER_PROGRAM", OSTRELLE_EVIL_WORKER}}});
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, banner + cases[1].second + done);
    EXPECT_EQ(support::namesIn(dir.path),
              (std::set<std::string>{"big.png", "small.png", "small.tga", "x.tight"}));
}

// One run meets every kind of file: good ones of each format the library both reads and writes,
// plus GIF and an icon; names it cannot save; files the library fails on in its own ways, which
// must each show their own code although it keeps one error stack; and hostile ones: broken or
// huge PNGs refused unread, crashes, a file that never loads. Each gets the report a run of it
// alone would give, and the same comes out with several workers and without the sandbox, which
// must cost the library nothing. Then every way two arguments can meet at one file.
TEST(HostileFiles, EachFileIsReportedAsAloneWhateverRunsBesideIt) {
    support::TempDir base;
    const fs::path made = base.path / "made";
    fs::create_directories(made / "my pics.v2");
    fs::create_directory_symlink("my pics.v2", made / "link");
    std::vector<std::pair<std::string, std::string>> expected; // argument and its report
    for (const char *name : {"p0.png", "p1.png", "my pics.v2/x.png", "-h.png", "C.PNG"}) {
        const int width = 3 + 40 * static_cast<int>(expected.size());
        ASSERT_TRUE(
            support::writeFile(made / name, support::rgbaPng(support::pattern(width, 2, true))));
        expected.emplace_back(name, done);
    }
    const support::Image rgb = support::pattern(16, 8, false);
    std::vector<std::uint8_t> samples;
    for (std::size_t i = 0; i < rgb.rgba.size(); i += 4)
        samples.insert(samples.end(), &rgb.rgba[i], &rgb.rgba[i] + 3);
    ilInit();
    ASSERT_TRUE(ilTexImage(16, 8, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, samples.data()));
    for (const std::string ext :
         {"bmp", "pcx", "png", "ppm", "pgm", "tga", "jpg", "sgi", "dds", "psd"}) {
        ASSERT_TRUE(ilSaveImage((made / (ext + "." + ext)).c_str())) << ext;
        // The TGA input is its own output name.
        expected.emplace_back(ext + "." + ext,
                              ext == "tga" ? failed(false, 1292, "file already exists") : done);
    }
    ASSERT_TRUE(ilSaveImage((made / "x.bmp").c_str()) &&
                ilSaveImage((made / "photo.jpeg").c_str()));
    ASSERT_TRUE(support::writeFile(made / "gif.gif", gif) &&
                support::writeFile(made / "ico.ico",
                                   support::ico(support::rgbaPng(support::pattern(16, 8, true)))));
    expected.insert(expected.end(), {{"gif.gif", done}, {"ico.ico", done}});
    const std::string good = support::readFile(made / "p0.png");
    for (const char *name :
         {"abc", "ab", "mine.png", "a.png", "x.png", "my pics.v2/s.png", "q.png"})
        ASSERT_TRUE(writePng(made / name));
    for (const auto &[name, bytes] : std::map<std::string, std::string>{
             {"notes.xyz", "not an image"},
             {"broken.gif", "junk"}, // leaves a pile of errors behind
             {"empty.ppm", ""},      // fails with an error of its own
             {"mine.tga", "the user's own"},
             {"again.tga", "the user's own, too"},
             {"stuck.tga", "another program's"},
             {"cut.png", good.substr(0, 41)}, // a download that stopped early
             {"long.png", good.substr(0, 34) + '\x10' + good.substr(35)}, // a 1 MiB data chunk
             {"wrap.png", sizeWrapPng()}, // the check goes by content, not by name
             {"WRAP2.PNG", sizeWrapPng()},
             {"wrap3.bin", sizeWrapPng()},
             // An icon may hold a PNG, whose size then reaches the library unchecked.
             {"crash.ico", support::ico(sizeWrapPng())},
             {"again.ico", support::ico(sizeWrapPng())}})
        ASSERT_TRUE(support::writeFile(made / name, bytes)) << name;
    const std::string exists = failed(false, 1292, "file already exists"),
                      unknownName = failed(true, 1291, "invalid extension"),
                      truncated = failed(true, 1298, "file is truncated"),
                      tooLarge = failed(true, 1297, "image too large: 23171x23171"),
                      crashed = failed(true, 1284, crashText);
    expected.insert(expected.end(),
                    {{"missing.png", failed(true, 1290, "could not open file")},
                     {"abc", done}, // saved as "tga", since the writer is chosen by type
                     {"notes.xyz", unknownName},
                     {"--help", unknownName},
                     {"ab", failed(false, 1289, "invalid parameter")},
                     {"photo.jpeg", done},
                     {"broken.gif", failed(true, 1288, "invalid file header")},
                     {"empty.ppm", failed(true, 1288, "invalid file header")},
                     {"mine.png", exists},
                     {"cut.png", truncated},
                     {"wrap.png", tooLarge},
                     {"long.png", truncated},
                     {"WRAP2.PNG", tooLarge},
                     {"wrap3.bin", tooLarge},
                     {"crash.ico", crashed},
                     {"again.ico", crashed},
                     // A pipe is never opened: nobody would ever write into it.
                     {"stuck.png", failed(true, 1290, "could not open file")}});
    std::vector<std::string> plain, outputs;
    std::string printed = banner;
    for (const auto &[name, report] : expected) {
        plain.push_back(name);
        printed += report;
        if (report == done)
            outputs.push_back(name.substr(0, name.size() - 3) + "tga");
    }
    std::set<std::string> afterwards = support::namesIn(made);
    afterwards.insert(outputs.begin(), outputs.end());
    // The same file twice, two inputs with one output (also through ./, a linked folder and
    // another case), an input that is an earlier file's output, an output that is a later one's.
    std::vector<std::string> colliding(plain.begin(), plain.end() - 1);
    colliding.insert(colliding.end(),
                     {"a.png", "a.png", "x.png", "x.bmp", "./x.png", "my pics.v2/s.png",
                      "link/s.png", "Q.PNG", "q.png", "p1.tga", "s.tga", "my pics.v2/s.png"});

    // Started with SIGCHLD ignored, as some launchers do: a worker's end must still be seen.
    std::signal(SIGCHLD, SIG_IGN);
    const auto run = [&](const std::vector<std::string> &args, const char *workers,
                         const char *sandbox, std::map<std::string, std::string> &files) {
        const fs::path dir = base.path / "run";
        fs::remove_all(dir);
        fs::copy(made, dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        EXPECT_EQ(mkfifo((dir / "stuck.png").c_str(), 0600), 0);
        const support::Run ran = support::runOstrelle(args, dir,
                                                      {{{"OSTRELLE_TEST_ONLY_WORKERS", workers},
                                                        {"OSTRELLE_TEST_ONLY_SECONDS", "2"},
                                                        {"OSTRELLE_TEST_ONLY_NO_SANDBOX", sandbox}},
                                                       -1,
                                                       true});
        files = support::snapshot(dir);
        for (const std::string &output : outputs) {
            const support::Tga tga = support::readTga(dir / output);
            EXPECT_TRUE(tga.ok) << output << ": " << tga.why;
        }
        return ran;
    };
    std::map<std::string, std::string> one, other;
    const support::Run alone = run(plain, "1", "0", one);
    EXPECT_EQ(alone.out, printed);
    EXPECT_EQ(support::namesIn(base.path / "run"), afterwards);
    // One worker serves the run; a crash in it, after other files, is tried once more in a fresh
    // one.
    EXPECT_EQ(alone.workersStarted, 4);
    for (const auto &[workers, sandbox] : {std::pair{"3", "0"}, {"1", "1"}}) {
        EXPECT_EQ(run(plain, workers, sandbox, other).out, printed) << workers << sandbox;
        EXPECT_EQ(other, one) << workers << " workers, no sandbox: " << sandbox;
    }
    const support::Run oneByOne = run(colliding, "1", "0", one);
    const support::Run several = run(colliding, "3", "0", other);
    std::signal(SIGCHLD, SIG_DFL);
    EXPECT_EQ(several.out, oneByOne.out);
    EXPECT_EQ(other, one);
    // Colliding arguments make the whole run go one file at a time.
    EXPECT_EQ(several.workersStarted, 4);
}

// Where the file system has neither unnamed files nor a no-replace rename nor hard links, every
// file still converts and nothing is replaced; an input that an earlier argument made is read as
// it is then, and its own output name is taken, with or without the sandbox.
TEST(Save, EveryFileSystemGetsWholeFilesAndNothingReplaced) {
    support::TempDir dir;
    fs::create_directories(dir.path / "c" / "e");
    for (const char *name : {"x.png", "y.png", "z.png", "c/e/f.png"})
        ASSERT_TRUE(writePng(dir.path / name));
    ASSERT_TRUE(support::writeFile(dir.path / "z.tga", "the user's own"));
    // A backslash is part of a name here, as in names from archives made on Windows.
    ASSERT_TRUE(writePng(dir.path / "c\\d.png"));
    const std::string exists = failed(false, 1292, "file already exists");
    // Unnamed files, a no-replace rename, a hard link, or none of them; with or without the
    // sandbox.
    const std::pair<const char *, const char *> ways[] = {
        {"0", "0"}, {"1", "0"}, {"1", "1"}, {"1", "2"}};
    for (const auto &[noTmpfile, noRename] : ways) {
        SCOPED_TRACE(std::string("no unnamed files: ") + noTmpfile + ", refused: " + noRename);
        for (const char *name : {"x.tga", "y.tga", "c\\d.tga", "c/e/f.tga"})
            fs::remove(dir.path / name);
        const support::Run run = support::runOstrelle(
            {"x.png", "x.tga", "y.png", "z.png", "c\\d.png", "c/e/f.png"}, dir.path,
            {{{"OSTRELLE_TEST_ONLY_NO_TMPFILE", noTmpfile},
              {"OSTRELLE_TEST_ONLY_NO_RENAME_OR_LINK", noRename},
              {"OSTRELLE_TEST_ONLY_NO_SANDBOX", *noRename == '2' ? "1" : "0"}}});
        EXPECT_EQ(run.out, banner + done + exists + done + exists + done + done);
        EXPECT_EQ(
            support::namesIn(dir.path),
            (std::set<std::string>{"c", "c/e", "c/e/f.png", "c/e/f.tga", "c\\d.png", "c\\d.tga",
                                   "x.png", "x.tga", "y.png", "y.tga", "z.png", "z.tga"}));
        EXPECT_EQ(support::readFile(dir.path / "z.tga"), "the user's own");
        for (const char *name : {"x.tga", "y.tga", "c/e/f.tga"}) {
            const support::Tga tga = support::readTga(dir.path / name);
            EXPECT_TRUE(tga.ok) << name << ": " << tga.why;
            EXPECT_EQ(support::differingPixels(tga.image, support::pattern(5, 3, true)), 0u);
        }
        // A new file gets the mode the umask gives it.
        EXPECT_EQ(fs::status(dir.path / "y.tga").permissions(),
                  fs::status(dir.path / "y.png").permissions());
    }
}

// A name taken by another program while the image converts stays as that program left it, and
// the file is reported as not saved, whichever way the file system lets a file be published; a
// named pipe given as an input is never opened, so a writer waiting at it keeps waiting.
TEST(Save, ANameTakenMeanwhileStaysAndAPipeIsNeverOpened) {
    support::TempDir dir;
    ASSERT_TRUE(support::writeFile(dir.path / "big.png",
                                   support::png(300, 300, 8, 2, std::string(300 * 901, '\0'))));
    ASSERT_EQ(mkfifo((dir.path / "pipe.png").c_str(), 0600), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const int fd = open((dir.path / "pipe.png").c_str(), O_WRONLY); // waits for a reader
        _exit(fd >= 0 ? 3 : 4);
    }
    for (const char *noTmpfile : {"0", "1"}) {
        SCOPED_TRACE(std::string("no unnamed files: ") + noTmpfile);
        fs::remove(dir.path / "big.tga");
        std::thread taker([&dir] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            support::writeFile(dir.path / "big.tga", "another program's");
        });
        // The run holds its output unnamed for 500 ms, so that the name is taken before it is
        // named however fast the machine converts.
        const support::Run run =
            support::runOstrelle({"pipe.png", "big.png"}, dir.path,
                                 {{{"OSTRELLE_TEST_ONLY_NO_TMPFILE", noTmpfile},
                                   {"OSTRELLE_TEST_ONLY_PUBLISH_PAUSE_MS", "500"}}});
        taker.join();
        EXPECT_EQ(run.out, banner + failed(true, 1290, "could not open file") +
                               failed(false, 1292, "file already exists"));
        EXPECT_EQ(support::readFile(dir.path / "big.tga"), "another program's");
        EXPECT_EQ(support::namesIn(dir.path), (std::set<std::string>{"big.png", "big.tga"}))
            << "(the pipe is not listed)";
    }
    EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the pipe was opened";
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
}

// On a pipe the last report is out, whole, before the wait begins, also a failure's (whose lines
// are printed by printf); a run started with SIGINT ignored (as by nohup) keeps it ignored at
// the wait, and still ends with one character.
TEST(Run, TheLastReportIsOutBeforeTheWaitAndAnIgnoredSigintStaysIgnored) {
    support::TempDir dir;
    int input[2], output[2];
    ASSERT_TRUE(pipe(input) == 0 && pipe(output) == 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGINT, SIG_IGN);
        if (dup2(input[0], 0) < 0 || dup2(output[1], 1) < 0 || chdir(dir.path.c_str()) != 0)
            _exit(127);
        execl(OSTRELLE_BIN, OSTRELLE_BIN, "missing.png", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    const std::string expected = banner + failed(true, 1290, "could not open file");
    std::string printed;
    pollfd pfd{output[0], POLLIN, 0};
    char buffer[512];
    while (printed.size() < expected.size() && poll(&pfd, 1, 10000) > 0) {
        const ssize_t n = read(output[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        printed.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(printed, expected);
    ASSERT_EQ(kill(pid, SIGINT), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "ended by an ignored SIGINT";
    ASSERT_EQ(write(input[1], "k", 1), 1);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(input[1]);
    close(output[0]);
}

// A batch of 20,000 files whose names take about 1.5 MB converts whole: nothing about one run is
// sent to a worker at once.
TEST(Run, ABatchOfTwentyThousandFilesConverts) {
    support::TempDir dir;
    const std::string png = support::rgbaPng(support::pattern(2, 2, true));
    std::vector<std::string> names;
    for (int i = 0; i < 20000; ++i) {
        names.push_back(std::string(64, 'n') + "-" + std::to_string(100000 + i) + ".png");
        ASSERT_TRUE(support::writeFile(dir.path / names.back(), png));
    }
    const support::Run run = support::runOstrelle(names, dir.path, {{}, -1, false, 120});
    std::size_t doneCount = 0;
    for (std::size_t at = 0; (at = run.out.find(done, at)) != std::string::npos; at += done.size())
        ++doneCount;
    EXPECT_EQ(doneCount, names.size());
    EXPECT_EQ(run.out.size(), banner.size() + names.size() * done.size());
    EXPECT_TRUE(
        support::readTga(dir.path / (names.back().substr(0, names.back().size() - 3) + "tga")).ok);
}

// Workers never hold more than the machine's memory bound together: with two, each has half of
// it, and a file whose header says it needs more than half runs alone with all of it. The
// bound comes from a test-only machine size, so this holds on any machine.
TEST(HostileFiles, WorkersShareTheMemoryBound) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs the address space a memory bound would take";
#endif
    support::TempDir dir;
    // 400 MiB of "memory": a bound of 300 MiB, 150 each. 6000 x 6000 pixels need 275 MiB.
    ASSERT_TRUE(writePng(dir.path / "a.limits") && writePng(dir.path / "c.limits") &&
                support::writeFile(dir.path / "big.limits",
                                   support::png(6000, 6000, 8, 6, std::string(10, '\0'))));
    const auto bound = [](int mib) {
        return failed(true, 0, "image too large: " + std::to_string(mib) + "x2049");
    };
    const support::RunOptions options{{{"OSTRELLE_TEST_ONLY_WORKER_PROGRAM", OSTRELLE_EVIL_WORKER},
                                       {"OSTRELLE_TEST_ONLY_WORKERS", "2"},
                                       {"OSTRELLE_TEST_ONLY_MEMORY_MIB", "400"}}};
    EXPECT_EQ(support::runOstrelle({"a.limits", "big.limits", "c.limits"}, dir.path, options).out,
              banner + bound(150) + bound(300) + bound(150));
    EXPECT_EQ(support::runOstrelle({"a.limits"}, dir.path, options).out, banner + bound(300));
    // A worker that crashes near its bound is reported as out of memory, with the bound it had.
    ASSERT_TRUE(writePng(dir.path / "h.hog"));
    EXPECT_EQ(support::runOstrelle({"h.hog"}, dir.path, options).out,
              banner + failed(true, 1284, "ran out of memory (limit 300 MiB)"));
}

// Each way two arguments can touch one file makes the run go one file at a time, on its own
// beside files that touch nothing; without one, files run side by side.
TEST(HostileFiles, EachKindOfCollisionAloneMakesTheRunSerial) {
    support::TempDir dir;
    const fs::path &d = dir.path;
    fs::create_directories(d / "one");
    fs::create_directories(d / "two");
    fs::create_directory_symlink("one", d / "link");
    for (const char *name : {"f1.png", "f2.png", "f3.png", "q.png", "x.png", "p.png", "y.png",
                             "one/s.png", "one/r.png"})
        ASSERT_TRUE(writePng(d / name));
    ASSERT_TRUE(support::writeFile(d / "x.bmp", support::readFile(d / "x.png")) &&
                support::writeFile(d / "y.tga", "the user's own"));
    fs::create_symlink("y.tga", d / "alias.png");
    fs::create_hard_link(d / "one/r.png", d / "two/h.png");
    const std::vector<std::string> plain{"f1.png", "f2.png", "f3.png"};
    const std::pair<const char *, std::vector<std::string>> kinds[] = {
        {"nothing in common", {}},
        {"the same input twice", {"q.png", "q.png"}},
        {"two inputs with one output", {"x.png", "x.bmp"}},
        {"one entry through ./", {"./q.png", "q.png"}},
        {"one entry through a linked folder", {"link/s.png", "one/s.png"}},
        {"names differing in case", {"q.png", "Q.PNG"}},
        {"an output that is another's input", {"p.png", "p.tga"}},
        {"a link to another's output", {"alias.png", "y.png"}},
        {"one file in two folders", {"one/r.png", "two/h.png"}},
    };
    for (const auto &[kind, pair] : kinds) {
        std::vector<std::string> args = plain;
        args.insert(args.begin() + 1, pair.begin(), pair.end());
        const support::Run run =
            support::runOstrelle(args, d, {{{"OSTRELLE_TEST_ONLY_WORKERS", "3"}}});
        EXPECT_EQ(run.workersStarted, pair.empty() ? 3 : 1) << kind;
        for (const char *name : {"f1.tga", "f2.tga", "f3.tga", "q.tga", "Q.tga", "x.tga", "p.tga",
                                 "one/s.tga", "one/r.tga", "two/h.tga"})
            fs::remove(d / name);
    }
}

// A worker that answers as no sound worker does (with an outcome or a text that does not exist,
// with part of an answer) is never believed: its file is reported in the program's own words,
// tried once more alone first. One that answers twice keeps its first answer, and its second is
// no answer for the next file, which is tried again alone; one that ends between two files is
// replaced, and the next file converts. One that closes its channel and stays is reported so.
TEST(HostileFiles, AMisbehavingWorkerIsNeverBelieved) {
    support::TempDir dir;
    const std::vector<std::string> args{"g1.png",   "a.twice", "g2.png",  "b.range",
                                        "c.text",   "d.quit",  "g3.png",  "e.short",
                                        "f.double", "h.long",  "i.close", "g4.png"};
    for (const std::string &name : args)
        ASSERT_TRUE(writePng(dir.path / name));
    const std::string malformed = failed(true, 1284, "the worker gave a malformed answer");
    const support::Run run =
        support::runOstrelle(args, dir.path,
                             {{{"OSTRELLE_TEST_ONLY_WORKER_PROGRAM", OSTRELLE_EVIL_WORKER},
                               {"OSTRELLE_TEST_ONLY_WORKERS", "1"},
                               {"OSTRELLE_TEST_ONLY_SECONDS", "5"}}});
    const std::string unopened = failed(true, 1290, "could not open file");
    EXPECT_EQ(run.out, banner + done + unopened + done + malformed + malformed + unopened + done +
                           failed(true, 1284, "the image library ended the process (status 0)") +
                           malformed + malformed +
                           failed(true, 1284, "the worker closed its channel to the run") + done);
}

// A file that fails only in a worker that served others (here a worker poisoned to abort on its
// second file) is reported as a fresh worker reports it.
TEST(HostileFiles, AUsedWorkerNeverDecidesAReport) {
    support::TempDir dir;
    for (const char *name : {"p.png", "q.png", "r.png"})
        ASSERT_TRUE(writePng(dir.path / name));
    const support::Run poisoned = support::runOstrelle(
        {"p.png", "q.png", "r.png"}, dir.path,
        {{{"OSTRELLE_TEST_ONLY_WORKERS", "1"}, {"OSTRELLE_TEST_ONLY_POISON", "1"}}});
    EXPECT_EQ(poisoned.out, banner + done + done + done);
    EXPECT_EQ(poisoned.workersStarted, 3);
}

// The test's own second program, its shared memory and its folder, which a taken-over worker
// must not reach; set up before and checked after a run.
struct Bystanders {
    Bystanders() {
        folder = "/tmp/ostrelle-evil-" + port;
        fs::remove_all(folder);
        fs::create_directories(folder / "home");
        support::writeFile(folder / "secret.txt", "the user's secret");
        support::writeFile(folder / "home/.bashrc", "# the user's shell");
        memory = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
        if (void *at = shmat(memory, nullptr, 0); at != reinterpret_cast<void *>(-1)) {
            std::strcpy(static_cast<char *>(at), "the other program's");
            shmdt(at);
        }
        other = fork();
        if (other == 0) {
            pause();
            _exit(0);
        }
        modes = support::snapshot(folder);
        stats = metadata();
        priority = getpriority(PRIO_PROCESS, static_cast<id_t>(other));
    }
    ~Bystanders() {
        kill(other, SIGKILL);
        waitpid(other, nullptr, 0);
        shmctl(memory, IPC_RMID, nullptr);
        fs::remove_all(folder);
        fs::remove(folder.string() + "-tmp");
    }
    // Mode, owner, times and extended attributes of the user's files.
    std::string metadata() const {
        std::string all;
        for (const char *name : {"secret.txt", "home", "home/.bashrc"}) {
            struct stat st {};
            char attributes[256] = {};
            lstat((folder / name).c_str(), &st);
            const ssize_t n = llistxattr((folder / name).c_str(), attributes, sizeof attributes);
            all += std::string(name) + " " + std::to_string(st.st_mode) + " " +
                   std::to_string(st.st_uid) + " " + std::to_string(st.st_mtim.tv_nsec) + " " +
                   std::to_string(st.st_atim.tv_sec) + " " +
                   std::string(attributes, n > 0 ? static_cast<std::size_t>(n) : 0) + "\n";
        }
        return all;
    }
    // The ending that tells the stand-in what to try its acts on.
    std::string ending() const {
        return ".evil-" + port + "-" + std::to_string(memory) + "-" + std::to_string(other);
    }
    // What a worker may have changed: nothing.
    void expectUntouched() const {
        EXPECT_EQ(support::snapshot(folder), modes);
        EXPECT_EQ(metadata(), stats);
        void *at = shmat(memory, nullptr, SHM_RDONLY);
        ASSERT_NE(at, reinterpret_cast<void *>(-1));
        EXPECT_STREQ(static_cast<const char *>(at), "the other program's");
        shmdt(at);
        EXPECT_EQ(sched_getscheduler(other), SCHED_OTHER);
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(other)), priority);
        EXPECT_EQ(waitpid(other, nullptr, WNOHANG), 0) << "the other program was ended";
        EXPECT_FALSE(fs::exists(folder.string() + "-tmp"));
    }

    Listener listener;
    std::string port = listener.port;
    fs::path folder;
    int memory = -1;
    pid_t other = -1;
    std::map<std::string, std::string> modes;
    std::string stats;
    int priority = 0;
};

// A worker that a hostile file has taken over reaches nothing: each act of the table is refused,
// whether Landlock and seccomp stand together or seccomp alone (as on a kernel without Landlock),
// in a run of two workers on a terminal, beside a program of the user's. Files it converted
// before stay as they were published; its own words never reach the output; a crash stays a
// crash and a file that never ends is timed out; the next file converts.
TEST(HostileFiles, ATakenOverWorkerReachesNothing) {
    Bystanders bystanders;
    const fs::path &dir = bystanders.folder;
    const std::string evil = "x" + bystanders.ending(), evil2 = "y" + bystanders.ending();
    for (const std::string &name :
         {evil, evil2, std::string("a.keep"), std::string("b.keep"), std::string("c.abort"),
          std::string("s.slow"), std::string("t.chatty"), std::string("good.png")})
        ASSERT_TRUE(writePng(dir / name));
    // Each worker saves a file of its own first (one blue pixel), and keeps its output to try
    // writing into it once the run has published it.
    const std::vector<std::string> args{"a.keep",  "b.keep", evil,       evil2,
                                        "c.abort", "s.slow", "t.chatty", "good.png"};
    const std::string expected = banner + done + done + failed(true, 0, "no error") +
                                 failed(true, 0, "no error") +
                                 failed(true, 1284, "the image library crashed (signal 6)") +
                                 failed(true, 1284, "took longer than 2 s") +
                                 failed(true, 1284, "the worker gave a malformed answer") + done;
    for (const char *hidden : {"0", "1"}) {
        SCOPED_TRACE(*hidden == '1' ? "seccomp alone" : "Landlock and seccomp");
        for (const char *output : {"a.ktga", "b.ktga", "good.tga"})
            fs::remove(dir / output);
        bystanders.modes = support::snapshot(dir);
        support::RunOptions options{{{"OSTRELLE_TEST_ONLY_WORKER_PROGRAM", OSTRELLE_EVIL_WORKER},
                                     {"OSTRELLE_TEST_ONLY_WORKERS", "2"},
                                     {"OSTRELLE_TEST_ONLY_SECONDS", "2"},
                                     {"OSTRELLE_TEST_ONLY_HIDE_LANDLOCK", hidden},
                                     {"OSTRELLE_SECRET", "the user's token"}}};
        options.terminal = true;
        const support::Run run = support::runOstrelle(args, dir, options);
        // Decodes the acts a stand-in reports as not refused, for the message.
        std::string allowed;
        for (std::size_t at = 0; (at = run.out.find("The error ", at)) != std::string::npos; ++at)
            if (const int mask = std::atoi(run.out.c_str() + at + 10); mask > 0 && mask != 1284)
                allowed += evil::named(static_cast<unsigned>(mask)) + "; ";
        EXPECT_EQ(run.out, expected) << "not refused: " << allowed;
        EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
        EXPECT_EQ(run.terminalInput, 0);
        const support::Image blue{1, 1, {0, 0, 255, 255}};
        for (const char *name : {"a.ktga", "b.ktga", "good.tga"}) {
            const support::Tga tga = support::readTga(dir / name);
            EXPECT_TRUE(tga.ok) << name << ": " << tga.why;
            EXPECT_EQ(support::differingPixels(tga.image,
                                               *name == 'g' ? support::pattern(5, 3, true) : blue),
                      0u)
                << name;
        }
        for (const char *name : {"a.ktga", "b.ktga", "good.tga"})
            bystanders.modes.erase(name);
        std::map<std::string, std::string> now = support::snapshot(dir);
        for (const char *name : {"a.ktga", "b.ktga", "good.tga"})
            now.erase(name);
        EXPECT_EQ(now, bystanders.modes);
        bystanders.modes = support::snapshot(dir);
        bystanders.expectUntouched();
    }
}

// Each layer stands on its own: Landlock alone (as on a kernel without seccomp) refuses every act
// on a path and, as far as the kernel's ABI goes, on the network and on other processes.
TEST(HostileFiles, LandlockAloneRefusesPathsNetworkAndSignals) {
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi <= 0)
        GTEST_SKIP() << "this kernel offers no Landlock";
    Bystanders bystanders;
    const std::string evil = "x" + bystanders.ending();
    ASSERT_TRUE(writePng(bystanders.folder / evil));
    support::RunOptions options{{{"OSTRELLE_TEST_ONLY_WORKER_PROGRAM", OSTRELLE_EVIL_WORKER},
                                 {"OSTRELLE_TEST_ONLY_HIDE_SECCOMP", "1"}}};
    options.terminal = true; // which the worker never holds, and whose session it is not in
    const support::Run run = support::runOstrelle({evil}, bystanders.folder, options);
    const std::size_t at = run.out.find("The error ");
    ASSERT_NE(at, std::string::npos) << run.out;
    const auto allowed = static_cast<unsigned>(std::atoi(run.out.c_str() + at + 10));
    std::vector<std::string> pathActs = {"read /etc/passwd",
                                         "read a file beside the input",
                                         "list the input's folder",
                                         "create a file in the input's folder",
                                         "overwrite a file there",
                                         "create a file in /tmp",
                                         "make a link",
                                         "open the terminal",
                                         "share the run's session",
                                         "read the environment",
                                         "open the run's memory",
                                         "write into an output already answered for",
                                         "run /bin/sh"};
    if (abi >= 4)
        pathActs.insert(pathActs.end(), {"connect to a local port", "bind a TCP port"});
    if (abi >= 6)
        pathActs.push_back("signal the run");
    for (const std::string &act : pathActs) {
        const auto bit = std::find(std::begin(evil::acts), std::end(evil::acts), act);
        ASSERT_NE(bit, std::end(evil::acts)) << act;
        EXPECT_EQ((allowed >> (bit - std::begin(evil::acts))) & 1u, 0u) << "allowed: " << act;
    }
    // Seccomp is what refuses the rest: that something is let through shows it was off.
    EXPECT_NE(allowed, 0u) << run.out;
    bystanders.modes = support::snapshot(bystanders.folder);
}

// A worker whose confinement cannot be applied converts nothing, and says so for every file; the
// shipped program has no switch that turns confinement off or starts another worker, and no
// variable of a user's environment makes it act as a worker.
TEST(HostileFiles, NoConfinementNoConversion) {
    support::TempDir dir;
    ASSERT_TRUE(writePng(dir.path / "p.png") && writePng(dir.path / "q.png"));
    const support::Run refused = support::runOstrelle(
        {"p.png", "q.png"}, dir.path, {{{"OSTRELLE_TEST_ONLY_REFUSE_SANDBOX", "1"}}});
    const std::string why = failed(true, 1284,
                                   "the worker's sandbox could not be applied: no-new-privs: "
                                   "Operation not permitted");
    EXPECT_EQ(refused.out, banner + why + why);
    EXPECT_EQ(support::namesIn(dir.path), (std::set<std::string>{"p.png", "q.png"}));

    ASSERT_TRUE(writePng(dir.path / "x.evil-1-2-3"));
    support::RunOptions shipped{{{"OSTRELLE_TEST_ONLY_WORKER_PROGRAM", OSTRELLE_EVIL_WORKER},
                                 {"OSTRELLE_TEST_ONLY_REFUSE_SANDBOX", "1"},
                                 {"OSTRELLE_WORKER_OF", "1"}}};
    shipped.program = OSTRELLE_SHIPPED_BIN;
    EXPECT_EQ(support::runOstrelle({"p.png", "x.evil-1-2-3"}, dir.path, shipped).out,
              banner + done + done);
    EXPECT_TRUE(support::readTga(dir.path / "x.evil-1-tga").ok);

    // Nor does a socket of the worker's kind at descriptor 3 that its parent did not make.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0 || dup2(ends[0], 3) != 3 ||
            dup2(open("/dev/null", O_RDONLY), 0) != 0 || dup2(out[1], 1) != 1)
            _exit(127);
        execl(OSTRELLE_SHIPPED_BIN, OSTRELLE_SHIPPED_BIN, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string printed;
    char buffer[512];
    pollfd pfd{out[0], POLLIN, 0};
    while (poll(&pfd, 1, 5000) > 0) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        printed.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(printed, banner + "Drag and drop Files to the EXE.\n");
}

// True once the process holds a file of its own in dir that has no name there yet: an unnamed
// file, or a hidden one of this program's.
bool savingInto(pid_t pid, const fs::path &dir) {
    std::error_code ec;
    for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = fs::read_symlink(fd.path(), ec).string();
        if (target.rfind(dir.string() + "/#", 0) == 0 ||
            (target.rfind(dir.string() + "/.", 0) == 0 &&
             target.find(".part") != std::string::npos))
            return true;
    }
    return false;
}

// Workers left alive by a run that has ended: as this process is their subreaper, they become
// its children once their run is gone. Ended ones are reaped here.
int workersAlive() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    int alive = 0;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc", ec)) {
        if (entry.path().filename().string().find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = support::readFile(entry.path() / "stat");
        const std::size_t end = stat.rfind(')');
        if (end != std::string::npos &&
            std::atoi(stat.c_str() + end + 4) == static_cast<int>(getpid()) &&
            support::readFile(entry.path() / "cmdline") == std::string("ostrelle-worker", 16))
            ++alive;
    }
    return alive;
}

// A run ended by Ctrl-C, SIGTERM or SIGHUP while it saves a large output takes its workers and
// its temporary file with it, whether the output folder takes unnamed files or not; killed
// outright, it leaves nothing where unnamed files exist, and at most its hidden temporary where
// they do not. Whatever it had published stays whole.
TEST(HostileFiles, ARunEndedMidSaveLeavesNoPartialOutput) {
    support::TempDir dir;
    // 6000 x 6000 RGB: a TGA of about 100 MB.
    const std::string big = support::png(6000, 6000, 8, 2, std::string(6000 * 18001, '\0'));
    ASSERT_TRUE(support::writeFile(dir.path / "big.png", big) &&
                support::writeFile(dir.path / "big2.png", big));
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (const bool unnamed : {true, false})
        for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
            SCOPED_TRACE(std::string(unnamed ? "unnamed files, " : "hidden names, ") +
                         strsignal(sig));
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                const int devnull = open("/dev/null", O_RDWR);
                dup2(devnull, 0);
                dup2(devnull, 1);
                setenv("OSTRELLE_TEST_ONLY_WORKERS", "1", 1);
                setenv("OSTRELLE_TEST_ONLY_NO_TMPFILE", unnamed ? "0" : "1", 1);
                setenv("OSTRELLE_TEST_ONLY_PUBLISH_PAUSE_MS", "300", 1);
                if (chdir(dir.path.c_str()) == 0)
                    execl(OSTRELLE_BIN, OSTRELLE_BIN, "big.png", "big2.png",
                          static_cast<char *>(nullptr));
                _exit(127);
            }
            bool saving = false;
            for (int i = 0; i < 30000 && !saving; ++i) {
                saving = savingInto(pid, dir.path);
                if (!saving)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            kill(pid, sig);
            int status = 0;
            waitpid(pid, &status, 0);
            ASSERT_TRUE(saving) << "the save was never seen";
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig);
            std::set<std::string> left = support::namesIn(dir.path);
            for (const char *name : {"big.tga", "big2.tga"}) {
                if (left.erase(name) > 0) {
                    EXPECT_TRUE(support::readTga(dir.path / name).ok) << name;
                }
            }
            left.erase("big.png");
            left.erase("big2.png");
            if (sig == SIGKILL && !unnamed && left.size() == 1 && left.begin()->front() == '.') {
                fs::remove(dir.path / *left.begin());
                left.clear();
            }
            EXPECT_TRUE(left.empty()) << *left.begin();
            for (int i = 0; i < 200 && workersAlive() > 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_EQ(workersAlive(), 0);
            fs::remove(dir.path / "big.tga");
            fs::remove(dir.path / "big2.tga");
        }
    // A worker that never ends on its own (here stuck in a file) goes with a run killed outright.
    ASSERT_TRUE(writePng(dir.path / "s.slow"));
    const pid_t run = fork();
    ASSERT_GE(run, 0);
    if (run == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        setenv("OSTRELLE_TEST_ONLY_WORKER_PROGRAM", OSTRELLE_EVIL_WORKER, 1);
        if (chdir(dir.path.c_str()) == 0)
            execl(OSTRELLE_BIN, OSTRELLE_BIN, "s.slow", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0;
         i < 500 && std::system(("pgrep -P " + std::to_string(run) + " >/dev/null").c_str()) != 0;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(run, SIGKILL);
    waitpid(run, nullptr, 0);
    for (int i = 0; i < 200 && workersAlive() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(workersAlive(), 0) << "a stuck worker outlived its run";
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// A run ended by Ctrl-C at any moment leaves a TGA exactly for each file it reported, and its
// reports whole: one ended between naming an output and printing its report ends once the report
// is out. One worker, so that outputs are named in the order of the reports, and a pause before
// and after each output is named (the test build's), so that the moments are met; with and
// without unnamed files.
TEST(HostileFiles, ARunEndedAtAnyMomentLeavesATgaForEachReportAndNoOther) {
    support::TempDir dir, outputs;
    const int files = 6;
    std::vector<std::string> names;
    for (int i = 1; i <= files; ++i) {
        names.push_back(std::to_string(i) + ".png");
        ASSERT_TRUE(writePng(dir.path / names.back()));
    }
    std::set<int> reportCounts;
    for (const bool unnamed : {true, false})
        for (int moment = 0; moment < 12; ++moment) {
            SCOPED_TRACE(std::string(unnamed ? "unnamed files" : "hidden names") + ", after " +
                         std::to_string(moment * 60) + " ms");
            const fs::path out = outputs.path / "out";
            fs::remove(out);
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                const int devnull = open("/dev/null", O_RDONLY);
                const int printed = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(devnull, 0);
                dup2(printed, 1);
                setenv("OSTRELLE_TEST_ONLY_WORKERS", "1", 1);
                setenv("OSTRELLE_TEST_ONLY_NO_TMPFILE", unnamed ? "0" : "1", 1);
                setenv("OSTRELLE_TEST_ONLY_PUBLISH_PAUSE_MS", "40", 1);
                std::vector<char *> argv{const_cast<char *>(OSTRELLE_BIN)};
                for (std::string &name : names)
                    argv.push_back(name.data());
                argv.push_back(nullptr);
                if (chdir(dir.path.c_str()) == 0)
                    execv(OSTRELLE_BIN, argv.data());
                _exit(127);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(moment * 60));
            kill(pid, SIGINT);
            int status = 0;
            waitpid(pid, &status, 0);
            // Ended before its handler was set, the run has printed at most its banner.
            const std::string printed = support::readFile(out);
            ASSERT_EQ(printed.size() < banner.size() ? banner.rfind(printed, 0)
                                                     : printed.rfind(banner, 0),
                      0u)
                << printed;
            std::string reports = printed.substr(std::min(printed.size(), banner.size()));
            int reported = 0;
            while (reports.rfind(done, 0) == 0) {
                reports.erase(0, done.size());
                ++reported;
            }
            EXPECT_EQ(reports, "") << "not whole reports of converted files";
            reportCounts.insert(reported);
            std::set<std::string> expected(names.begin(), names.end());
            for (int i = 1; i <= reported; ++i)
                expected.insert(std::to_string(i) + ".tga");
            EXPECT_EQ(support::namesIn(dir.path), expected) << reported << " reported";
            for (int i = 1; i <= files; ++i)
                fs::remove(dir.path / (std::to_string(i) + ".tga"));
        }
    // The moments met runs ended before any report, between reports and after all of them.
    EXPECT_GE(reportCounts.size(), 3u);
}
