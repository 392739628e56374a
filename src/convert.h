// Converting one image into a TGA; runs inside a worker, never in the run itself.
#pragma once

#include "fs.h"
#include "protocol.h"

#include <string>

// Readies the image library in a new worker, before the worker is confined.
void startLibrary();

// Loads the image from input (noFile: the input could not be opened), choosing the reader by
// job.ending as the library chooses it from a name, checks that a TGA can hold it, and saves it
// as a TGA into output unless there is none; returns the answer and prints nothing. Closes both
// files.
Answer convertFile(const Job &job, NativeFile input, NativeFile output);
