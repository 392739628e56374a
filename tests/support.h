// Helpers shared by the tests: making PNGs byte by byte, reading TGAs, running the program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace support {

// An 8-bit RGBA picture, rows top to bottom.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

// A small RGBA test picture whose every pixel differs from its neighbours, alpha included.
Image pattern(int width, int height, bool withAlpha);

// The eight bytes every PNG file starts with.
extern const std::string pngSignature;

// One PNG chunk: big-endian length, type, data and the CRC over type and data.
std::string chunk(const std::string &type, const std::string &data);

// An IHDR chunk for the given size, bit depth and colour type, not interlaced.
std::string ihdr(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType);

// A whole PNG: signature, IHDR, one IDAT of rows (each a filter byte and its samples), IEND.
std::string png(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType,
                const std::string &rows);

// An 8-bit RGBA PNG of the picture.
std::string rgbaPng(const Image &image);

// An icon file with one entry whose image data is `image` (the format lets that be a PNG).
std::string ico(const std::string &image);

// Writes bytes to path; false if that failed.
bool writeFile(const std::filesystem::path &path, const std::string &bytes);

// Bytes of a file, or empty when it cannot be read.
std::string readFile(const std::filesystem::path &path);

// A TGA as a strict reader of the program's output sees it: ok is false, with why, unless it is
// true colour of 24 or 32 bits or 8-bit gray, without colour map, origin 0, rows bottom-up, an
// alpha count of 8 exactly when 32 bits, and the pixels followed by the standard footer alone.
struct Tga {
    bool ok = false;
    std::string why;
    int imageType = 0, pixelDepth = 0;
    Image image;
};
Tga readTga(const std::filesystem::path &path);

// Pixels of got that differ from want, all of them if the sizes differ. The colour under a fully
// transparent pixel is only compared when clearColours is set: most references drop it.
std::size_t differingPixels(const Image &got, const Image &want, bool clearColours = false);

// How the program is run: switches are environment variables set for it alone; a runAsUser of 0
// or more runs it under that user id (the caller must be root), from a copy under /tmp that any
// user can reach, wherever the build lies; quiet sends its standard error, where glibc names the
// heap damage of a worker that crashed, to /dev/null.
struct RunOptions {
    std::vector<std::pair<std::string, std::string>> switches;
    int runAsUser = -1;
    bool quiet = false;
    int timeoutSeconds = 30;
    const char *program = nullptr; // the test build of the program unless set
    bool terminal = false;         // standard error is a new terminal, the run's controlling one
};

// What a run of the program printed and how it ended.
struct Run {
    std::string out;
    int status = -1;         // exit status, or -1 when it did not exit normally
    int workersStarted = -1; // as the program counts them
    int terminalInput = -1;  // bytes waiting to be read on the terminal afterwards, if one
};

// Runs the program with args in cwd, standard input at end of file; kills it after the timeout.
Run runOstrelle(const std::vector<std::string> &args, const std::filesystem::path &cwd,
                const RunOptions &options = {});

// The program's fixed opening lines with the blank line after them, and its report of a file done.
extern const std::string banner, done;

// The program's report of a file that failed to load (or, with load false, to save).
std::string failed(bool load, int code, const std::string &text);

// Every file, link and folder under dir by relative path: a file's bytes, a link's target.
std::map<std::string, std::string> snapshot(const std::filesystem::path &dir);

// The names in snapshot(dir).
std::set<std::string> namesIn(const std::filesystem::path &dir);

// A fresh empty directory removed with everything in it when the object goes away.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::filesystem::path path;
};

} // namespace support
