#include "pngcheck.h"

#include <IL/il.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// The library sizes its pixel buffer in 32 bits and overflows the heap when width x height x
// bytes per pixel wraps; keeping the product below 2^31 also keeps clear of its signed sizes.
const std::uint64_t maxPixelBytes = std::uint64_t{1} << 31;

// The PNG format itself caps chunk lengths and sides at 2^31 - 1.
const std::uint32_t maxPngValue = 0x7fffffffu;

std::uint32_t bigEndian32(const unsigned char *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

// Large-file seeks: PNG files past 2 GiB are rare but valid, and long is 32 bits on Windows.
bool seekTo(std::FILE *file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool sizeOf(std::FILE *file, std::uint64_t &size) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0)
        return false;
    const __int64 end = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0)
        return false;
    const off_t end = ftello(file);
#endif
    if (end < 0)
        return false;
    size = static_cast<std::uint64_t>(end);
    return seekTo(file, 0);
}

PngProblem problem(int code, std::string text) { return PngProblem{code, std::move(text)}; }

PngProblem truncated() { return problem(IL_FILE_READ_ERROR, "file is truncated"); }

} // namespace

PngProblem checkPngStream(std::FILE *file) {
    unsigned char head[8];
    if (std::fread(head, 1, sizeof head, file) != sizeof head ||
        std::memcmp(head, signature, sizeof signature) != 0)
        return {};

    std::uint64_t size = 0;
    if (!sizeOf(file, size))
        return problem(IL_FILE_READ_ERROR, "file cannot be read");

    std::uint64_t at = sizeof signature;
    bool first = true;
    for (;;) {
        // Each chunk is length, type, data and a 4-byte CRC; the data is only read for IHDR.
        unsigned char chunk[8];
        if (size - at < sizeof chunk || !seekTo(file, at) ||
            std::fread(chunk, 1, sizeof chunk, file) != sizeof chunk)
            return truncated();
        const std::uint32_t length = bigEndian32(chunk);
        const bool isIhdr = std::memcmp(chunk + 4, "IHDR", 4) == 0;
        if (first != isIhdr || (isIhdr && length != 13))
            return problem(IL_INVALID_FILE_HEADER, "the PNG header chunk is missing or misplaced");
        if (length > maxPngValue)
            return problem(IL_INVALID_FILE_HEADER, "a chunk declares an impossible length");
        if (size - at - sizeof chunk < std::uint64_t{length} + 4)
            return truncated();

        if (isIhdr) {
            unsigned char ihdr[13];
            if (std::fread(ihdr, 1, sizeof ihdr, file) != sizeof ihdr)
                return truncated();
            const std::uint32_t width = bigEndian32(ihdr), height = bigEndian32(ihdr + 4);
            // Whatever the colour type, the library may widen a pixel to four samples.
            const std::uint64_t bytesPerPixel = ihdr[8] == 16 ? 8 : 4;
            if (width == 0 || height == 0 || width > maxPngValue || height > maxPngValue)
                return problem(IL_BAD_DIMENSIONS,
                               "impossible image size: " + std::to_string(width) + "x" +
                                   std::to_string(height));
            if (std::uint64_t{width} * height * bytesPerPixel >= maxPixelBytes)
                return problem(IL_BAD_DIMENSIONS, "image too large: " + std::to_string(width) +
                                                      "x" + std::to_string(height));
        }
        if (std::memcmp(chunk + 4, "IEND", 4) == 0)
            return {};
        at += sizeof chunk + std::uint64_t{length} + 4;
        first = false;
    }
}

PngProblem checkPngFile(const char *path) {
    // Opening a named pipe would block this process; such paths, and paths that cannot be opened,
    // are left to the library, which runs where it may hang and reports in its own words.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return {};
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr)
        return {};
    PngProblem result = checkPngStream(file);
    std::fclose(file);
    return result;
}
