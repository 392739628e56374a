#include "tga.h"

#include <cstring>

namespace {

unsigned le16(const std::uint8_t *p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); }

// True for a header the writer makes from a prepared image: true colour 24 or 32, or gray 8,
// uncompressed, no colour map.
bool knownHeader(const std::uint8_t header[18]) {
    const unsigned type = header[2], depth = header[16];
    return header[1] == 0 &&
           ((type == 2 && (depth == 24 || depth == 32)) || (type == 3 && depth == 8));
}

} // namespace

bool mendTgaHeader(std::uint8_t header[18], std::uint64_t size, std::uint64_t &end) {
    if (size < 18 || !knownHeader(header))
        return false;
    end = 18u + header[0] + std::uint64_t{le16(header + 12)} * le16(header + 14) * header[16] / 8;
    if (size < end)
        return false;
    // The writer leaves stray bytes in the origin and no alpha count in the descriptor; its
    // rows run bottom-up, which is descriptor bits 4 and 5 clear. Its extension area is
    // malformed and its footer lacks the final NUL: both go.
    std::memset(header + 8, 0, 4);
    header[17] = header[16] == 32 ? 8 : 0;
    return true;
}

std::string tgaFooter() {
    // Offsets 0 say "new format, nothing extra", so readers take the alpha from the descriptor.
    static const char footer[] = "\0\0\0\0\0\0\0\0TRUEVISION-XFILE.";
    return std::string(footer, sizeof footer); // the final NUL included
}
