// A structural look at PNG files before the image library is allowed to read them.
#pragma once

#include <cstdio>
#include <string>

// Why a file was refused: an error code from the library's own list, and a text for the user.
struct PngProblem {
    int code = 0; // 0 when nothing is wrong
    std::string text;
};

// Checks the file at path when it starts with the PNG signature; any other file passes.
PngProblem checkPngFile(const char *path);

// Checks an open file from its first byte; reads chunk headers only, seeking over their data.
PngProblem checkPngStream(std::FILE *file);
