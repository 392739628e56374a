#include "tga.h"

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Offsets 0 say "new format, nothing extra", so readers take the alpha from the descriptor.
const std::uint8_t footer[26] = {0,   0,   0,   0,   0,   0,   0,   0,   'T', 'R', 'U', 'E', 'V',
                                 'I', 'S', 'I', 'O', 'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};

unsigned le16(const std::uint8_t *p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); }

// True for a header the writer makes from a prepared image: true colour 24 or 32, or gray 8,
// uncompressed, no colour map.
bool knownHeader(const std::uint8_t header[18]) {
    const unsigned type = header[2], depth = header[16];
    return header[1] == 0 &&
           ((type == 2 && (depth == 24 || depth == 32)) || (type == 3 && depth == 8));
}

#ifdef _WIN32
int openFile(const std::string &path) { return _open(path.c_str(), _O_RDWR | _O_BINARY); }
bool readAt(int fd, void *to, unsigned size, std::uint64_t at) {
    return _lseeki64(fd, static_cast<__int64>(at), SEEK_SET) >= 0 &&
           _read(fd, to, size) == static_cast<int>(size);
}
bool writeAt(int fd, const void *from, unsigned size, std::uint64_t at) {
    return _lseeki64(fd, static_cast<__int64>(at), SEEK_SET) >= 0 &&
           _write(fd, from, size) == static_cast<int>(size);
}
bool sizeOf(int fd, std::uint64_t &size) {
    const __int64 end = _lseeki64(fd, 0, SEEK_END);
    size = static_cast<std::uint64_t>(end);
    return end >= 0;
}
bool cutAt(int fd, std::uint64_t size) { return _chsize_s(fd, static_cast<__int64>(size)) == 0; }
bool closeFile(int fd) { return _close(fd) == 0; }
#else
// Never through a link: whatever this mends is the file the writer made and nothing else.
int openFile(const std::string &path) {
    return open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
}
bool readAt(int fd, void *to, unsigned size, std::uint64_t at) {
    return pread(fd, to, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
}
bool writeAt(int fd, const void *from, unsigned size, std::uint64_t at) {
    return pwrite(fd, from, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
}
bool sizeOf(int fd, std::uint64_t &size) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}
bool cutAt(int fd, std::uint64_t size) { return ftruncate(fd, static_cast<off_t>(size)) == 0; }
bool closeFile(int fd) { return close(fd) == 0; }
#endif

} // namespace

bool finishTga(const std::string &path) {
    const int fd = openFile(path);
    if (fd < 0)
        return false;
    std::uint8_t header[18] = {};
    std::uint64_t size = 0;
    bool ok = sizeOf(fd, size) && readAt(fd, header, 18, 0) && knownHeader(header);
    const std::uint64_t end =
        18u + header[0] + std::uint64_t{le16(header + 12)} * le16(header + 14) * header[16] / 8;
    ok = ok && size >= end;
    if (ok) {
        // The writer leaves stray bytes in the origin and no alpha count in the descriptor; its
        // rows run bottom-up, which is descriptor bits 4 and 5 clear. Its extension area is
        // malformed and its footer lacks the final NUL: both go.
        std::memset(header + 8, 0, 4);
        header[17] = header[16] == 32 ? 8 : 0;
        ok =
            writeAt(fd, header, 18, 0) && cutAt(fd, end) && writeAt(fd, footer, sizeof footer, end);
    }
    return closeFile(fd) && ok;
}
