// Mending the header and ending of an uncompressed TGA file the image library has just written.
#pragma once

#include <string>

// Sets the origin, descriptor and ending of the uncompressed TGA at path to the program's profile;
// false when it is not a TGA of that kind or cannot be rewritten.
bool finishTga(const std::string &path);
