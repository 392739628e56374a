#include "tga.h"

#include "support.h"

#include <gtest/gtest.h>

namespace {

// The writer's output only ever gets here; anything else must be refused untouched, not "mended".
TEST(FinishTga, LeavesFilesItCannotMendAsTheyAre) {
    const auto tga = [](char mapType, char type, char depth, char width = 2) {
        return std::string{0, mapType, type, 0, 0, 0, 0, 0, 0, 0, 0, 0, width, 0, 1, 0, depth, 0} +
               std::string(8, 9); // two pixels of 32 bits
    };
    // A colour map, compression, 16 bits, three pixels announced and two there, no header.
    const std::string files[] = {tga(1, 1, 8), tga(0, 10, 32), tga(0, 2, 16), tga(0, 2, 32, 3),
                                 std::string(10, 0)};
    support::TempDir dir;
    const std::filesystem::path path = dir.path / "a.tga";
    for (const std::string &bytes : files) {
        ASSERT_TRUE(support::writeFile(path, bytes));
        EXPECT_FALSE(finishTga(path.string())) << "type " << int{bytes[2]};
        EXPECT_EQ(support::readFile(path), bytes) << "type " << int{bytes[2]};
    }
    EXPECT_FALSE(finishTga((dir.path / "missing.tga").string()));

    // A link is never followed: what it points to is not the file the writer made.
    ASSERT_TRUE(support::writeFile(dir.path / "target.tga", tga(0, 2, 32) + std::string(10, 0)));
    ASSERT_TRUE(finishTga((dir.path / "target.tga").string())) << "the control must be mended";
    const std::string mended = support::readFile(dir.path / "target.tga");
    std::filesystem::create_symlink("target.tga", dir.path / "link.tga");
    EXPECT_FALSE(finishTga((dir.path / "link.tga").string()));
    EXPECT_EQ(support::readFile(dir.path / "target.tga"), mended);
}

} // namespace
