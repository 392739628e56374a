#include "imagesize.h"

#include "fs.h"

#include <cctype>
#include <cstring>

namespace {

std::uint32_t be16(const std::string &s, std::size_t at) {
    return std::uint32_t{static_cast<unsigned char>(s[at])} << 8 |
           static_cast<unsigned char>(s[at + 1]);
}

std::uint32_t be32(const std::string &s, std::size_t at) {
    return be16(s, at) << 16 | be16(s, at + 2);
}

std::uint32_t le16(const std::string &s, std::size_t at) {
    return std::uint32_t{static_cast<unsigned char>(s[at + 1])} << 8 |
           static_cast<unsigned char>(s[at]);
}

std::uint32_t le32(const std::string &s, std::size_t at) {
    return le16(s, at + 2) << 16 | le16(s, at);
}

std::uint64_t need(std::uint64_t width, std::uint64_t height, bool deep) {
    // More than 2^31 on a side is no image the library can hold, and counts as more than any
    // machine has. Below that the sides' product fits in 62 bits, but 8 or 16 bytes a pixel can
    // pass 2^64 (2^30 x 2^30 at 16 would wrap to 0), so the total saturates instead.
    if (width > 0x7fffffffu || height > 0x7fffffffu)
        return UINT64_MAX;
    const std::uint64_t pixels = width * height, bytes = deep ? 16 : 8;
    return pixels > UINT64_MAX / bytes ? UINT64_MAX : pixels * bytes;
}

bool startsWith(const std::string &s, const char *prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// JPEG: the first start-of-frame marker, found by passing over the segments before it.
std::uint64_t jpegNeed(const std::string &h) {
    for (std::size_t at = 2; at + 9 <= h.size();) {
        if (static_cast<unsigned char>(h[at]) != 0xFF)
            return 0;
        const unsigned marker = static_cast<unsigned char>(h[at + 1]);
        if (marker == 0xFF) {
            ++at; // fill byte
            continue;
        }
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
            return need(be16(h, at + 7), be16(h, at + 5), h[at + 4] > 8);
        at += 2 + be16(h, at + 2);
    }
    return 0;
}

// PNM: "P1" to "P6", then width, height and (but for bitmaps) the largest sample, in text with
// comments between.
std::uint64_t pnmNeed(const std::string &h) {
    std::size_t at = 2;
    std::uint64_t values[3] = {0, 0, 255};
    const int count = h[1] == '1' || h[1] == '4' ? 2 : 3;
    for (int i = 0; i < count; ++i) {
        while (at < h.size() && (std::isspace(static_cast<unsigned char>(h[at])) || h[at] == '#')) {
            if (h[at] == '#')
                while (at < h.size() && h[at] != '\n')
                    ++at;
            else
                ++at;
        }
        std::uint64_t v = 0;
        bool digits = false;
        for (; at < h.size() && std::isdigit(static_cast<unsigned char>(h[at])) && v < (1u << 31);
             ++at, digits = true)
            v = v * 10 + static_cast<std::uint64_t>(h[at] - '0');
        if (!digits)
            return 0;
        values[i] = v;
    }
    return need(values[0], values[1], values[2] > 255);
}

} // namespace

std::uint64_t memoryNeedFromHeader(const std::string &h, const std::string &name) {
    if (h.size() >= 29 && startsWith(h, "\x89PNG\r\n\x1a\n") && h.compare(12, 4, "IHDR") == 0)
        return need(be32(h, 16), be32(h, 20), h[24] == 16);
    if (h.size() >= 4 && startsWith(h, "\xFF\xD8\xFF"))
        return jpegNeed(h);
    if (h.size() >= 26 && startsWith(h, "BM")) {
        // A negative height means rows top-down; its size is the same.
        const auto height = static_cast<std::int32_t>(le32(h, 22));
        return need(le32(h, 18),
                    static_cast<std::uint64_t>(height < 0 ? -std::int64_t{height} : height), false);
    }
    if (h.size() >= 10 && (startsWith(h, "GIF87a") || startsWith(h, "GIF89a")))
        return need(le16(h, 6), le16(h, 8), false);
    if (h.size() >= 24 && startsWith(h, "8BPS"))
        return need(be32(h, 18), be32(h, 14), be16(h, 22) > 8);
    if (h.size() >= 20 && startsWith(h, "DDS "))
        return need(le32(h, 16), le32(h, 12), false);
    if (h.size() >= 3 && h[0] == 'P' && h[1] >= '1' && h[1] <= '6')
        return pnmNeed(h);
    // TGA has no signature: its name says it, as it says it to the library.
    std::string ending = name.size() >= 4 ? name.substr(name.size() - 4) : "";
    for (char &c : ending)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ending == ".tga" && h.size() >= 18)
        return need(le16(h, 12), le16(h, 14), false);
    return 0;
}

std::uint64_t memoryNeedOf(const std::string &path) {
    const NativeFile file = openInput(path);
    if (file == noFile)
        return 0;
    std::uint64_t size = 0;
    std::string head;
    if (sizeOf(file, size)) {
        head.resize(size < 65536 ? static_cast<std::size_t>(size) : 65536);
        if (!readAt(file, head.data(), head.size(), 0))
            head.clear();
    }
    closeFile(file);
    return memoryNeedFromHeader(head, path);
}
