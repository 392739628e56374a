// The pixels and header of every output, over every kind of PNG, checked against libpng's decoding,
// and over PngSuite, when it is there, against its reference pixels.
#include "pngdecode.h"
#include "support.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>

namespace {

// One PNG of the matrix: how its pixels are stored and whether it carries a tRNS chunk.
struct Kind {
    int colorType, bitDepth;
    bool trns, interlaced;
    int width, height;
};

int channelsOf(int colorType) {
    return colorType == PNG_COLOR_TYPE_PALETTE ? 1
                                               : (colorType & 2 ? 3 : 1) + (colorType & 4 ? 1 : 0);
}

// Writes a PNG of random samples; a tRNS colour key is the first pixel's own value, so it is used.
bool writeKind(const std::filesystem::path &path, const Kind &k, std::mt19937 &random) {
    const std::size_t stride =
        (static_cast<std::size_t>(k.width) * static_cast<std::size_t>(channelsOf(k.colorType)) *
             static_cast<std::size_t>(k.bitDepth) +
         7) /
        8;
    std::vector<png_byte> rows(stride * static_cast<std::size_t>(k.height));
    for (png_byte &b : rows)
        b = static_cast<png_byte>(random());
    std::vector<png_bytep> pointers;
    for (std::size_t y = 0; y < static_cast<std::size_t>(k.height); ++y)
        pointers.push_back(rows.data() + y * stride);

    std::vector<png_color> palette;
    std::vector<png_byte> alphas;
    for (int i = 0; i < 1 << k.bitDepth && k.colorType == PNG_COLOR_TYPE_PALETTE; ++i) {
        palette.push_back({static_cast<png_byte>(random()), static_cast<png_byte>(random()),
                           static_cast<png_byte>(random())});
        // Fully transparent, fully opaque and partial entries all occur.
        alphas.push_back(i % 3 == 0 ? 0 : i % 3 == 1 ? 255 : static_cast<png_byte>(random()));
    }
    const auto sample = [&](std::size_t i) {
        return static_cast<png_uint_16>(k.bitDepth == 16  ? rows[2 * i] << 8 | rows[2 * i + 1]
                                        : k.bitDepth == 8 ? rows[i]
                                                          : rows[0] >> (8 - k.bitDepth));
    };
    png_color_16 key{};
    if (k.colorType == PNG_COLOR_TYPE_RGB) {
        key.red = sample(0);
        key.green = sample(1);
        key.blue = sample(2);
    } else {
        key.gray = sample(0);
    }

    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(k.width), static_cast<png_uint_32>(k.height),
                 k.bitDepth, k.colorType, k.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty())
        png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    if (k.trns)
        png_set_tRNS(png, info, alphas.data(), static_cast<int>(alphas.size()), &key);
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}

// One run over every kind, and sides at the TGA header's bound: 65535 is kept, 65536 refused. The
// colour under transparent pixels is compared too, since nothing in the format lets it go.
TEST(Fidelity, EveryKindOfPngBecomesAnExactTgaOfTheProfile) {
    const struct {
        int colorType;
        std::vector<int> depths;
        bool trnsAllowed;
    } types[] = {
        {PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}, true}, {PNG_COLOR_TYPE_RGB, {8, 16}, true},
        {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}, true},  {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}, false},
        {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}, false},
    };
    std::vector<Kind> kinds{{PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false, 65535, 1}};
    for (const auto &t : types)
        for (int depth : t.depths)
            for (bool trns : {false, true})
                for (bool interlaced : {false, true})
                    for (auto [w, h] : {std::pair{1, 1}, {3, 7}, {257, 5}})
                        if (!trns || t.trnsAllowed)
                            kinds.push_back({t.colorType, depth, trns, interlaced, w, h});

    support::TempDir dir;
    std::mt19937 random(7);
    std::vector<std::string> names;
    std::string expected = support::banner;
    for (const Kind &k : kinds) {
        names.push_back("kind" + std::to_string(names.size()) + ".png");
        ASSERT_TRUE(writeKind(dir.path / names.back(), k, random)) << names.back();
        expected += support::done;
    }
    ASSERT_TRUE(support::writeFile(dir.path / "wide.png",
                                   support::png(65536, 1, 8, 2, std::string(65536 * 3 + 1, 0))));
    ASSERT_TRUE(support::writeFile(dir.path / "tall.png",
                                   support::png(1, 65536, 8, 0, std::string(65536 * 2, 0))));
    const std::string refused = support::failed(
        false, 1297, "image wider or taller than 65535 pixels, which TGA cannot hold");
    std::vector<std::string> args = names;
    args.insert(args.end(), {"wide.png", "tall.png"});
    EXPECT_EQ(support::runOstrelle(args, dir.path).out, expected + refused + refused);
    EXPECT_FALSE(std::filesystem::exists(dir.path / "wide.tga"));
    EXPECT_FALSE(std::filesystem::exists(dir.path / "tall.tga"));

    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const Kind &k = kinds[i];
        SCOPED_TRACE("colour type " + std::to_string(k.colorType) + ", depth " +
                     std::to_string(k.bitDepth) + (k.trns ? ", tRNS" : "") +
                     (k.interlaced ? ", interlaced" : "") + ", " + std::to_string(k.width) + "x" +
                     std::to_string(k.height));
        const support::Tga tga =
            support::readTga(dir.path / (names[i].substr(0, names[i].size() - 3) + "tga"));
        EXPECT_TRUE(tga.ok) << tga.why;
        const bool alpha = k.trns || (k.colorType & PNG_COLOR_MASK_ALPHA) != 0;
        const bool gray = !alpha && (k.colorType & PNG_COLOR_MASK_COLOR) == 0;
        EXPECT_EQ(tga.imageType, gray ? 3 : 2);
        EXPECT_EQ(tga.pixelDepth, gray ? 8 : alpha ? 32 : 24);
        EXPECT_EQ(support::differingPixels(tga.image, decodePng(dir.path / names[i]), true), 0u);
    }
}

// The flat [r,g,b,a, ...] array of a reference file. 16-bit images keep their high byte, which is
// the rule for every image (the `_to8` files of the 16-bit gray ones round instead, so they are not
// used).
std::vector<std::uint8_t> reference(const std::filesystem::path &json, bool sixteenBits) {
    std::ifstream in(json);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<std::uint8_t> samples;
    long value = -1;
    for (char c : text.str() + ",") {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            value = (value < 0 ? 0 : value * 10) + (c - '0');
        } else if (value >= 0) {
            samples.push_back(static_cast<std::uint8_t>(value >> (sixteenBits ? 8 : 0)));
            value = -1;
        }
    }
    return samples;
}

// The first line of each file's report, in argument order.
// Each file's report, whole: the lines from one "Done!" or "Failed to ..." line to the next.
std::vector<std::string> outcomes(const std::string &out) {
    std::vector<std::string> reports;
    std::istringstream lines(out.substr(std::min(out.size(), support::banner.size())));
    for (std::string line; std::getline(lines, line);) {
        if (line == "Done!" || line.rfind("Failed to ", 0) == 0 || reports.empty())
            reports.emplace_back();
        reports.back() += line + "\n";
    }
    return reports;
}

TEST(PngSuite, ValidImagesConvertExactlyAndCorruptOnesWriteNothing) {
    const std::filesystem::path suite = OSTRELLE_PNGSUITE;
    if (!std::filesystem::is_directory(suite / "png") ||
        !std::filesystem::is_directory(suite / "json"))
        GTEST_SKIP() << "PngSuite is not at " << suite.string();

    support::TempDir dir;
    std::vector<std::string> names;
    for (const std::filesystem::directory_entry &e :
         std::filesystem::directory_iterator(suite / "png"))
        if (e.path().extension() == ".png") {
            names.push_back(e.path().filename().string());
            std::filesystem::copy_file(e.path(), dir.path / names.back());
        }
    std::sort(names.begin(), names.end());
    const support::Run run = support::runOstrelle(names, dir.path, {{}, -1, false, 120});
    const std::vector<std::string> said = outcomes(run.out);
    ASSERT_EQ(said.size(), names.size()) << run.out;

    int valid = 0, exact = 0, corrupt = 0, refused = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string stem = names[i].substr(0, names[i].size() - 4);
        const std::filesystem::path tgaPath = dir.path / (stem + ".tga");
        if (stem[0] == 'x') {
            ++corrupt;
            // Bad values the library finds itself; broken chunks, which libpng finds for it.
            const bool value = stem == "xcrn0g04" || stem == "xlfn0g04" || stem.rfind("xs", 0) == 0;
            const std::string report = value ? support::failed(true, 1285, "invalid value")
                                             : support::failed(true, 1507, "png library error");
            const bool ok = said[i] == report && !std::filesystem::exists(tgaPath);
            refused += ok;
            EXPECT_TRUE(ok) << names[i] << ": " << said[i];
            continue;
        }
        ++valid;
        const support::Tga tga = support::readTga(tgaPath);
        // The size comes from the output: a wrong size shows as a wrong number of samples.
        const support::Image want{tga.image.width, tga.image.height,
                                  reference(suite / "json" / (stem + ".json"),
                                            support::readFile(dir.path / names[i])[24] == 16)};
        const std::size_t wrong = support::differingPixels(tga.image, want);
        exact += said[i] == support::done && tga.ok && wrong == 0;
        EXPECT_EQ(said[i], support::done) << names[i];
        EXPECT_TRUE(tga.ok) << names[i] << ": " << tga.why;
        EXPECT_EQ(wrong, 0u) << names[i];
    }
    std::cout << exact << " of " << valid << " valid images exact, " << refused << " of " << corrupt
              << " corrupt ones refused\n";
    // A partial copy of the set would pass unnoticed otherwise.
    EXPECT_EQ(valid, 161);
    EXPECT_EQ(corrupt, 14);
}

} // namespace
