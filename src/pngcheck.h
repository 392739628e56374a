// A structural look at PNG files before the image library is allowed to read them.
#pragma once

#include <cstdint>
#include <string>

// Why a file was refused: an error code from the library's own list, and a text for the user.
struct PngProblem {
    int code = 0; // 0 when nothing is wrong
    std::string text;
};

// Checks the file at path when it is a regular file that starts with the PNG signature; any
// other file passes, and the check never waits on a pipe or device.
PngProblem checkPngFile(const char *path);

// Checks an open file from its current position, reading it front to back in large blocks.
PngProblem checkPngDescriptor(int fd);

// The most memory the library may need for the PNG at path, judged from its header: the pixels
// widened to four samples, twice over for the copies made while saving; 0 when path is not a
// readable PNG. Never waits on a pipe or device.
std::uint64_t pngMemoryNeed(const char *path);
