// The header and ending of an uncompressed TGA that the image library has just written, as the
// program publishes it.
#pragma once

#include <cstdint>
#include <string>

// Mends the writer's 18-byte header, of a file of size bytes, to the program's profile and sets
// end to where its pixels end; false when it is not a TGA of that kind, or cut short.
bool mendTgaHeader(std::uint8_t header[18], std::uint64_t size, std::uint64_t &end);

// The ending the program puts after the pixels, in place of the writer's.
std::string tgaFooter();
