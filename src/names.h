// The names the run derives from an argument: the output's, and the ending by which the worker
// picks a reader.
#pragma once

#include <string>

// Returns path without its last three bytes, followed by "tga" (no dot added); "" when the path
// is shorter than three bytes.
std::string outputPathFor(const std::string &path);

// The part of a path from its last dot on, from which the library picks a reader ("" for none).
std::string endingOf(const std::string &path);
