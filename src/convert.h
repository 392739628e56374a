// Converting one image file into a TGA file beside it.
#pragma once

#include <string>

// Converts the image at path to outputPathFor(path) and reports the outcome on stdout.
void convertFile(const char *path);

// In a process started to convert one file for the run, converts argv[1] and returns true.
bool convertAsChild(int argc, char **argv);

// Returns path without its last three bytes, followed by "tga" (no dot added).
std::string outputPathFor(const std::string &path);
