// What an image may cost the library in memory, read from its file's header where that is cheap.
#pragma once

#include <cstdint>
#include <string>

// The memory the library may need for the image in the first bytes of its file (head) named
// name: its pixels widened to four samples (eight for 16-bit samples), twice over for the copies
// made while converting; 0 when the header tells nothing (an unknown format, a short file).
// Reads PNG, JPEG, BMP, GIF, PSD, DDS and PNM by their signatures, TGA by its name.
std::uint64_t memoryNeedFromHeader(const std::string &head, const std::string &name);

// The same for the file at path, reading its first 64 KiB; 0 when it cannot be read.
std::uint64_t memoryNeedOf(const std::string &path);
