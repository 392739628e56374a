#include "names.h"

std::string outputPathFor(const std::string &path) {
    // Too short to drop three bytes: there is no sound output name.
    if (path.size() < 3)
        return {};
    return path.substr(0, path.size() - 3) + "tga";
}

std::string endingOf(const std::string &path) {
    // The library looks for the last dot of the whole name, folders included.
    const std::size_t dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot);
}
