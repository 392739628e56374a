// The TGA files hold the source's pixels, right way up and in the right channels, whatever sample
// layout the PNG had: the writer's colour order, row order and depth reduction are all on this
// path.
#include "support.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using support::Image;

struct Layout {
    const char *name;
    int colorType;
    int bitDepth;
};

const Layout layouts[] = {
    {"rgb8", PNG_COLOR_TYPE_RGB, 8},   {"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8},
    {"rgb16", PNG_COLOR_TYPE_RGB, 16}, {"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16},
    {"gray8", PNG_COLOR_TYPE_GRAY, 8},
};

bool hasAlpha(const Layout &l) { return (l.colorType & PNG_COLOR_MASK_ALPHA) != 0; }
bool isGray(const Layout &l) { return (l.colorType & PNG_COLOR_MASK_COLOR) == 0; }

// PNG rows of the picture in the layout. 16-bit samples carry a low byte that differs from the
// high one, so that a reader which keeps the wrong byte shows up.
std::vector<std::uint8_t> rowsFor(const Image &picture, const Layout &l) {
    std::vector<std::uint8_t> rows;
    auto put = [&](std::uint8_t v) {
        rows.push_back(v);
        if (l.bitDepth == 16)
            rows.push_back(static_cast<std::uint8_t>(v ^ 0xa5));
    };
    for (std::size_t i = 0; i < picture.rgba.size(); i += 4) {
        if (isGray(l)) {
            put(picture.rgba[i]);
            continue;
        }
        for (std::size_t c = 0; c < 3; ++c)
            put(picture.rgba[i + c]);
        if (hasAlpha(l))
            put(picture.rgba[i + 3]);
    }
    return rows;
}

// What a faithful TGA of the layout decodes to.
Image expectedFor(const Image &picture, const Layout &l) {
    Image want = picture;
    for (std::size_t i = 0; i < want.rgba.size(); i += 4) {
        if (isGray(l))
            want.rgba[i + 1] = want.rgba[i + 2] = want.rgba[i];
        if (!hasAlpha(l))
            want.rgba[i + 3] = 255;
    }
    return want;
}

// Checks one converted file against its source picture.
void expectSamePixels(const std::filesystem::path &tga, const Image &want,
                      const std::string &what) {
    const support::Tga got = support::readTga(tga);
    ASSERT_TRUE(got.ok) << what << ": " << got.why;
    ASSERT_EQ(got.image.width, want.width) << what;
    ASSERT_EQ(got.image.height, want.height) << what;
    for (std::size_t i = 0; i < want.rgba.size(); ++i)
        if (got.image.rgba[i] != want.rgba[i]) {
            const std::size_t pixel = i / 4;
            ADD_FAILURE() << what << ": pixel (" << pixel % static_cast<std::size_t>(want.width)
                          << ", " << pixel / static_cast<std::size_t>(want.width) << ") channel "
                          << i % 4 << " is " << int{got.image.rgba[i]} << ", not "
                          << int{want.rgba[i]};
            return;
        }
}

// Every layout in one run, twice over and interleaved, so that whatever the library keeps from
// one file (a converted format, an origin) must not spoil the next one.
TEST(Layouts, EachFileOfARunKeepsItsPixels) {
    support::TempDir dir;
    // Odd sizes and a different size per file: a row order or stride slip cannot cancel out.
    std::vector<std::string> args;
    std::vector<std::pair<std::string, Image>> wanted;
    for (int round = 0; round < 2; ++round)
        for (const Layout &l : layouts) {
            const int width = 7 + 2 * round, height = 5 + static_cast<int>(args.size());
            const Image picture = support::pattern(width, height, true);
            const std::string name = std::string(l.name) + "-" + std::to_string(round) + ".png";
            ASSERT_TRUE(support::writeRawPng(dir.path / name, width, height, l.colorType,
                                             l.bitDepth, rowsFor(picture, l)));
            args.push_back(name);
            wanted.emplace_back(name.substr(0, name.size() - 3) + "tga", expectedFor(picture, l));
        }

    const support::Run run = support::runOstrelle(args, dir.path);
    ASSERT_EQ(run.status, 0) << run.out;
    for (const auto &[tga, want] : wanted)
        expectSamePixels(dir.path / tga, want, tga);
}

// Colour stays colour with its alpha: nothing is dropped to make the writer's job easier.
TEST(Layouts, DepthFollowsTheSource) {
    support::TempDir dir;
    std::vector<std::string> args;
    for (const Layout &l : layouts) {
        const Image picture = support::pattern(4, 3, true);
        const std::string name = std::string(l.name) + ".png";
        ASSERT_TRUE(support::writeRawPng(dir.path / name, 4, 3, l.colorType, l.bitDepth,
                                         rowsFor(picture, l)));
        args.push_back(name);
    }
    ASSERT_EQ(support::runOstrelle(args, dir.path).status, 0);
    for (const Layout &l : layouts) {
        const support::Tga got = support::readTga(dir.path / (std::string(l.name) + ".tga"));
        ASSERT_TRUE(got.ok) << l.name << ": " << got.why;
        EXPECT_EQ(got.pixelDepth, isGray(l) ? 8 : hasAlpha(l) ? 32 : 24) << l.name;
    }
}

} // namespace
