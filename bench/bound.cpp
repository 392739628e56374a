// The lower bound the benchmark compares against: libpng decodes each file straight into the
// byte order a TGA stores, and the pixels go out in one write behind an 18-byte header.
//
// usage: ostrelle_bound FILE...   (writes each FILE's name with its last three bytes as "tga")
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Converts one file; prints why on stderr and returns false when it cannot.
bool convert(const std::string &path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), image.message);
        return false;
    }
    const bool alpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    const bool gray = (image.format & PNG_FORMAT_FLAG_COLOR) == 0;
    // The layouts the program writes: opaque gray stays one byte (type 3); everything else,
    // palettes included, becomes BGR or BGRA (type 2).
    std::uint8_t type = 2;
    if (gray && !alpha) {
        type = 3;
        image.format = PNG_FORMAT_GRAY;
    } else {
        image.format = alpha ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
    }
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), image.message);
        png_image_free(&image);
        return false;
    }

    const unsigned depth = PNG_IMAGE_PIXEL_SIZE(image.format) * 8;
    const std::uint8_t header[18] = {
        0, 0, type, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(image.width),
        static_cast<std::uint8_t>(image.width >> 8), static_cast<std::uint8_t>(image.height),
        static_cast<std::uint8_t>(image.height >> 8), static_cast<std::uint8_t>(depth),
        // Rows are stored top first, so no flip is needed; the low bits count alpha bits.
        static_cast<std::uint8_t>(0x20 | (alpha ? 8 : 0))};
    const std::string out =
        path.size() < 3 ? path + ".tga" : path.substr(0, path.size() - 3) + "tga";
    FILE *file = std::fopen(out.c_str(), "wb");
    bool ok = file != nullptr && std::fwrite(header, 1, sizeof header, file) == sizeof header &&
              std::fwrite(pixels.data(), 1, pixels.size(), file) == pixels.size();
    if (file != nullptr)
        ok = std::fclose(file) == 0 && ok;
    if (!ok)
        std::fprintf(stderr, "%s: cannot write\n", out.c_str());
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    int failures = 0;
    for (int i = 1; i < argc; ++i)
        failures += convert(argv[i]) ? 0 : 1;
    return failures == 0 ? 0 : 1;
}
