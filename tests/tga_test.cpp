#include "tga.h"

#include "support.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

// The writer's output only ever gets here; anything else must be refused untouched, not "mended".
TEST(FinishTga, LeavesFilesItCannotMendAsTheyAre) {
    using Bytes = std::vector<std::uint8_t>;
    const auto tga = [](std::uint8_t mapType, std::uint8_t type, std::uint8_t depth) {
        Bytes b = {0, mapType, type, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, depth, 0};
        b.resize(b.size() + 8, 9); // two pixels of 32 bits
        return b;
    };
    Bytes shortPixels = tga(0, 2, 32);
    shortPixels[12] = 3; // three pixels announced, two there
    const Bytes files[] = {tga(1, 1, 8), tga(0, 10, 32), tga(0, 2, 16), shortPixels, Bytes(10, 0)};

    support::TempDir dir;
    const std::filesystem::path path = dir.path / "a.tga";
    for (const Bytes &bytes : files) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        EXPECT_FALSE(finishTga(path.string())) << "type " << int{bytes[2]};
        EXPECT_EQ(support::readFile(path), bytes) << "type " << int{bytes[2]};
    }
    EXPECT_FALSE(finishTga((dir.path / "missing.tga").string()));

    // A link is never followed: what it points to is not the file the writer made.
    const Bytes sound = [&tga] {
        Bytes b = tga(0, 2, 32);
        b.resize(b.size() + 10, 0);
        return b;
    }();
    std::ofstream(dir.path / "target.tga", std::ios::binary)
        .write(reinterpret_cast<const char *>(sound.data()),
               static_cast<std::streamsize>(sound.size()));
    ASSERT_TRUE(finishTga((dir.path / "target.tga").string())) << "the control must be mended";
    const Bytes mended = support::readFile(dir.path / "target.tga");
    std::filesystem::create_symlink("target.tga", dir.path / "link.tga");
    EXPECT_FALSE(finishTga((dir.path / "link.tga").string()));
    EXPECT_EQ(support::readFile(dir.path / "target.tga"), mended);
}

} // namespace
