// The worker's sandbox: a confined process can do its work and nothing past it, and the image
// library still converts every format it reads once confined.
#include "pngbytes.h"
#include "sandbox.h"
#include "support.h"

#include <IL/il.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool landlockOffered() {
    return syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) > 0;
}

void say(const std::string &text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// Confines the calling child, or says why not and ends it.
void confineOrEnd(const std::vector<std::string> &inputs, const std::vector<std::string> &dirs) {
    const SandboxStatus status = confineWorker(inputs, dirs);
    if (!status.ok || status.applied.find("landlock") == std::string::npos ||
        status.applied.find("seccomp") == std::string::npos) {
        say("not confined: applied \"" + status.applied + "\", " + status.why + "\n");
        _exit(1);
    }
}

// Runs body in a forked child (ended with _exit: leak checking at exit needs what the sandbox
// takes away), collecting what it writes on standard output.
struct Ended {
    std::string out;
    int status = 0;
};
Ended inChild(const std::function<void()> &body) {
    Ended ended;
    int out[2];
    if (pipe(out) != 0)
        return ended;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        body();
        std::fflush(stdout);
        _exit(0);
    }
    close(out[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        ended.out.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    waitpid(pid, &ended.status, 0);
    return ended;
}

bool readable(const fs::path &path) {
    char byte;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && read(fd, &byte, 1) == 1;
    close(fd);
    return ok;
}

bool opens(const fs::path &path, int flags) {
    const int fd = open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0600);
    close(fd);
    return fd >= 0;
}

bool stagingRoundTrip(const fs::path &stage) {
    const std::string text = "staged";
    const int fd = open((stage / "a.tga").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    char back[6] = {};
    const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == 6 &&
                    pread(fd, back, sizeof back, 0) == 6 && text == std::string(back, 6);
    close(fd);
    return ok && rename((stage / "a.tga").c_str(), (stage / "b.tga").c_str()) == 0 &&
           readable(stage / "b.tga");
}

bool tcp(int port, bool connecting) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto *a = reinterpret_cast<const sockaddr *>(&address);
    const bool ok =
        fd >= 0 && (connecting ? connect(fd, a, sizeof address) : bind(fd, a, sizeof address)) == 0;
    close(fd);
    return ok;
}

// A TCP port on the loopback that this process listens on, or -1.
int listenLocally(int &fd) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    auto *a = reinterpret_cast<sockaddr *>(&address);
    if (fd < 0 || bind(fd, a, size) != 0 || listen(fd, 4) != 0 || getsockname(fd, a, &size) != 0)
        return -1;
    return ntohs(address.sin_port);
}

} // namespace

TEST(Sandbox, ConfinedWorkerDoesItsWorkAndNothingElse) {
    if (!landlockOffered())
        GTEST_SKIP() << "this kernel offers no Landlock";
    support::TempDir dir;
    const fs::path input = dir.path / "in.png", beside = dir.path / "other.png";
    const fs::path stage = dir.path / ".ostrelle-stage-test";
    const fs::path inTmp =
        fs::temp_directory_path() / ("ostrelle-sandbox-" + std::to_string(getpid()));
    ASSERT_TRUE(support::writeRgbaPng(input, support::pattern(2, 2, false)));
    ASSERT_TRUE(support::writeRgbaPng(beside, support::pattern(2, 2, false)));
    ASSERT_TRUE(fs::create_directory(stage));
    int listening = -1;
    const int port = listenLocally(listening);
    ASSERT_GT(port, 0);

    struct Act {
        const char *name;
        bool allowed;
        std::function<bool()> done;
    };
    const std::vector<Act> acts = {
        {"read the input", true, [&] { return readable(input); }},
        {"read /etc/passwd", false, [] { return readable("/etc/passwd"); }},
        {"read a file beside the input", false, [&] { return readable(beside); }},
        {"list the input's folder", false,
         [&] {
             DIR *d = opendir(dir.path.c_str());
             return d != nullptr && closedir(d) == 0;
         }},
        {"create a file in the input's folder", false,
         [&] { return opens(dir.path / "new.tga", O_CREAT | O_EXCL); }},
        {"overwrite a file beside the input", false, [&] { return opens(beside, O_TRUNC); }},
        {"create a file in the temporary folder", false,
         [&] { return opens(inTmp, O_CREAT | O_EXCL); }},
        {"hard-link a file beside the input into staging", false,
         [&] { return link(beside.c_str(), (stage / "link.tga").c_str()) == 0; }},
        {"create, write, read back and rename in staging", true,
         [&] { return stagingRoundTrip(stage); }},
        {"make a symlink in staging", false,
         [&] { return symlink("/etc/passwd", (stage / "passwd.tga").c_str()) == 0; }},
        {"start a thread", true,
         [] {
             try {
                 std::thread([] {}).join();
                 return true;
             } catch (const std::exception &) {
                 return false;
             }
         }},
        {"start a process", false,
         [] {
             const pid_t pid = fork();
             if (pid == 0)
                 _exit(0);
             return pid > 0 && waitpid(pid, nullptr, 0) == pid;
         }},
        {"connect to a local port", false, [&] { return tcp(port, true); }},
        {"bind a TCP port", false, [] { return tcp(0, false); }},
        {"signal the parent", false, [] { return kill(getppid(), SIGTERM) == 0; }},
        {"set a resource limit", false,
         [] {
             rlimit files{};
             return getrlimit(RLIMIT_NOFILE, &files) == 0 && setrlimit(RLIMIT_NOFILE, &files) == 0;
         }},
        // Last, as it would replace the child: the shell then reports the act itself.
        {"run /bin/sh", false,
         [] {
             execl("/bin/sh", "sh", "-c", "echo 'run /bin/sh: done'", nullptr);
             return false;
         }},
    };
    std::string expected;
    for (const Act &act : acts)
        expected += std::string(act.name) + (act.allowed ? ": done\n" : ": refused\n");

    const Ended ended = inChild([&] {
        confineOrEnd({input.string()}, {stage.string()});
        for (const Act &act : acts)
            say(std::string(act.name) + (act.done() ? ": done\n" : ": refused\n"));
    });
    close(listening);
    std::error_code ec;
    fs::remove(inTmp, ec);
    EXPECT_EQ(ended.out, expected);
    EXPECT_TRUE(WIFEXITED(ended.status) && WEXITSTATUS(ended.status) == 0) << ended.status;

    // A crash must stay a crash: abort() signals the process itself.
    const Ended aborted = inChild([&] {
        confineOrEnd({}, {});
        std::signal(SIGABRT, SIG_DFL);
        std::abort();
    });
    EXPECT_EQ(aborted.out, "");
    EXPECT_TRUE(WIFSIGNALED(aborted.status) && WTERMSIG(aborted.status) == SIGABRT)
        << aborted.status;
}

namespace {

// A 4x2 picture of four colours; the library refuses the common 1x1 GIF of 43 bytes.
const std::string
    gif("GIF89a\x04\x00\x02\x00\x81\x00\x00\x00\x00\x00\xff\x00\x00\x00\xff\x00\x00\x00"
        "\xff,\x00\x00\x00\x00\x04\x00\x02\x00\x00\x02\x05\x44\xa8\x71\x62\x50\x00;",
        44);

// Loads each input and saves it as out/NAME.tga, saying how each went.
void convertAll(const std::vector<std::string> &inputs, const fs::path &out) {
    for (const std::string &input : inputs) {
        const std::string name = fs::path(input).filename().string();
        ILuint image = 0;
        ilGenImages(1, &image);
        ilBindImage(image);
        const bool ok = ilLoadImage(input.c_str()) && ilSaveImage((out / (name + ".tga")).c_str());
        say(name + (ok ? ": saved\n" : ": error " + std::to_string(ilGetError()) + "\n"));
        ilDeleteImages(1, &image);
    }
}

} // namespace

// The library may read something lazily after ilInit (a codec's table, a locale): confined, it
// would fail or differ on some format.
TEST(Sandbox, ConfinedLibraryConvertsEveryFormatAsUnconfined) {
    if (!landlockOffered())
        GTEST_SKIP() << "this kernel offers no Landlock";
    support::TempDir dir;
    const fs::path stage = dir.path / ".ostrelle-stage-test", reference = dir.path / "reference";
    ASSERT_TRUE(fs::create_directory(stage) && fs::create_directory(reference));

    const support::Image picture = support::pattern(16, 8, true);
    std::vector<std::uint8_t> rgb;
    for (std::size_t i = 0; i < picture.rgba.size(); ++i)
        if (i % 4 != 3)
            rgb.push_back(picture.rgba[i]);
    std::vector<std::string> inputs;
    std::string expected;
    const Ended written = inChild([&] {
        ilInit();
        ILuint image = 0;
        ilGenImages(1, &image);
        ilBindImage(image);
        ilTexImage(16, 8, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, rgb.data());
        for (const char *ext :
             {"bmp", "pcx", "png", "ppm", "pgm", "tga", "tif", "jpg", "sgi", "dds", "psd"})
            if (!ilSaveImage((dir.path / (std::string("in.") + ext)).c_str()))
                say(std::string("cannot write in.") + ext + "\n");
    });
    ASSERT_EQ(written.out, "");
    // An icon holding an RGBA PNG (one of RGB pixels overruns the library's buffer).
    ASSERT_TRUE(support::writeRgbaPng(dir.path / "rgba.png", picture));
    const std::vector<std::uint8_t> png = support::readFile(dir.path / "rgba.png");
    ASSERT_TRUE(pngbytes::write(dir.path / "in.gif", gif) &&
                pngbytes::write(dir.path / "in.ico", pngbytes::ico({png.begin(), png.end()})));
    for (const auto &entry : fs::directory_iterator(dir.path))
        if (entry.is_regular_file())
            inputs.push_back(entry.path().string());
    std::sort(inputs.begin(), inputs.end());
    for (const std::string &input : inputs)
        expected += fs::path(input).filename().string() + ": saved\n";

    const Ended unconfined = inChild([&] {
        ilInit();
        convertAll(inputs, reference);
    });
    const Ended confined = inChild([&] {
        ilInit();
        confineOrEnd(inputs, {stage.string()});
        convertAll(inputs, stage);
    });
    EXPECT_EQ(unconfined.out, expected);
    EXPECT_EQ(confined.out, unconfined.out);
    EXPECT_TRUE(unconfined.status == 0 && confined.status == 0)
        << unconfined.status << " " << confined.status;
    for (const std::string &input : inputs) {
        const std::string name = fs::path(input).filename().string() + ".tga";
        std::vector<std::uint8_t> got = support::readFile(stage / name),
                                  want = support::readFile(reference / name);
        // The writer leaves stray bytes in the origin, which the program overwrites.
        for (auto *bytes : {&got, &want})
            if (bytes->size() >= 12)
                std::fill_n(bytes->begin() + 8, 4, 0);
        EXPECT_EQ(got, want) << name;
    }
}
