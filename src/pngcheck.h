// A structural look at PNG files before the image library is allowed to read them.
#pragma once

#include <cstdint>
#include <string>

#include "report.h"

// What the look found: whether the file is a PNG at all, and why it was refused: an error code
// from the library's own list, and which of the program's texts tells the user, with the image's
// size where the text names it.
struct PngProblem {
    bool isPng = false; // the file starts with the PNG signature
    int code = 0;       // 0 when nothing is wrong
    TextId text = TextId::Library;
    std::uint32_t width = 0, height = 0;
};

// Checks an open file from its current position when it starts with the PNG signature, reading
// it front to back in large blocks; any other file passes.
PngProblem checkPngDescriptor(int fd);
