// The run survives files that would crash, freeze or exhaust the image library.
#include "pngbytes.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>

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

    const support::Run run = support::runOstrelle(
        {"first.png", "crash.ico", "missing.png", "again.ico", "last.png"}, dir.path);
    // Through a pipe, as here, every line appears once and in the order of the files.
    const std::string crashed = failedLoad(1284, crashText);
    EXPECT_EQ(run.out, std::string(support::banner) + done + crashed +
                           failedLoad(1290, "could not open file") + crashed + done);
    EXPECT_EQ(run.status, 0);
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
    const auto start = std::chrono::steady_clock::now();
    const support::Run run = support::runOstrelle({"stuck.png", "after.png"}, dir.path);
    const auto took = std::chrono::steady_clock::now() - start;
    unsetenv("OSTRELLE_TEST_ONLY_SECONDS");

    EXPECT_EQ(run.out,
              std::string(support::banner) + failedLoad(1284, "took longer than 2 s") + done);
    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_TRUE(support::readTga(dir.path / "after.tga").ok);
    EXPECT_FALSE(fs::exists(dir.path / "stuck.tga"));
}
