// Feeds arbitrary bytes to the header reader the run uses to bound its memory, on files of any
// origin and with the user's rights. Built so that any unsigned sum or product that wraps is a
// finding: a wrapped size would count a huge image as a small one.
// The first byte picks the file's name, since TGA is known by its name alone.
#include "imagesize.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    static const char *const names[] = {"a.tga", "B.TGA", "a.png", "tga"};
    const std::string head(reinterpret_cast<const char *>(data) + 1, size - 1);
    const std::uint64_t need = memoryNeedFromHeader(head, names[data[0] % 4]);
    // A known size is a whole number of 8-byte pixels, and a header cannot claim less than none.
    if (need != UINT64_MAX && need % 8 != 0)
        std::abort();
    return 0;
}
