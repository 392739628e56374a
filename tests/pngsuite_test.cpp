// PngSuite, when it is there: every valid image converts exactly, every corrupt one is refused.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <sstream>

#ifndef OSTRELLE_PNGSUITE
#error "OSTRELLE_PNGSUITE must name the PngSuite folder"
#endif

namespace {

namespace fs = std::filesystem;

// The flat [r,g,b,a, ...] array of a reference file; 16-bit images keep their high byte, which is
// the rule for every image (the `_to8` files of the 16-bit gray ones round instead, so they are not
// used).
support::Image reference(const fs::path &json, const fs::path &png) {
    const std::string header = support::readFile(png);
    const int shift = header.size() > 24 && header[24] == 16 ? 8 : 0;
    std::ifstream in(json);
    std::stringstream text;
    text << in.rdbuf();
    support::Image image;
    long value = -1;
    for (char c : text.str() + ",") {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            value = (value < 0 ? 0 : value * 10) + (c - '0');
        } else if (value >= 0) {
            image.rgba.push_back(static_cast<std::uint8_t>(value >> shift));
            value = -1;
        }
    }
    // Width and height from the PNG header, big-endian.
    auto be32 = [&header](std::size_t at) {
        int v = 0;
        for (std::size_t i = at; i < at + 4; ++i)
            v = v << 8 | static_cast<unsigned char>(header[i]);
        return v;
    };
    if (header.size() > 24) {
        image.width = be32(16);
        image.height = be32(20);
    }
    return image;
}

// The first line of each file's report, in argument order.
std::vector<std::string> outcomes(const std::string &out) {
    std::vector<std::string> firstLines;
    std::istringstream lines(out.substr(std::min(out.size(), support::banner.size())));
    for (std::string line; std::getline(lines, line);)
        if (line == "Done!" || line.rfind("Failed to ", 0) == 0)
            firstLines.push_back(line);
    return firstLines;
}

TEST(PngSuite, ValidImagesConvertExactlyAndCorruptOnesWriteNothing) {
    const fs::path suite = OSTRELLE_PNGSUITE;
    if (!fs::is_directory(suite / "png") || !fs::is_directory(suite / "json"))
        GTEST_SKIP() << "PngSuite is not at " << suite.string();

    support::TempDir dir;
    std::vector<std::string> names;
    for (const fs::directory_entry &e : fs::directory_iterator(suite / "png"))
        if (e.path().extension() == ".png") {
            names.push_back(e.path().filename().string());
            fs::copy_file(e.path(), dir.path / names.back());
        }
    std::sort(names.begin(), names.end());
    const support::Run run = support::runOstrelle(names, dir.path, {{}, -1, false, 120});
    const std::vector<std::string> said = outcomes(run.out);
    ASSERT_EQ(said.size(), names.size()) << run.out;

    int valid = 0, exact = 0, corrupt = 0, refused = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string stem = names[i].substr(0, names[i].size() - 4);
        const fs::path tgaPath = dir.path / (stem + ".tga");
        if (stem[0] == 'x') {
            ++corrupt;
            const bool ok = said[i] == "Failed to load:" && !fs::exists(tgaPath);
            refused += ok;
            EXPECT_TRUE(ok) << names[i] << ": " << said[i];
            continue;
        }
        ++valid;
        const support::Tga tga = support::readTga(tgaPath);
        const std::size_t wrong = support::differingPixels(
            tga.image, reference(suite / "json" / (stem + ".json"), dir.path / names[i]));
        exact += said[i] == "Done!" && tga.ok && wrong == 0;
        EXPECT_EQ(said[i], "Done!") << names[i];
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
