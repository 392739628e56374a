// A structural look at PNG files before the image library is allowed to read them.
#pragma once

#include <cstdint>
#include <string>

#include "report.h"

// Why a file was refused: an error code from the library's own list, and which of the program's
// texts tells the user, with the image's size where the text names it.
struct PngProblem {
    int code = 0; // 0 when nothing is wrong
    TextId text = TextId::Library;
    std::uint32_t width = 0, height = 0;
};

// Checks an open file from its current position when it starts with the PNG signature, reading
// it front to back in large blocks; any other file passes.
PngProblem checkPngDescriptor(int fd);
