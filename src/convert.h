// Converting one image file into a TGA file; runs inside a worker, never in the run itself.
#pragma once

#include "protocol.h"

#include <string>

// Readies the image library in a new worker, before the worker is confined.
void startLibrary();

// Checks the file at job.path, loads it through the library and saves it as a TGA at job.staged;
// returns the report for the user and prints nothing.
Report convertFile(const Job &job);

// Returns path without its last three bytes, followed by "tga" (no dot added); "" when the path
// is shorter than three bytes.
std::string outputPathFor(const std::string &path);

// The library's verdict on an output name, which it gives from the name alone: 0 for a name it
// saves as a TGA, else the code it would report.
int saveNameProblem(const std::string &outname);
