// Hand-made PNG and ICO files, byte by byte, for inputs no well-behaved writer would produce.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace pngbytes {

// The eight bytes every PNG file starts with.
extern const std::string signature;

// One chunk: big-endian length, type, data and the CRC over type and data.
std::string chunk(const std::string &type, const std::string &data);

// An IHDR chunk for the given size, bit depth and colour type, not interlaced.
std::string ihdr(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType);

// A whole PNG whose IDAT holds `rows` all-zero rows of rowBytes each, then IEND.
std::string png(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType,
                std::uint32_t rows, std::size_t rowBytes);

// An icon file with one entry whose image data is `image` (the format lets that be a PNG).
std::string ico(const std::string &image);

// Writes bytes to path; false if that failed.
bool write(const std::filesystem::path &path, const std::string &bytes);

} // namespace pngbytes
