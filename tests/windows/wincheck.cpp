// The Linux side of the Windows download's check under wine: writes the files the run needs and
// judges the TGA files the Windows program wrote, with the tests' own strict reader.
//   wincheck files DIR          writes DIR/good.png, DIR/crash.ico and DIR/linear.ico
//   wincheck compare PNG TGA    exits 0 when TGA holds exactly PNG's pixels in the program's
//   profile
#include "pngdecode.h"
#include "support.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

// An uncompressed true-colour or gray TGA as any reader takes it, honouring its origin bits:
// what the library's own writer makes, which the strict reader of the program's output refuses.
support::Tga readAnyTga(const char *path) {
    support::Tga t;
    const std::string b = support::readFile(path);
    const auto byte = [&b](std::size_t at) { return static_cast<unsigned char>(b[at]); };
    if (b.size() < 18 || byte(1) != 0 || (byte(2) != 2 && byte(2) != 3)) {
        t.why = "not an uncompressed TGA without colour map";
        return t;
    }
    const int width = byte(12) | byte(13) << 8, height = byte(14) | byte(15) << 8;
    const std::size_t depth = byte(16) / 8, at = 18u + byte(0);
    if (b.size() <
        at + depth * static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
        t.why = "pixels missing";
        return t;
    }
    t.image = {width, height, std::vector<std::uint8_t>(4u * width * height)};
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            const int y = (byte(17) & 0x20) != 0 ? row : height - 1 - row;
            const int x = (byte(17) & 0x10) != 0 ? width - 1 - col : col;
            const std::size_t from = at + depth * static_cast<std::size_t>(row * width + col);
            std::uint8_t *to = &t.image.rgba[4u * static_cast<std::size_t>(y * width + x)];
            to[0] = byte(from + (depth == 1 ? 0 : 2));
            to[1] = byte(from + (depth == 1 ? 0 : 1));
            to[2] = byte(from);
            to[3] = depth == 4 ? byte(from + 3) : 255;
        }
    t.ok = true;
    return t;
}

// Why tgaPath is not an exact conversion of pngPath, in the program's profile when `profile`, or
// "" when it is.
std::string mismatch(const char *pngPath, const char *tgaPath, bool profile) {
    const support::Tga tga = profile ? support::readTga(tgaPath) : readAnyTga(tgaPath);
    if (!tga.ok)
        return "unreadable: " + tga.why;
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
        if (!support::writeFile(dir / "good.png", support::rgbaPng(support::pattern(3, 2, true))))
            return 1;
        // An icon may hold a PNG, which then reaches the library's PNG reader without the
        // program's PNG check. 32768x32768 RGBA is 2^32 bytes, so the icon reader's 32-bit size
        // wraps to an empty buffer and the rows land hundreds of MiB past it. (The tests' 16-bit
        // file of 23171x23171 stops at a libpng error with the libpng inside the Windows DLL.)
        const std::string wrap =
            support::png(32768, 32768, 8, 6, std::string(512 * (32768 * 4 + 1), '\0'));
        // The good picture as an icon whose PNG says its samples are linear: loaded as stored,
        // it converts to the same pixels.
        const std::string bytes = support::readFile(dir / "good.png");
        const std::string linear = bytes.substr(0, 33) +
                                   support::chunk("gAMA", std::string("\0\1\x86\xa0", 4)) +
                                   bytes.substr(33);
        return support::writeFile(dir / "crash.ico", support::ico(wrap)) &&
                       support::writeFile(dir / "linear.ico", support::ico(linear))
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
