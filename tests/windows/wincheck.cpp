// The Linux side of the Windows download's check under wine: writes the files the run needs and
// judges the TGA files the Windows program wrote, with the tests' own strict reader.
//   wincheck files DIR          writes DIR/good.png, DIR/crash.ico and DIR/linear.ico
//   wincheck compare PNG TGA    exits 0 when TGA holds exactly PNG's pixels in the program's
//   profile
#include "pngbytes.h"
#include "support.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

// The PNG's pixels as 8-bit RGBA by libpng alone: no gamma or colour handling, 16-bit by high byte.
support::Image decodePng(const char *path) {
    support::Image image;
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return image;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        return {};
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    image.width = static_cast<int>(png_get_image_width(png, info));
    image.height = static_cast<int>(png_get_image_height(png, info));
    const std::size_t stride = static_cast<std::size_t>(image.width) * 4;
    image.rgba.resize(stride * static_cast<std::size_t>(image.height));
    // Row by row, so that no object is made between setjmp and a longjmp out of libpng.
    for (int pass = 0; pass < passes; ++pass)
        for (std::size_t y = 0; y < static_cast<std::size_t>(image.height); ++y)
            png_read_row(png, image.rgba.data() + y * stride, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return image;
}

// Why tgaPath is not an exact conversion of pngPath, in the program's profile when `profile`, or
// "" when it is.
std::string mismatch(const char *pngPath, const char *tgaPath, bool profile) {
    const support::Tga tga = support::readTga(tgaPath);
    std::string problem = tga.ok ? "" : "unreadable: " + tga.why;
    if (profile)
        problem = support::profileProblem(tgaPath, tga);
    if (!problem.empty())
        return problem;
    const support::Image want = decodePng(pngPath);
    if (want.rgba.empty())
        return "libpng cannot read the reference";
    const std::size_t wrong = support::differingPixels(tga.image, want);
    return wrong == 0 ? "" : std::to_string(wrong) + " pixels differ";
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "files") == 0) {
        const std::filesystem::path dir = argv[2];
        if (!support::writeRgbaPng(dir / "good.png", support::pattern(3, 2, true)))
            return 1;
        // An icon may hold a PNG, which then reaches the library's PNG reader without the
        // program's PNG check. 32768x32768 RGBA is 2^32 bytes, so the icon reader's 32-bit size
        // wraps to an empty buffer and the rows land hundreds of MiB past it. (The tests' 16-bit
        // file of 23171x23171 stops at a libpng error with the libpng inside the Windows DLL.)
        const std::string wrap = pngbytes::png(32768, 32768, 8, 6, 512, 32768 * 4);
        // The good picture as an icon whose PNG says its samples are linear: loaded as stored,
        // it converts to the same pixels.
        const std::vector<std::uint8_t> good = support::readFile(dir / "good.png");
        const std::string bytes(good.begin(), good.end());
        const std::string linear = bytes.substr(0, 33) +
                                   pngbytes::chunk("gAMA", std::string("\0\1\x86\xa0", 4)) +
                                   bytes.substr(33);
        return pngbytes::write(dir / "crash.ico", pngbytes::ico(wrap)) &&
                       pngbytes::write(dir / "linear.ico", pngbytes::ico(linear))
                   ? 0
                   : 1;
    }
    const bool profile = argc == 4 && std::strcmp(argv[1], "compare") == 0;
    if (profile || (argc == 4 && std::strcmp(argv[1], "pixels") == 0)) {
        const std::string why = mismatch(argv[2], argv[3], profile);
        if (!why.empty())
            std::cout << argv[3] << ": " << why << "\n";
        return why.empty() ? 0 : 1;
    }
    std::cerr << "usage: wincheck files DIR | wincheck compare|pixels PNG TGA\n";
    return 2;
}
