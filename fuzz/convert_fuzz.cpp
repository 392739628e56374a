// Feeds arbitrary files through the whole per-file path: check, child, report, clean-up.
// The first byte picks the file's ending, since the library chooses its reader by name.
#include "convert.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char *const endings[] = {".png", ".ico", ".bmp", ".gif", ".pcx", ".psd", ".dds",
                               ".tga", ".tif", ".jpg", ".sgi", ".cut", ".pic", ".xyz"};

const fs::path &workDir() {
    static const fs::path dir = [] {
        std::string templ = (fs::temp_directory_path() / "ostrelle-fuzz-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            std::abort();
        return fs::path(templ);
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t pick = data[0] % (sizeof endings / sizeof endings[0]);
    const fs::path input = workDir() / (std::string("in") + endings[pick]);
    {
        std::ofstream out(input, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    convertFile(input.string().c_str());
    std::error_code ec;
    fs::remove(input, ec);
    fs::remove(outputPathFor(input.string()), ec);
    return 0;
}
