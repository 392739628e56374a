#include "tga.h"

#include "support.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A header as the library's writer leaves it: stray origin bytes, no alpha count.
Bytes header(std::uint8_t mapType, std::uint8_t type, std::uint8_t depth, std::uint8_t width) {
    return {0, mapType, type, 0, 0, 0, 0, 0, 0, 0xff, 0, 0xff, width, 0, 1, 0, depth, 0};
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void write(const std::filesystem::path &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

const Bytes footer = {0,   0,   0,   0,   0,   0,   0,   0,   'T', 'R', 'U', 'E', 'V',
                      'I', 'S', 'I', 'O', 'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};

TEST(FinishTga, MendsHeaderAndReplacesTheEnding) {
    support::TempDir dir;
    const Bytes pixels = {1, 2, 3, 4, 5, 6, 7, 8}; // two BGRA pixels, or eight gray ones
    const Bytes writerEnding = Bytes(507, 0x55) + Bytes(footer.begin(), footer.end() - 1);
    const struct {
        std::uint8_t type, depth, width, descriptor;
    } cases[] = {{2, 32, 2, 8}, {2, 24, 2, 0}, {3, 8, 8, 0}};
    for (const auto &c : cases) {
        const std::filesystem::path path = dir.path / "a.tga";
        const Bytes pixelBytes(pixels.begin(), pixels.begin() + c.width * c.depth / 8);
        write(path, header(0, c.type, c.depth, c.width) + pixelBytes + writerEnding);
        ASSERT_TRUE(finishTga(path.string())) << int{c.depth};
        Bytes mended = header(0, c.type, c.depth, c.width);
        mended[9] = mended[11] = 0;
        mended[17] = c.descriptor;
        EXPECT_EQ(support::readFile(path), mended + pixelBytes + footer) << int{c.depth};
    }
}

TEST(FinishTga, LeavesFilesItCannotMendAsTheyAre) {
    support::TempDir dir;
    const Bytes pixels(8, 9);
    const Bytes files[] = {
        header(1, 1, 8, 2) + pixels,   // colour-mapped
        header(0, 10, 32, 2) + pixels, // run-length encoded
        header(0, 2, 16, 2) + pixels,  // 16-bit true colour
        header(0, 2, 32, 3) + pixels,  // fewer pixels than the header says
        Bytes(10, 0),                  // shorter than a header
    };
    for (const Bytes &bytes : files) {
        const std::filesystem::path path = dir.path / "b.tga";
        write(path, bytes);
        EXPECT_FALSE(finishTga(path.string())) << int{bytes[2]};
        EXPECT_EQ(support::readFile(path), bytes);
    }
    EXPECT_FALSE(finishTga((dir.path / "missing.tga").string()));
}

} // namespace
