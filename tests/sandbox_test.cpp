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

} // namespace

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
