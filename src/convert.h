// Converting one image file into a TGA file beside it.
#pragma once

#include <string>

// Converts the image at path to outputPathFor(path) and reports the outcome on stdout.
void convertFile(const char *path);

// Returns path without its last three bytes, followed by "tga" (no dot added).
std::string outputPathFor(const std::string &path);
