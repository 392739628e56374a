#include "tga.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string header(char mapType, char type, char depth, char width = 2, char idLength = 0) {
    return std::string{idLength, mapType, type, 0,     0, 0, 0, 0,     7,
                       7,        7,       7,    width, 0, 1, 0, depth, 0x20};
}

bool mend(std::string &bytes, std::uint64_t size, std::uint64_t &end) {
    return mendTgaHeader(reinterpret_cast<std::uint8_t *>(bytes.data()), size, end);
}

// The writer's output only ever gets here; anything else must be refused, not "mended".
TEST(MendTga, RefusesWhatTheWriterNeverMakes) {
    // A colour map, compression, 16 bits, three pixels announced and two there, too short.
    const std::pair<std::string, std::uint64_t> refused[] = {
        {header(1, 1, 8), 18 + 2},     {header(0, 10, 32), 18 + 8}, {header(0, 2, 16), 18 + 4},
        {header(0, 2, 32, 3), 18 + 8}, {header(0, 2, 32), 10},      {header(0, 3, 8, 2, 5), 18 + 6},
    };
    for (auto [bytes, size] : refused) {
        const std::string before = bytes;
        std::uint64_t end = 0;
        EXPECT_FALSE(mend(bytes, size, end)) << "type " << int{bytes[2]} << ", " << size;
        EXPECT_EQ(bytes, before);
    }
}

// Origin zeroed, rows bottom-up, an alpha count exactly for 32 bits; the pixels end after the ID.
TEST(MendTga, SetsTheProgramsProfile) {
    const struct {
        std::string bytes;
        std::uint64_t end;
        char descriptor;
    } cases[] = {{header(0, 2, 32), 18 + 8, 8},
                 {header(0, 2, 24), 18 + 6, 0},
                 {header(0, 3, 8, 2, 4), 18 + 4 + 2, 0}};
    for (auto c : cases) {
        std::uint64_t end = 0;
        ASSERT_TRUE(mend(c.bytes, c.end + 100, end));
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(c.bytes.substr(8, 4), std::string(4, '\0'));
        EXPECT_EQ(c.bytes[17], c.descriptor);
    }
    EXPECT_EQ(tgaFooter(), std::string("\0\0\0\0\0\0\0\0TRUEVISION-XFILE.\0", 26));
}

} // namespace
