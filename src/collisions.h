// Which arguments of a run may touch one file, however their paths are spelt.
#pragma once

#include <string>
#include <vector>

// One argument: its input path and its output path ("" when it has none).
struct Paths {
    std::string input;
    std::string output;
};

// True when two arguments may touch one file: the same input twice, two inputs with one output,
// or one argument's output being another's input.
bool mayCollide(const std::vector<Paths> &arguments);
