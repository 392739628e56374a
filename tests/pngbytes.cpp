#include "pngbytes.h"

#include <zlib.h>

#include <fstream>

namespace pngbytes {

const std::string signature("\x89PNG\r\n\x1a\n", 8);

namespace {

std::string be32(std::uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::string le16(unsigned v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }

std::string le32(std::uint32_t v) { return le16(v & 0xffff) + le16(v >> 16); }

} // namespace

std::string chunk(const std::string &type, const std::string &data) {
    const std::string body = type + data;
    const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(body.data()),
                            static_cast<uInt>(body.size()));
    return be32(static_cast<std::uint32_t>(data.size())) + body +
           be32(static_cast<std::uint32_t>(crc));
}

std::string ihdr(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType) {
    return chunk("IHDR", be32(width) + be32(height) + static_cast<char>(bitDepth) +
                             static_cast<char>(colorType) + std::string(3, '\0'));
}

std::string png(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType,
                std::uint32_t rows, std::size_t rowBytes) {
    // Each row is a filter byte followed by its samples, all zero.
    const std::string raw(rows * (rowBytes + 1), '\0');
    std::string packed(compressBound(static_cast<uLong>(raw.size())), '\0');
    uLongf packedSize = static_cast<uLongf>(packed.size());
    compress(reinterpret_cast<Bytef *>(packed.data()), &packedSize,
             reinterpret_cast<const Bytef *>(raw.data()), static_cast<uLong>(raw.size()));
    packed.resize(packedSize);
    return signature + ihdr(width, height, bitDepth, colorType) + chunk("IDAT", packed) +
           chunk("IEND", "");
}

std::string ico(const std::string &image) {
    // Directory: reserved, type 1 (icon), one entry; the entry points just past itself.
    return le16(0) + le16(1) + le16(1) + std::string(4, '\0') + le16(1) + le16(32) +
           le32(static_cast<std::uint32_t>(image.size())) + le32(22) + image;
}

bool write(const std::filesystem::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

} // namespace pngbytes
