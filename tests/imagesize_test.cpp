#include "imagesize.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

std::string le16(unsigned v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string le32(std::uint32_t v) { return le16(v & 0xffff) + le16(v >> 16); }
std::string be16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string be32(std::uint32_t v) { return be16(v >> 16) + be16(v & 0xffff); }

// Each format's header for a picture of 300 x 200, 8 bits a sample unless said: 300 x 200 x 8
// bytes, or x 16 for 16-bit samples.
TEST(MemoryNeed, ReadsTheSizeFromEachFormatsHeader) {
    const std::uint64_t shallow = 300 * 200 * 8, deep = 300 * 200 * 16;
    const std::string jfif =
        "\xFF\xD8\xFF\xE0" + be16(16) + std::string("JFIF\0", 5) + std::string(9, '\0');
    const struct {
        const char *what;
        std::string head;
        std::string name;
        std::uint64_t need;
    } cases[] = {
        {"PNG", support::png(300, 200, 8, 6, ""), "a.bin", shallow},
        {"PNG, 16 bits", support::png(300, 200, 16, 2, ""), "a", deep},
        {"JPEG after an APP0 segment and a fill byte",
         jfif + "\xFF\xFF\xC2" + be16(17) + '\x08' + be16(200) + be16(300), "a.jpg", shallow},
        {"JPEG without a frame header", jfif + "\xFF\xDA" + be16(8), "a.jpg", 0},
        {"BMP, rows top-down", "BM" + std::string(16, '\0') + le32(300) + le32(0u - 200u), "a.bmp",
         shallow},
        {"GIF", "GIF89a" + le16(300) + le16(200), "a.gif", shallow},
        {"PSD, 16 bits",
         "8BPS" + be16(1) + std::string(6, '\0') + be16(3) + be32(200) + be32(300) + be16(16) +
             be16(3),
         "a.psd", deep},
        {"DDS", "DDS " + le32(124) + le32(0x1007) + le32(200) + le32(300), "a.dds", shallow},
        {"PNM with a comment, 16 bits", "P6\n# made here\n300 200\n65535\n", "a.ppm", deep},
        {"PBM", "P4 300\t200\n", "a.pbm", shallow},
        {"TGA by its name",
         std::string(12, '\0') + le16(300) + le16(200) + std::string("\x20\x00", 2), "A.TGA",
         shallow},
        {"the same bytes under another name",
         std::string(12, '\0') + le16(300) + le16(200) + std::string("\x20\x00", 2), "a.bin", 0},
        {"a PNG too large for any machine", support::png(0x80000000u, 2, 8, 6, ""), "a.png",
         UINT64_MAX},
        {"text", "not an image at all", "a.txt", 0},
        {"a cut PNG", support::png(300, 200, 8, 6, "").substr(0, 20), "a.png", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(memoryNeedFromHeader(c.head, c.name), c.need) << c.what;
}

// Sides below 2^31 pass the first bound, but at 8 or 16 bytes a pixel their total can pass 2^64:
// such an image needs more than any machine has, never a wrapped remainder that looks small.
TEST(MemoryNeed, SizesPast64BitsCountAsMoreThanAnyMachineHas) {
    const std::uint32_t side = 1u << 30;
    const struct {
        const char *what;
        std::string head;
        std::string name;
    } cases[] = {
        {"PNG, 2^30 x 2^30 at 16 bits (wraps to 0)", support::png(side, side, 16, 6, ""), "a.png"},
        {"PNG, 2^30 x (2^30 + 1) at 16 bits (wraps to 16 GiB)",
         support::png(side, side + 1, 16, 6, ""), "a.png"},
        {"PNG, 2^31 - 1 on each side at 8 bits", support::png(0x7fffffffu, 0x7fffffffu, 8, 6, ""),
         "a.png"},
        {"PSD, 2^30 x 2^30 at 16 bits",
         "8BPS" + be16(1) + std::string(6, '\0') + be16(3) + be32(side) + be32(side) + be16(16) +
             be16(3),
         "a.psd"},
        {"PNM, 2^30 x 2^30 at 16 bits", "P6 1073741824 1073741824 65535\n", "a.ppm"},
        {"BMP, 2^31 - 1 wide and as tall top-down",
         "BM" + std::string(16, '\0') + le32(0x7fffffffu) + le32(0x80000001u), "a.bmp"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(memoryNeedFromHeader(c.head, c.name), UINT64_MAX) << c.what;
    // The largest that fits is still counted exactly.
    EXPECT_EQ(memoryNeedFromHeader(support::png(side, side - 1, 16, 6, ""), "a.png"),
              (std::uint64_t{side} * (side - 1)) * 16);
}

} // namespace
