// The run survives files that would crash, freeze or exhaust the image library.
#include "pngbytes.h"
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
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

const char *const done = "Done!\nPress any key to continue.\n";

std::string failedLoad(int code, const std::string &text) {
    return "Failed to load:\n\nThe error " + std::to_string(code) + "\nString is " + text + "\n";
}

// A PNG of 23171x23171 16-bit RGBA pixels: width x height x 8 passes 2^32 by a little, so a
// 32-bit size wraps to a buffer smaller than one row. Three rows of data follow.
std::string sizeWrapPng() { return pngbytes::png(23171, 23171, 16, 6, 3, 23171 * 8); }

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer catches the library's overflow before it faults and ends the child itself.
const char *const crashText = "the image library ended the process (status 1)";
#else
const char *const crashText = "the image library crashed (signal 11)";
#endif

bool writeGoodPng(const fs::path &path) {
    return support::writeRgbaPng(path, support::pattern(3, 2, true));
}

// Runs the program with test-only switches set, one worker unless they say otherwise, and counts
// the workers it started.
struct CountedRun {
    support::Run run;
    int workersStarted = -1;
};

CountedRun runCounted(const std::vector<std::string> &args, const fs::path &cwd,
                      const std::vector<std::pair<const char *, const char *>> &switches = {}) {
    const fs::path stats = cwd / "stats.txt";
    setenv("OSTRELLE_TEST_ONLY_STATS", stats.c_str(), 1);
    setenv("OSTRELLE_TEST_ONLY_WORKERS", "1", 1);
    for (const auto &[name, value] : switches)
        setenv(name, value, 1);
    CountedRun counted{support::runOstrelle(args, cwd), -1};
    unsetenv("OSTRELLE_TEST_ONLY_STATS");
    unsetenv("OSTRELLE_TEST_ONLY_WORKERS");
    for (const auto &entry : switches)
        unsetenv(entry.first);
    std::ifstream in(stats);
    std::string line;
    if (std::getline(in, line) && line.rfind("workers started: ", 0) == 0)
        counted.workersStarted = std::stoi(line.substr(17));
    fs::remove(stats);
    return counted;
}

} // namespace

TEST(HostileFiles, BrokenPngsAreRefusedUnreadAndTheRunGoesOn) {
    support::TempDir dir;
    ASSERT_TRUE(writeGoodPng(dir.path / "good.png"));
    const std::vector<std::uint8_t> goodBytes = support::readFile(dir.path / "good.png");
    const std::string whole(goodBytes.begin(), goodBytes.end());

    // Cut after the header chunk and the next chunk's header: a download that stopped early.
    ASSERT_TRUE(pngbytes::write(dir.path / "cut.png", whole.substr(0, 41)));
    // A data chunk claiming a mebibyte in a file of a few dozen bytes.
    std::string longChunk = whole;
    longChunk[33 + 1] = '\x10';
    ASSERT_TRUE(pngbytes::write(dir.path / "long.png", longChunk));
    // The same size-wrap PNG under three names: the check goes by content, not by name.
    for (const char *name : {"wrap.png", "WRAP.PNG", "wrap.bin"})
        ASSERT_TRUE(pngbytes::write(dir.path / name, sizeWrapPng()));

    const support::Run run = support::runOstrelle(
        {"cut.png", "wrap.png", "long.png", "WRAP.PNG", "wrap.bin", "good.png"}, dir.path);
    const std::string truncated = failedLoad(1298, "file is truncated");
    const std::string tooLarge = failedLoad(1297, "image too large: 23171x23171");
    EXPECT_EQ(run.out, std::string(support::banner) + truncated + tooLarge + truncated + tooLarge +
                           tooLarge + done);
    EXPECT_EQ(run.status, 0);
    for (const char *name : {"cut.tga", "wrap.tga", "long.tga", "WRAP.tga", "wrap.tga"})
        EXPECT_FALSE(fs::exists(dir.path / name)) << name;
    EXPECT_TRUE(support::readTga(dir.path / "good.tga").ok);
}

TEST(HostileFiles, ACrashInTheLibraryIsReportedInOrderAndTheRunGoesOn) {
    support::TempDir dir;
    ASSERT_TRUE(writeGoodPng(dir.path / "first.png"));
    ASSERT_TRUE(writeGoodPng(dir.path / "last.png"));
    // An icon may hold a PNG; the size wrap then reaches the library's PNG reader unchecked,
    // since the file does not start with the PNG signature.
    ASSERT_TRUE(pngbytes::write(dir.path / "crash.ico", pngbytes::ico(sizeWrapPng())));
    ASSERT_TRUE(pngbytes::write(dir.path / "again.ico", pngbytes::ico(sizeWrapPng())));
    // An output that was there before the child ran belongs to the user and stays.
    ASSERT_TRUE(pngbytes::write(dir.path / "again.tga", "the user's own file"));

    // Started with SIGCHLD ignored, as some launchers do: a worker's end must still be seen.
    std::signal(SIGCHLD, SIG_IGN);
    const CountedRun counted =
        runCounted({"first.png", "crash.ico", "missing.png", "again.ico", "last.png"}, dir.path);
    std::signal(SIGCHLD, SIG_DFL);
    // Through a pipe, as here, every line appears once and in the order of the files.
    const std::string crashed = failedLoad(1284, crashText);
    EXPECT_EQ(counted.run.out, std::string(support::banner) + done + crashed +
                                   failedLoad(1290, "could not open file") + crashed + done);
    // Each crash in a worker that had served a file is tried again in a fresh one.
    EXPECT_EQ(counted.workersStarted, 5);
    EXPECT_TRUE(support::readTga(dir.path / "first.tga").ok);
    EXPECT_TRUE(support::readTga(dir.path / "last.tga").ok);
    EXPECT_FALSE(fs::exists(dir.path / "crash.tga"));
    const std::vector<std::uint8_t> kept = support::readFile(dir.path / "again.tga");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "the user's own file");
}

TEST(HostileFiles, AFileThatNeverLoadsRunsOutOfTimeAndTheRunGoesOn) {
    support::TempDir dir;
    ASSERT_TRUE(writeGoodPng(dir.path / "after.png"));
    // Nobody ever writes into this pipe, so the library waits for it forever.
    ASSERT_EQ(mkfifo((dir.path / "stuck.png").c_str(), 0600), 0);
    ASSERT_EQ(setenv("OSTRELLE_TEST_ONLY_SECONDS", "2", 1), 0);
    // Another program writes the stuck file's output name meanwhile; that file is not the run's.
    std::thread other([&dir] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::ofstream(dir.path / "stuck.tga") << "another program's file";
    });
    const auto start = std::chrono::steady_clock::now();
    const support::Run run = support::runOstrelle({"stuck.png", "after.png"}, dir.path);
    const auto took = std::chrono::steady_clock::now() - start;
    other.join();
    unsetenv("OSTRELLE_TEST_ONLY_SECONDS");

    EXPECT_EQ(run.out,
              std::string(support::banner) + failedLoad(1284, "took longer than 2 s") + done);
    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_TRUE(support::readTga(dir.path / "after.tga").ok);
    const std::vector<std::uint8_t> kept = support::readFile(dir.path / "stuck.tga");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "another program's file");
}

// One worker serves a whole run; a file that fails only in a worker that served others (here a
// worker poisoned to abort on its second file) is reported as a fresh worker reports it.
TEST(HostileFiles, OneWorkerServesTheRunAndAUsedWorkerNeverDecidesAReport) {
    support::TempDir dir;
    ASSERT_TRUE(writeGoodPng(dir.path / "0.png"));
    std::vector<std::string> names{"0.png"};
    for (int i = 1; i < 200; ++i) {
        names.push_back(std::to_string(i) + ".png");
        fs::copy_file(dir.path / "0.png", dir.path / names.back());
    }
    std::string allDone = support::banner;
    for (std::size_t i = 0; i < names.size(); ++i)
        allDone += done;
    const CountedRun many = runCounted(names, dir.path);
    EXPECT_EQ(many.run.out, allDone);
    EXPECT_EQ(many.workersStarted, 1);
    for (const std::string &name : names)
        ASSERT_TRUE(support::readTga(dir.path / (name.substr(0, name.size() - 3) + "tga")).ok);

    for (const char *name : {"p.png", "q.png", "r.png"})
        fs::copy_file(dir.path / "0.png", dir.path / name);
    const CountedRun poisoned =
        runCounted({"p.png", "q.png", "r.png"}, dir.path, {{"OSTRELLE_TEST_ONLY_POISON", "1"}});
    EXPECT_EQ(poisoned.run.out, std::string(support::banner) + done + done + done);
    EXPECT_EQ(poisoned.workersStarted, 3);
}

// A worker that a hostile file has taken over reaches nothing: each forbidden act is refused, the
// file is reported, and the next one converts. A crash inside the sandbox stays a crash.
TEST(HostileFiles, ATakenOverWorkerReachesNothing) {
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) <= 0)
        GTEST_SKIP() << "this kernel offers no Landlock";
    support::TempDir dir;
    for (const char *name : {"evil.png", "abort.png", "good.png"})
        ASSERT_TRUE(writeGoodPng(dir.path / name));
    ASSERT_TRUE(pngbytes::write(dir.path / "secret.txt", "the user's secret"));
    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    auto *a = reinterpret_cast<sockaddr *>(&address);
    ASSERT_TRUE(bind(listening, a, size) == 0 && listen(listening, 4) == 0 &&
                getsockname(listening, a, &size) == 0);
    setenv("OSTRELLE_EVIL_PORT", std::to_string(ntohs(address.sin_port)).c_str(), 1);
    const CountedRun counted =
        runCounted({"evil.png", "abort.png", "good.png"}, dir.path,
                   {{"OSTRELLE_TEST_ONLY_WORKER_PROGRAM", OSTRELLE_EVIL_WORKER}});
    unsetenv("OSTRELLE_EVIL_PORT");
    close(listening);

    EXPECT_EQ(counted.run.out, std::string(support::banner) +
                                   failedLoad(1284, "refused every forbidden act") +
                                   failedLoad(1284, "the image library crashed (signal 6)") + done);
    const std::vector<std::uint8_t> secret = support::readFile(dir.path / "secret.txt");
    EXPECT_EQ(std::string(secret.begin(), secret.end()), "the user's secret");
    EXPECT_FALSE(fs::exists(dir.path / "new.tga"));
    EXPECT_FALSE(fs::exists("/tmp/ostrelle-evil"));
    EXPECT_TRUE(support::readTga(dir.path / "good.tga").ok);
}

// A run killed while the library writes a large output leaves nothing at the final name; the next
// run in that folder removes the staging folder the killed one left.
TEST(HostileFiles, ARunKilledMidSaveLeavesNoOutput) {
    support::TempDir dir;
    // 8200 x 8200 RGB: a TGA of about 200 MB.
    ASSERT_TRUE(
        pngbytes::write(dir.path / "big.png", pngbytes::png(8200, 8200, 8, 2, 8200, 8200 * 3)));
    ASSERT_TRUE(writeGoodPng(dir.path / "small.png"));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        if (chdir(dir.path.c_str()) == 0)
            execl(OSTRELLE_BIN, OSTRELLE_BIN, "big.png", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Kill the run as soon as the staged file has grown.
    fs::path staged;
    for (int i = 0; i < 30000 && staged.empty(); ++i) {
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(dir.path, ec))
            if (entry.path().filename().string().rfind(".ostrelle-staging-", 0) == 0 &&
                fs::exists(entry.path() / "0.tga", ec) &&
                fs::file_size(entry.path() / "0.tga", ec) > 0)
                staged = entry.path() / "0.tga";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ASSERT_FALSE(staged.empty()) << "the save never started";
    EXPECT_FALSE(fs::exists(dir.path / "big.tga"));

    const support::Run next = support::runOstrelle({"small.png"}, dir.path);
    EXPECT_EQ(next.out, std::string(support::banner) + done);
    std::set<std::string> left;
    for (const auto &entry : fs::directory_iterator(dir.path))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"big.png", "small.png", "small.tga"}));
}

namespace {

// Every file under dir, by relative path, with its bytes (a link as its target's name).
std::map<std::string, std::string> snapshot(const fs::path &dir) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(entry.path(), dir).string();
        if (entry.is_symlink())
            files[name] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_regular_file()) {
            const std::vector<std::uint8_t> bytes = support::readFile(entry.path());
            files[name] = std::string(bytes.begin(), bytes.end());
        }
    }
    return files;
}

} // namespace

// Several workers change nothing but the time: the same reports and the same files as one worker,
// for good files of several formats, failing and hostile files, and every way two arguments can
// meet at one file.
TEST(HostileFiles, SeveralWorkersGiveWhatOneGives) {
    support::TempDir base;
    const fs::path made = base.path / "made";
    fs::create_directories(made / "sub");
    fs::create_directory_symlink("sub", made / "link");
    std::vector<std::string> plain;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "p" + std::to_string(i) + ".png";
        ASSERT_TRUE(
            support::writeRgbaPng(made / name, support::pattern(3 + i, 2 + i % 3, i % 2 == 0)));
        plain.push_back(name);
    }
    ilInit();
    const support::Image rgb = support::pattern(9, 7, false);
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < rgb.rgba.size(); i += 4)
        bytes.insert(bytes.end(), &rgb.rgba[i], &rgb.rgba[i] + 3);
    ASSERT_TRUE(ilTexImage(9, 7, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, bytes.data()));
    for (const char *name : {"b.bmp", "c.pcx", "d.jpg", "e.ppm", "sub/f.bmp", "x.bmp"}) {
        ASSERT_TRUE(ilSaveImage((made / name).c_str())) << name;
        plain.push_back(name);
    }
    ASSERT_TRUE(pngbytes::write(made / "crash.ico", pngbytes::ico(sizeWrapPng())));
    ASSERT_TRUE(pngbytes::write(made / "wrap.png", sizeWrapPng()));
    const std::string good = pngbytes::png(4, 4, 8, 2, 4, 12);
    ASSERT_TRUE(pngbytes::write(made / "cut.png", good.substr(0, 41)));
    ASSERT_TRUE(pngbytes::write(made / "notes.xyz", "not an image"));
    ASSERT_TRUE(pngbytes::write(made / "mine.png", good));
    ASSERT_TRUE(pngbytes::write(made / "mine.tga", "the user's own"));
    for (const char *name : {"a.png", "x.png", "sub/s.png", "q.png"})
        ASSERT_TRUE(writeGoodPng(made / name));
    for (const char *name : {"crash.ico", "wrap.png", "cut.png", "notes.xyz", "missing.png",
                             "mine.png", "abc", "photo.jpeg"})
        plain.push_back(name);
    ASSERT_TRUE(pngbytes::write(made / "abc", good));
    fs::copy_file(made / "d.jpg", made / "photo.jpeg");

    // The same file twice, two inputs with one output (also through ./, a linked folder and
    // another case), an input that is an earlier file's output, an output that is a later one's
    // input.
    std::vector<std::string> colliding = plain;
    for (const char *name : {"a.png", "a.png", "x.png", "x.bmp", "./x.png", "sub/s.png",
                             "link/s.png", "Q.PNG", "q.png", "p1.tga", "s.tga", "sub/s.png"})
        colliding.push_back(name);

    for (const std::vector<std::string> *args : {&plain, &colliding}) {
        std::map<std::string, std::string> outputs[2];
        std::string printed[2];
        int started = 0;
        for (int run = 0; run < 2; ++run) {
            const fs::path dir = base.path / ("run" + std::to_string(run));
            fs::remove_all(dir);
            fs::copy(made, dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
            const char *workers = run == 0 ? "1" : "3";
            const CountedRun counted =
                runCounted(*args, dir, {{"OSTRELLE_TEST_ONLY_WORKERS", workers}});
            printed[run] = counted.run.out;
            started = counted.workersStarted;
            outputs[run] = snapshot(dir);
        }
        EXPECT_EQ(printed[1], printed[0]) << args->size() << " arguments";
        EXPECT_EQ(outputs[1], outputs[0]) << args->size() << " arguments";
        EXPECT_GE(outputs[0].size(), args->size() / 2 + 20); // most converted
        // Without collisions the work is shared; with them, one worker serves (and replaces
        // itself after each of the two crashes).
        EXPECT_EQ(started, args == &plain ? 4 : 3) << args->size() << " arguments";
    }
}
