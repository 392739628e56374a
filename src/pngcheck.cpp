#include "pngcheck.h"

#include <IL/il.h>

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

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

// Reads a file front to back through one buffer. Chunk data is passed over inside the buffer, and
// only data longer than the buffer is skipped with a seek, so a file of millions of tiny chunks
// costs a read per 64 KiB, not a system call per chunk.
struct Reader {
    int fd;
    unsigned char buffer[65536];
    std::size_t at = 0, end = 0;

    bool fill() {
        std::memmove(buffer, buffer + at, end - at);
        end -= at;
        at = 0;
#ifdef _WIN32
        const int n = _read(fd, buffer + end, static_cast<unsigned>(sizeof buffer - end));
#else
        const ssize_t n = read(fd, buffer + end, sizeof buffer - end);
#endif
        if (n <= 0)
            return false;
        end += static_cast<std::size_t>(n);
        return true;
    }
    // Points to the next size bytes, or null at the end of the file.
    const unsigned char *take(std::size_t size) {
        while (end - at < size)
            if (!fill())
                return nullptr;
        at += size;
        return buffer + at - size;
    }
    // Passes over size bytes; false when the file ends before them.
    bool skip(std::uint64_t size) {
        if (size <= end - at) {
            at += static_cast<std::size_t>(size);
            return true;
        }
        size -= end - at;
        at = end = 0;
#ifdef _WIN32
        const __int64 here = _lseeki64(fd, 0, SEEK_CUR), last = _lseeki64(fd, 0, SEEK_END);
        if (here < 0 || last < 0 || static_cast<std::uint64_t>(last - here) < size)
            return false;
        return _lseeki64(fd, here + static_cast<__int64>(size), SEEK_SET) >= 0;
#else
        // The size from a seek: a confined worker may not ask the file system about a file.
        const off_t here = lseek(fd, 0, SEEK_CUR), last = lseek(fd, 0, SEEK_END);
        if (here < 0 || last < 0 || static_cast<std::uint64_t>(last - here) < size)
            return false;
        return lseek(fd, here + static_cast<off_t>(size), SEEK_SET) >= 0;
#endif
    }
};

PngProblem problem(int code, TextId text, std::uint32_t width = 0, std::uint32_t height = 0) {
    return PngProblem{true, code, text, width, height};
}

PngProblem truncated() { return problem(IL_FILE_READ_ERROR, TextId::Truncated); }

} // namespace

PngProblem checkPngDescriptor(int fd) {
    auto reader = std::make_unique<Reader>();
    reader->fd = fd;
    const unsigned char *head = reader->take(sizeof signature);
    if (head == nullptr || std::memcmp(head, signature, sizeof signature) != 0)
        return {};

    for (bool first = true;; first = false) {
        // Each chunk is length, type, data and a 4-byte CRC; the data is only read for IHDR.
        const unsigned char *chunk = reader->take(8);
        if (chunk == nullptr)
            return truncated();
        const std::uint32_t length = bigEndian32(chunk);
        const bool isIhdr = std::memcmp(chunk + 4, "IHDR", 4) == 0;
        const bool isIend = std::memcmp(chunk + 4, "IEND", 4) == 0;
        if (first != isIhdr || (isIhdr && length != 13))
            return problem(IL_INVALID_FILE_HEADER, TextId::HeaderMisplaced);
        if (length > maxPngValue)
            return problem(IL_INVALID_FILE_HEADER, TextId::ImpossibleLength);

        if (isIhdr) {
            const unsigned char *ihdr = reader->take(13);
            if (ihdr == nullptr)
                return truncated();
            const std::uint32_t width = bigEndian32(ihdr), height = bigEndian32(ihdr + 4);
            // Whatever the colour type, the library may widen a pixel to four samples. Dividing
            // instead of multiplying keeps the test itself from wrapping.
            const std::uint64_t bytesPerPixel = ihdr[8] == 16 ? 8 : 4;
            if (width == 0 || height == 0 || width > maxPngValue || height > maxPngValue)
                return problem(IL_BAD_DIMENSIONS, TextId::ImpossibleSize, width, height);
            if (width * bytesPerPixel > (maxPixelBytes - 1) / height)
                return problem(IL_BAD_DIMENSIONS, TextId::TooLarge, width, height);
            if (!reader->skip(4))
                return truncated();
        } else if (!reader->skip(std::uint64_t{length} + 4)) {
            return truncated();
        }
        if (isIend)
            return problem(0, TextId::Library);
    }
}
