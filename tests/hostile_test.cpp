// The run survives files that would crash, freeze or exhaust the image library, whatever runs
// beside them, and a worker that a file has taken over reaches nothing.
#include "support.h"

#include <IL/il.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <set>
#include <thread>

namespace fs = std::filesystem;
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

bool writePng(const fs::path &path) {
    return support::writeFile(path, support::rgbaPng(support::pattern(3, 2, true)));
}

std::set<std::string> namesIn(const std::map<std::string, std::string> &files) {
    std::set<std::string> names;
    for (const auto &entry : files)
        names.insert(entry.first);
    return names;
}

} // namespace

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
    std::map<std::string, support::Image> pictures;
    for (const char *name : {"p0.png", "p1.png", "my pics.v2/x.png", "-h.png", "C.PNG", "p5.png"}) {
        const int i = static_cast<int>(pictures.size());
        pictures[name] = support::pattern(3 + 40 * i, 2 + i % 3, i % 2 == 0);
        ASSERT_TRUE(support::writeFile(made / name, support::rgbaPng(pictures[name])));
        expected.emplace_back(name, done);
    }
    const support::Image rgb = support::pattern(16, 8, false);
    std::vector<std::uint8_t> samples;
    for (std::size_t i = 0; i < rgb.rgba.size(); i += 4)
        samples.insert(samples.end(), &rgb.rgba[i], &rgb.rgba[i] + 3);
    ilInit();
    ASSERT_TRUE(ilTexImage(16, 8, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, samples.data()));
    for (const std::string ext :
         {"bmp", "pcx", "png", "ppm", "pgm", "tga", "tif", "jpg", "sgi", "dds", "psd"}) {
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
             {"empty.ppm", ""},      // fails without giving any
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
                     {"abc", failed(false, 1289, "invalid parameter")},
                     {"notes.xyz", unknownName},
                     {"--help", unknownName},
                     {"ab", failed(false, 1289, "invalid parameter")},
                     {"photo.jpeg", failed(false, 1291, "invalid extension")},
                     {"broken.gif", failed(true, 1288, "invalid file header")},
                     {"empty.ppm", failed(true, 1535, "unknown error")},
                     {"mine.png", exists},
                     {"cut.png", truncated},
                     {"wrap.png", tooLarge},
                     {"long.png", truncated},
                     {"WRAP2.PNG", tooLarge},
                     {"wrap3.bin", tooLarge},
                     {"crash.ico", crashed},
                     {"again.ico", crashed},
                     // Nobody ever writes into this pipe, so the library waits for it forever.
                     {"stuck.png", failed(true, 1284, "took longer than 2 s")}});
    std::vector<std::string> plain;
    std::string printed = support::banner;
    std::set<std::string> afterwards = namesIn(support::snapshot(made));
    for (const auto &[name, report] : expected) {
        plain.push_back(name);
        printed += report;
        if (report == done)
            afterwards.insert(name.substr(0, name.size() - 3) + "tga");
    }
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
        for (const auto &[name, picture] : pictures) {
            const support::Tga tga =
                support::readTga(dir / (name.substr(0, name.size() - 3) + "tga"));
            EXPECT_TRUE(tga.ok) << name << ": " << tga.why;
            EXPECT_EQ(support::differingPixels(tga.image, picture, true), 0u) << name;
        }
        return ran;
    };
    std::map<std::string, std::string> one, other;
    const support::Run alone = run(plain, "1", "0", one);
    EXPECT_EQ(alone.out, printed);
    EXPECT_EQ(namesIn(one), afterwards);
    // A crash in a worker that served other files is tried once more in a fresh one.
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

// One worker serves a whole run; a file that fails only in a worker that served others (here a
// worker poisoned to abort on its second file) is reported as a fresh worker reports it.
TEST(HostileFiles, OneWorkerServesTheRunAndAUsedWorkerNeverDecidesAReport) {
    support::TempDir dir;
    std::vector<std::string> names;
    std::string allDone = support::banner;
    for (int i = 0; i < 200; ++i) {
        names.push_back(std::to_string(i) + ".png");
        ASSERT_TRUE(writePng(dir.path / names.back()));
        allDone += done;
    }
    const support::Run many =
        support::runOstrelle(names, dir.path, {{{"OSTRELLE_TEST_ONLY_WORKERS", "1"}}});
    EXPECT_EQ(many.out, allDone);
    EXPECT_EQ(many.workersStarted, 1);

    for (const char *name : {"p.png", "q.png", "r.png"})
        ASSERT_TRUE(writePng(dir.path / name));
    const support::Run poisoned = support::runOstrelle(
        {"p.png", "q.png", "r.png"}, dir.path,
        {{{"OSTRELLE_TEST_ONLY_WORKERS", "1"}, {"OSTRELLE_TEST_ONLY_POISON", "1"}}});
    EXPECT_EQ(poisoned.out, support::banner + done + done + done);
    EXPECT_EQ(poisoned.workersStarted, 3);
}

// A worker that a hostile file has taken over reaches nothing: each forbidden act is refused, the
// file is reported, and the next one converts. A crash inside the sandbox stays a crash.
TEST(HostileFiles, ATakenOverWorkerReachesNothing) {
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) <= 0)
        GTEST_SKIP() << "this kernel offers no Landlock";
    support::TempDir dir;
    for (const char *name : {"evil.png", "abort.png", "good.png"})
        ASSERT_TRUE(writePng(dir.path / name));
    ASSERT_TRUE(support::writeFile(dir.path / "secret.txt", "the user's secret"));
    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    auto *a = reinterpret_cast<sockaddr *>(&address);
    ASSERT_TRUE(bind(listening, a, size) == 0 && listen(listening, 4) == 0 &&
                getsockname(listening, a, &size) == 0);
    // The stand-in tries to create this file; the port makes it this run's own.
    const std::string port = std::to_string(ntohs(address.sin_port)),
                      outside = "/tmp/ostrelle-evil-" + port;
    const support::Run run =
        support::runOstrelle({"evil.png", "abort.png", "good.png"}, dir.path,
                             {{{"OSTRELLE_TEST_ONLY_WORKER_PROGRAM", OSTRELLE_EVIL_WORKER},
                               {"OSTRELLE_EVIL_PORT", port}}});
    close(listening);

    EXPECT_EQ(run.out, support::banner + failed(true, 1284, "refused every forbidden act") +
                           failed(true, 1284, "the image library crashed (signal 6)") + done);
    EXPECT_EQ(support::readFile(dir.path / "secret.txt"), "the user's secret");
    EXPECT_FALSE(fs::exists(dir.path / "new.tga"));
    EXPECT_FALSE(fs::exists(outside));
    fs::remove(outside);
    EXPECT_TRUE(support::readTga(dir.path / "good.tga").ok);
}

// A run killed while the library writes a large output leaves nothing at the final name, and a
// file that another program put there meanwhile stays; the next run in that folder removes the
// staging folder the killed one left.
TEST(HostileFiles, ARunKilledMidSaveLeavesNoOutput) {
    support::TempDir dir;
    // 6000 x 6000 RGB: a TGA of about 100 MB.
    const std::string big = support::png(6000, 6000, 8, 2, std::string(6000 * 18001, '\0'));
    ASSERT_TRUE(support::writeFile(dir.path / "big.png", big) &&
                support::writeFile(dir.path / "big2.png", big) && writePng(dir.path / "small.png"));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        setenv("OSTRELLE_TEST_ONLY_WORKERS", "1", 1);
        if (chdir(dir.path.c_str()) == 0)
            execl(OSTRELLE_BIN, OSTRELLE_BIN, "big.png", "big2.png", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Waits until the staged file of the given name has grown.
    const auto grown = [&dir](const char *name) {
        for (int i = 0; i < 30000; ++i) {
            std::error_code ec;
            for (const auto &entry : fs::directory_iterator(dir.path, ec))
                if (entry.path().filename().string().rfind(".ostrelle-staging-", 0) == 0 &&
                    fs::exists(entry.path() / name, ec) &&
                    fs::file_size(entry.path() / name, ec) > 0)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    };
    const bool started = grown("0.tga");
    ASSERT_TRUE(support::writeFile(dir.path / "big.tga", "another program's"));
    const bool second = started && grown("1.tga");
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ASSERT_TRUE(started && second) << "the saves never started";
    EXPECT_EQ(support::readFile(dir.path / "big.tga"), "another program's");
    EXPECT_FALSE(fs::exists(dir.path / "big2.tga"));

    EXPECT_EQ(support::runOstrelle({"small.png"}, dir.path).out, support::banner + done);
    EXPECT_EQ(namesIn(support::snapshot(dir.path)),
              (std::set<std::string>{"big.png", "big2.png", "big.tga", "small.png", "small.tga"}));
}
