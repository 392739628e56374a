#include "tga.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// Offsets 0 say "new format, nothing extra", so readers take the alpha from the descriptor.
const std::uint8_t footer[26] = {0,   0,   0,   0,   0,   0,   0,   0,   'T', 'R', 'U', 'E', 'V',
                                 'I', 'S', 'I', 'O', 'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};

unsigned le16(const std::uint8_t *p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); }

// Reads the header; true when it is one the writer makes from a prepared image: true colour 24 or
// 32, or gray 8, uncompressed, no colour map.
bool readHeader(std::FILE *f, std::uint8_t header[18]) {
    if (std::fread(header, 1, 18, f) != 18 || header[1] != 0)
        return false;
    const unsigned type = header[2], depth = header[16];
    return (type == 2 && (depth == 24 || depth == 32)) || (type == 3 && depth == 8);
}

} // namespace

bool finishTga(const std::string &path) {
    std::uint8_t header[18] = {};
    std::FILE *f = std::fopen(path.c_str(), "r+b");
    if (f == nullptr)
        return false;
    bool ok = readHeader(f, header);
    const std::uintmax_t end =
        18u + header[0] + std::uintmax_t{le16(header + 12)} * le16(header + 14) * header[16] / 8;
    std::error_code ec;
    ok = ok && std::filesystem::file_size(std::filesystem::u8path(path), ec) >= end && !ec;
    if (ok) {
        // The writer leaves stray bytes in the origin and no alpha count in the descriptor; its
        // rows run bottom-up, which is descriptor bits 4 and 5 clear.
        std::memset(header + 8, 0, 4);
        header[17] = header[16] == 32 ? 8 : 0;
        ok = std::fseek(f, 0, SEEK_SET) == 0 && std::fwrite(header, 1, 18, f) == 18;
    }
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        return false;

    // The writer's extension area is malformed and its footer lacks the final NUL: both go.
    std::filesystem::resize_file(std::filesystem::u8path(path), end, ec);
    if (ec)
        return false;
    f = std::fopen(path.c_str(), "ab");
    if (f == nullptr)
        return false;
    ok = std::fwrite(footer, 1, sizeof footer, f) == sizeof footer;
    return std::fclose(f) == 0 && ok;
}
