#include "pngcheck.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// Codes of the image library the check reports with.
constexpr int invalidFileHeader = 1288, badDimensions = 1297, fileReadError = 1298;

PngProblem check(const std::string &bytes) {
    std::FILE *file = std::tmpfile();
    if (file == nullptr)
        return {false, -1, TextId::Library, 0, 0};
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
    ::lseek(fileno(file), 0, SEEK_SET);
    PngProblem problem = checkPngDescriptor(fileno(file));
    std::fclose(file);
    return problem;
}

std::string header(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType) {
    return support::pngSignature + support::ihdr(width, height, bitDepth, colorType) +
           support::chunk("IEND", "");
}

} // namespace

TEST(PngCheck, RefusesWhatIsNotASoundPngAndPassesTheRest) {
    const std::string real = support::rgbaPng(support::pattern(7, 5, true));
    const std::string head = support::pngSignature + support::ihdr(4, 4, 8, 6);
    const std::string idat = support::chunk("IDAT", "12345"), end = support::chunk("IEND", "");
    std::string overByOne = head + idat + end, endless = overByOne, huge = overByOne;
    overByOne[head.size() + 3] = 5 + 13; // its CRC would overlap the end chunk's last byte
    endless[head.size() + 3] = 5 + 12;   // runs exactly to the end of the file: no end chunk
    huge[head.size()] = '\x80';          // 2^31 and more is not PNG at all
    const struct {
        std::string bytes;
        int code;
    } cases[] = {
        {real, 0},
        // Many small data chunks, as streaming writers make them.
        {head + support::chunk("IDAT", "") + support::chunk("tEXt", "a\0b") + end, 0},
        {head + std::string("\x00\x01\x00\x00IDAT", 8) + "short" + end, fileReadError},
        {overByOne, fileReadError},
        {endless, fileReadError},
        {huge, invalidFileHeader},
        {support::pngSignature + end, invalidFileHeader},
        {support::pngSignature + support::chunk("gAMA", "\0\0\xb1\x8f") + head.substr(8) + end,
         invalidFileHeader},
        {head + head.substr(8) + end, invalidFileHeader},
        {support::pngSignature + support::chunk("IHDR", head.substr(16, 12)) + end,
         invalidFileHeader},
    };
    for (const auto &c : cases)
        EXPECT_EQ(check(c.bytes).code, c.code) << "file of " << c.bytes.size() << " bytes";
}

TEST(PngCheck, RefusesSizesWhosePixelsReachTwoGibibytes) {
    const struct {
        std::uint32_t width, height;
        int depth, colorType;
        const char *text;
    } cases[] = {
        {23170, 23170, 8, 6, ""},
        {16383, 16384, 16, 2, ""},
        {16384, 16384, 16, 2, "image too large: 16384x16384"},
        // Gray images may be widened to four samples too.
        {23171, 23171, 8, 0, "image too large: 23171x23171"},
        // The product must not wrap in 32 bits and come out small, nor in 64 (2^64 + 1104 here).
        {65536, 65536, 8, 6, "image too large: 65536x65536"},
        {1073764994u, 2147437309u, 16, 6, "image too large: 1073764994x2147437309"},
        {0, 10, 8, 6, "impossible image size: 0x10"},
        {0x80000000u, 1, 8, 6, "impossible image size: 2147483648x1"},
    };
    for (const auto &c : cases) {
        const PngProblem p = check(header(c.width, c.height, c.depth, c.colorType));
        EXPECT_EQ(p.code, *c.text != 0 ? badDimensions : 0) << c.width << "x" << c.height;
        EXPECT_EQ(p.code != 0 ? textFor(p.text, p.code, p.width, p.height) : "", c.text)
            << c.width << "x" << c.height << " depth " << c.depth;
    }
}

// A file of two million empty chunks is read in large blocks, not a system call per chunk; seeking
// per chunk took seconds here.
TEST(PngCheck, ManyTinyChunksAreCheckedQuickly) {
    std::string bytes = support::pngSignature + support::ihdr(1, 1, 8, 0);
    const std::string empty = support::chunk("tEXt", "");
    bytes.reserve(bytes.size() + empty.size() * 2000000 + 12);
    for (int i = 0; i < 2000000; ++i)
        bytes += empty;
    bytes += support::chunk("IEND", "");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(check(bytes).code, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST(PngCheck, EveryCutBeforeTheEndChunkIsTruncated) {
    const std::string real = support::rgbaPng(support::pattern(7, 5, true));
    for (std::size_t length = support::pngSignature.size(); length < real.size(); ++length) {
        const PngProblem p = check(real.substr(0, length));
        EXPECT_EQ(p.code, fileReadError) << "cut at " << length;
        EXPECT_EQ(textFor(p.text, p.code, p.width, p.height), "file is truncated")
            << "cut at " << length;
    }
}

namespace {

// A PNG whose first data chunk ends `shift` bytes after the check's first 64 KiB block ends.
std::string endingNearTheBlockEdge(int shift) {
    const std::string head = support::pngSignature + support::ihdr(1, 1, 8, 0);
    const std::size_t length = 65536 + static_cast<std::size_t>(shift) - head.size() - 12;
    return head + support::chunk("tEXt", std::string(length, 'a')) + support::chunk("IEND", "");
}

} // namespace

// The check reads in blocks of 64 KiB: a chunk, or a chunk's length and type, that ends at a
// block's edge, just before or just after it, or straddles it, is read as any other; a file cut
// there is truncated.
TEST(PngCheck, ChunksAtTheBlockEdgeAreReadWhole) {
    for (const int shift : {-13, -12, -9, -8, -4, -1, 0, 1, 4, 8, 12, 13}) {
        const std::string bytes = endingNearTheBlockEdge(shift);
        EXPECT_EQ(check(bytes).code, 0) << "ending " << shift << " bytes after the edge";
        for (const std::size_t cut :
             {std::size_t{65535}, std::size_t{65536}, std::size_t{65537}, bytes.size() - 1})
            if (cut < bytes.size()) {
                EXPECT_EQ(check(bytes.substr(0, cut)).code, fileReadError)
                    << "ending " << shift << " after the edge, cut at " << cut;
            }
    }
}
