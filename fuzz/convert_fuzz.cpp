// Feeds arbitrary files through what a worker does with one file: the PNG check, the library's
// load, the preparation and the staged save, then the run's mending of the saved TGA. It runs in
// the fuzzer's own process; a fault in the library itself is the sanitizer's to report, while the
// tests show that a worker's fault never reaches the run.
// The first byte picks the file's ending, since the library chooses its reader by name.
#include "convert.h"
#include "tga.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Only readers of the library that survive hostile input on their own are fed here: the others
// (icons, DDS, PSD, PCX, WAL, GIF, BMP, TGA, PNM, and any file whose ending the library does not
// know, which it hands to whichever reader its content suggests) corrupt its heap or loop on
// small inputs, which would stop the fuzzer at once on a fault that is not this program's. The
// worker's isolation of them is what the hostile-file tests check.
const char *const endings[] = {".png", ".tif", ".jpg"};

const fs::path &workDir() {
    static const fs::path dir = [] {
        std::string templ = (fs::temp_directory_path() / "ostrelle-fuzz-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            std::abort();
        startLibrary();
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
    const Job job{input.string(), (workDir() / "0.tga").string(), 0};
    if (convertFile(job).outcome == Outcome::Done)
        finishTga(job.staged);
    std::error_code ec;
    fs::remove(input, ec);
    fs::remove(job.staged, ec);
    return 0;
}
