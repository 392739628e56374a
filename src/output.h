// The run's side of a file's output: the file a worker writes into, and publishing what it wrote
// as the TGA at the output name, mended, without ever replacing anything.
#pragma once

#include "fs.h"

#include <cstdint>
#include <string>

// What publishOutput returns for a TGA that, mended and with its footer, would pass `largest`.
constexpr int outputPastBound = -1;

// Publishes the TGA a worker wrote into scratch at outname, once no one can change scratch any
// more; returns 0, outputPastBound, or the library's error code to report (the name is taken,
// the file cannot be made, or what the worker wrote is no TGA of the program's profile or is
// larger than largest itself).
int publishOutput(NativeFile scratch, const std::string &outname, std::uint64_t largest);
