// The run: every path of the command line through a worker, each report printed in order.
#pragma once

#include <string>
#include <vector>

// Converts each path into a TGA file beside it and prints one report per path, in order.
void convertAll(const std::vector<std::string> &paths);
