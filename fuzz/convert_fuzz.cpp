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
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Only readers of the library that survive hostile input on their own are fed here: the others
// (icons, DDS, PSD, PCX, WAL, GIF, BMP, TGA, PNM, and any file whose ending the library does not
// know, which it hands to whichever reader its content suggests) corrupt its heap or loop on
// small inputs, which would stop the fuzzer at once on a fault that is not this program's. The
// worker's isolation of them is what the hostile-file tests check.
const char *const endings[] = {".png", ".tif", ".jpg"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool started = (startLibrary(), true);
    (void)started;
    if (size == 0)
        return 0;
    Job job;
    job.ending = endings[data[0] % (sizeof endings / sizeof endings[0])];
    const int input = memfd_create("in", MFD_CLOEXEC), output = memfd_create("out", MFD_CLOEXEC);
    if (input < 0 || output < 0 ||
        write(input, data + 1, size - 1) != static_cast<ssize_t>(size - 1) ||
        lseek(input, 0, SEEK_SET) != 0)
        std::abort();
    const int kept = dup(output);
    if (convertFile(job, input, output).outcome == Outcome::Done) {
        std::uint8_t header[18];
        std::uint64_t end = 0;
        const off_t written = lseek(kept, 0, SEEK_END);
        if (pread(kept, header, sizeof header, 0) == sizeof header)
            mendTgaHeader(header, static_cast<std::uint64_t>(written), end);
    }
    close(kept);
    return 0;
}
