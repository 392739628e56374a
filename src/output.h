// The run's side of a file's output: the file a worker writes into, and publishing what it wrote
// as the TGA at the output name, mended, without ever replacing anything.
#pragma once

#include "fs.h"

#include <cstdint>
#include <string>

// Publishes the TGA a worker wrote into scratch at outname, once no one can change scratch any
// more; returns 0, or the library's error code to report (the name is taken, the file cannot be
// made, or what the worker wrote is no TGA of the program's profile or is too large).
int publishOutput(NativeFile scratch, const std::string &outname, std::uint64_t largest);
