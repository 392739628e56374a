// Feeds arbitrary bytes to the PNG check, which must neither fault nor answer out of its range.
#include "pngcheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

PngProblem checkBytes(const std::string &bytes) {
    std::FILE *file = std::tmpfile();
    if (file == nullptr)
        std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
    ::lseek(fileno(file), 0, SEEK_SET);
    PngProblem problem = checkPngDescriptor(fileno(file));
    std::fclose(file);
    return problem;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const PngProblem problem = checkBytes(bytes);
    if (problem.code != 0 && problem.code != 1288 && problem.code != 1297 && problem.code != 1298)
        std::abort();
    if ((problem.code == 0) != (problem.text == TextId::Library))
        std::abort();
    // Whatever follows the end chunk of an accepted file is never read.
    if (problem.code == 0 && checkBytes(bytes + "\x89PNG").code != 0)
        std::abort();
    return 0;
}
