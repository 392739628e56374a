// Writes a class of benchmark PNGs: smooth shading, hard edges and a little grain, so that they
// compress about as well as photographs and textures do. The same arguments give the same files.
//
// usage: ostrelle_make_corpus DIR PREFIX COUNT WIDTH HEIGHT KIND
//   KIND: rgb, rgba, rgb16, rgba16, gray, graya, palette
#include <png.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Kind {
    const char *name;
    int colorType;
    int channels; // samples per pixel as stored in the file
    int bitDepth;
};

const Kind kinds[] = {
    {"rgb", PNG_COLOR_TYPE_RGB, 3, 8},         {"rgba", PNG_COLOR_TYPE_RGB_ALPHA, 4, 8},
    {"rgb16", PNG_COLOR_TYPE_RGB, 3, 16},      {"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 4, 16},
    {"gray", PNG_COLOR_TYPE_GRAY, 1, 8},       {"graya", PNG_COLOR_TYPE_GRAY_ALPHA, 2, 8},
    {"palette", PNG_COLOR_TYPE_PALETTE, 1, 8},
};

// A fixed-seed generator, so that the corpus is the same on every machine.
struct Random {
    std::uint64_t state;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<std::uint32_t>(state >> 32);
    }
    double unit() { return next() / 4294967296.0; }
};

// One image's scene: separable waves per channel (cheap enough for 8000x6000) plus rectangles.
struct Scene {
    int width, height;
    std::vector<float> colWave[4], rowWave[4];
    struct Box {
        int x0, y0, x1, y1;
        float value[4];
    };
    std::vector<Box> boxes;
};

Scene makeScene(int width, int height, Random &rnd) {
    Scene s{width, height, {}, {}, {}};
    for (int c = 0; c < 4; ++c) {
        s.colWave[c].resize(static_cast<size_t>(width));
        s.rowWave[c].resize(static_cast<size_t>(height));
        const double fx = 1 + 6 * rnd.unit(), fy = 1 + 6 * rnd.unit();
        const double px = 6.3 * rnd.unit(), py = 6.3 * rnd.unit();
        for (int x = 0; x < width; ++x)
            s.colWave[c][static_cast<size_t>(x)] =
                static_cast<float>(60 * std::sin(fx * 6.283 * x / width + px) + 30.0 * x / width);
        for (int y = 0; y < height; ++y)
            s.rowWave[c][static_cast<size_t>(y)] =
                static_cast<float>(60 * std::sin(fy * 6.283 * y / height + py) + 128);
    }
    const int boxCount = 4 + static_cast<int>(rnd.next() % 12);
    for (int i = 0; i < boxCount; ++i) {
        Scene::Box b{};
        b.x0 = static_cast<int>(rnd.next() % static_cast<unsigned>(width));
        b.y0 = static_cast<int>(rnd.next() % static_cast<unsigned>(height));
        b.x1 = b.x0 + 1 + static_cast<int>(rnd.next() % static_cast<unsigned>(width / 3 + 1));
        b.y1 = b.y0 + 1 + static_cast<int>(rnd.next() % static_cast<unsigned>(height / 3 + 1));
        for (float &v : b.value)
            v = static_cast<float>(rnd.unit() * 160 - 80);
        s.boxes.push_back(b);
    }
    return s;
}

// Channel c of pixel (x, y) on a 0..255 scale, before grain.
float shade(const Scene &s, int c, int x, int y) {
    float v = s.colWave[c][static_cast<size_t>(x)] + s.rowWave[c][static_cast<size_t>(y)];
    for (const Scene::Box &b : s.boxes)
        if (x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1)
            v += b.value[c];
    return v;
}

int clampByte(float v) { return v < 0 ? 0 : v > 255 ? 255 : static_cast<int>(v); }

// Alpha is opaque over most of the picture, with soft and hard transparent regions as in textures.
int alphaAt(const Scene &s, int x, int y) {
    const float v = shade(s, 3, x, y);
    return v > 150 ? 255 : clampByte(v * 1.7f);
}

// Fills one row of samples as libpng expects them for the kind (16-bit big-endian).
void fillRow(const Kind &kind, const Scene &s, int y, Random &rnd, std::vector<png_byte> &row) {
    size_t at = 0;
    auto put = [&](int value8, int fine) {
        if (kind.bitDepth == 16) {
            const int v = value8 * 256 + fine;
            row[at++] = static_cast<png_byte>(v >> 8);
            row[at++] = static_cast<png_byte>(v & 0xff);
        } else {
            row[at++] = static_cast<png_byte>(value8);
        }
    };
    for (int x = 0; x < s.width; ++x) {
        const int grain = static_cast<int>(rnd.next() % 7) - 3;
        const int fine = static_cast<int>(rnd.next() & 0xff);
        if (kind.colorType == PNG_COLOR_TYPE_PALETTE) {
            // Posterised, as palette images usually are: flat areas with steps between them.
            put((clampByte(shade(s, 0, x, y)) & 0xf0) | (clampByte(shade(s, 1, x, y)) >> 4), 0);
            continue;
        }
        const int colours = kind.channels >= 3 ? 3 : 1;
        for (int c = 0; c < colours; ++c)
            put(clampByte(shade(s, c, x, y) + static_cast<float>(grain)), fine);
        if (kind.channels == 2 || kind.channels == 4)
            put(alphaAt(s, x, y), fine);
    }
}

bool writeImage(const std::string &path, const Kind &kind, int width, int height, Random &rnd) {
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                 kind.bitDepth, kind.colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // Deep images usually come from editors that tag them as sRGB; without the tag readers
    // must guess whether 16-bit samples are linear, and they guess differently.
    if (kind.bitDepth == 16)
        png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    Scene scene = makeScene(width, height, rnd);
    if (kind.colorType == PNG_COLOR_TYPE_PALETTE) {
        png_color palette[256];
        for (int i = 0; i < 256; ++i)
            palette[i] = {static_cast<png_byte>(i & 0xf0), static_cast<png_byte>((i & 0x0f) << 4),
                          static_cast<png_byte>(255 - i)};
        png_set_PLTE(png, info, palette, 256);
    }
    png_write_info(png, info);
    std::vector<png_byte> row(static_cast<size_t>(width) * static_cast<size_t>(kind.channels) *
                              static_cast<size_t>(kind.bitDepth / 8));
    for (int y = 0; y < height; ++y) {
        fillRow(kind, scene, y, rnd, row);
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s DIR PREFIX COUNT WIDTH HEIGHT KIND\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1], prefix = argv[2];
    const int count = std::atoi(argv[3]), width = std::atoi(argv[4]), height = std::atoi(argv[5]);
    const Kind *kind = nullptr;
    for (const Kind &k : kinds)
        if (std::strcmp(k.name, argv[6]) == 0)
            kind = &k;
    if (kind == nullptr || count < 1 || width < 1 || height < 1) {
        std::fprintf(stderr, "%s: bad arguments\n", argv[0]);
        return 2;
    }
    // Seeded by the class (FNV-1a of its name), so adding a class leaves the others' files alone.
    std::uint64_t seed = 0xcbf29ce484222325ull;
    for (char ch : prefix + argv[6])
        seed = (seed ^ static_cast<unsigned char>(ch)) * 0x100000001b3ull;
    Random rnd{seed | 1};
    for (int i = 0; i < count; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%04d", i);
        const std::string path = dir + "/" + prefix + number + ".png";
        if (!writeImage(path, *kind, width, height, rnd)) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
            return 1;
        }
    }
    return 0;
}
