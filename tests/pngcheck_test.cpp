#include "pngbytes.h"
#include "pngcheck.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

// Codes of the image library the check reports with.
constexpr int invalidFileHeader = 1288, badDimensions = 1297, fileReadError = 1298;

PngProblem check(const std::string &bytes) {
    std::FILE *file = std::tmpfile();
    if (file == nullptr)
        return {-1, "no temporary file"};
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
    ::lseek(fileno(file), 0, SEEK_SET);
    PngProblem problem = checkPngDescriptor(fileno(file));
    std::fclose(file);
    return problem;
}

std::string header(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType) {
    return pngbytes::signature + pngbytes::ihdr(width, height, bitDepth, colorType) +
           pngbytes::chunk("IEND", "");
}

std::string smallPng(const char *name) {
    support::TempDir dir;
    const support::Image image = support::pattern(7, 5, true);
    if (!support::writeRgbaPng(dir.path / name, image))
        return {};
    const std::vector<std::uint8_t> bytes = support::readFile(dir.path / name);
    return {bytes.begin(), bytes.end()};
}

} // namespace

TEST(PngCheck, SoundFilesAndOtherFormatsPass) {
    const std::string real = smallPng("a.png");
    ASSERT_GT(real.size(), 60u);
    const std::string cases[] = {
        real,
        real + "trailing bytes after the end chunk are no concern",
        pngbytes::png(3, 2, 16, 6, 2, 3 * 8),
        // Many small data chunks, as streaming writers make them.
        pngbytes::signature + pngbytes::ihdr(1, 1, 8, 0) + pngbytes::chunk("IDAT", "") +
            pngbytes::chunk("IDAT", "") + pngbytes::chunk("tEXt", "a\0b") +
            pngbytes::chunk("IEND", ""),
        "",
        "BM not a PNG at all",
        pngbytes::signature.substr(0, 7),
    };
    for (const std::string &bytes : cases) {
        const PngProblem p = check(bytes);
        EXPECT_EQ(p.code, 0) << p.text << " for a file of " << bytes.size() << " bytes";
    }
}

TEST(PngCheck, RefusesSizesWhosePixelsReachTwoGibibytes) {
    const struct {
        std::uint32_t width, height;
        int depth, colorType, code;
        const char *text;
    } cases[] = {
        {23170, 23170, 8, 6, 0, ""},
        {20000, 20000, 8, 6, 0, ""},
        {23171, 23171, 8, 6, badDimensions, "image too large: 23171x23171"},
        {23171, 23171, 16, 6, badDimensions, "image too large: 23171x23171"},
        // Gray images may be widened to four samples too.
        {23171, 23171, 8, 0, badDimensions, "image too large: 23171x23171"},
        {16384, 16384, 16, 2, badDimensions, "image too large: 16384x16384"},
        {16383, 16384, 16, 2, 0, ""},
        // The product must not wrap in 32 bits and come out small.
        {65536, 65536, 8, 6, badDimensions, "image too large: 65536x65536"},
        // ... nor in 64 bits: this product is 2^64 + 1104.
        {1073764994u, 2147437309u, 16, 6, badDimensions, "image too large: 1073764994x2147437309"},
        {0, 10, 8, 6, badDimensions, "impossible image size: 0x10"},
        {0x80000000u, 1, 8, 6, badDimensions, "impossible image size: 2147483648x1"},
    };
    for (const auto &c : cases) {
        const PngProblem p = check(header(c.width, c.height, c.depth, c.colorType));
        EXPECT_EQ(p.code, c.code) << c.width << "x" << c.height << " depth " << c.depth;
        EXPECT_EQ(p.text, c.text) << c.width << "x" << c.height << " depth " << c.depth;
    }
}

// A file of two million empty chunks is read in large blocks, not a system call per chunk; seeking
// per chunk took seconds here.
TEST(PngCheck, ManyTinyChunksAreCheckedQuickly) {
    std::string bytes = pngbytes::signature + pngbytes::ihdr(1, 1, 8, 0);
    const std::string empty = pngbytes::chunk("tEXt", "");
    bytes.reserve(bytes.size() + empty.size() * 2000000 + 12);
    for (int i = 0; i < 2000000; ++i)
        bytes += empty;
    bytes += pngbytes::chunk("IEND", "");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(check(bytes).code, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST(PngCheck, EveryCutBeforeTheEndChunkIsTruncated) {
    const std::string real = smallPng("b.png");
    ASSERT_GT(real.size(), 60u);
    for (std::size_t length = pngbytes::signature.size(); length < real.size(); ++length) {
        const PngProblem p = check(real.substr(0, length));
        EXPECT_EQ(p.code, fileReadError) << "cut at " << length;
        EXPECT_EQ(p.text, "file is truncated") << "cut at " << length;
    }
    EXPECT_EQ(check(real).code, 0);
}

TEST(PngCheck, ChunkLengthsMustFitInTheFile) {
    const std::string head = pngbytes::signature + pngbytes::ihdr(4, 4, 8, 6);
    const std::string end = pngbytes::chunk("IEND", "");
    // A data chunk claiming more than the file holds, with a sound end chunk after it.
    const std::string longData = std::string("\x00\x01\x00\x00IDAT", 8) + "short" + end;
    EXPECT_EQ(check(head + longData).code, fileReadError);
    // One byte too long, so that its CRC would overlap the end chunk's last byte.
    const std::string idat = pngbytes::chunk("IDAT", "12345");
    std::string overByOne = head + idat + end;
    overByOne[head.size() + 3] = 5 + 13; // the length runs exactly to the end of the file + 1
    EXPECT_EQ(check(overByOne).code, fileReadError);
    overByOne[head.size() + 3] = 5 + 12; // now IDAT ends exactly at the end of the file
    EXPECT_EQ(check(overByOne).code, fileReadError) << "no end chunk is left after it";
    // Lengths of 2^31 and more are not PNG at all, whatever the file's size.
    std::string huge = head + idat + end;
    huge[head.size()] = '\x80';
    EXPECT_EQ(check(huge).code, invalidFileHeader);
}

TEST(PngCheck, TheHeaderChunkMustComeFirstWithItsOwnLength) {
    const std::string end = pngbytes::chunk("IEND", "");
    const std::string ihdr = pngbytes::ihdr(4, 4, 8, 6);
    std::string shortHeader =
        pngbytes::signature + pngbytes::chunk("IHDR", ihdr.substr(8, 12)) + end;
    const std::string cases[] = {
        pngbytes::signature + end,
        pngbytes::signature + pngbytes::chunk("gAMA", "\0\0\xb1\x8f") + ihdr + end,
        pngbytes::signature + ihdr + ihdr + end,
        shortHeader,
    };
    for (const std::string &bytes : cases)
        EXPECT_EQ(check(bytes).code, invalidFileHeader) << "file of " << bytes.size() << " bytes";
}

TEST(PngCheck, TheValidSuiteImagesAllPass) {
    const std::filesystem::path suite = std::filesystem::path(OSTRELLE_PNGSUITE) / "png";
    if (!std::filesystem::is_directory(suite))
        GTEST_SKIP() << "PngSuite is not at " << OSTRELLE_PNGSUITE;
    // The corrupt x* images are broken in ways the library notices itself; they are not counted.
    int valid = 0;
    for (const auto &entry : std::filesystem::directory_iterator(suite)) {
        const std::string name = entry.path().filename().string();
        if (name[0] == 'x' || entry.path().extension() != ".png")
            continue;
        ++valid;
        const PngProblem p = checkPngFile(entry.path().string().c_str());
        EXPECT_EQ(p.code, 0) << name << ": " << p.text;
    }
    EXPECT_EQ(valid, 161);
}
