// Helpers shared by the tests: making PNGs, reading TGAs, running the program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace support {

// An 8-bit RGBA picture, rows top to bottom.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

// Writes an 8-bit RGBA PNG; returns false if libpng refused.
bool writeRgbaPng(const std::filesystem::path &path, const Image &image);

// Writes a PNG from raw rows as libpng expects them for colorType/bitDepth (16-bit big-endian).
bool writeRawPng(const std::filesystem::path &path, int width, int height, int colorType,
                 int bitDepth, const std::vector<std::uint8_t> &rows, bool interlaced = false);

// A small RGBA test picture whose every pixel differs from its neighbours, alpha included.
Image pattern(int width, int height, bool withAlpha);

// A TGA file as a strict reader sees it; ok is false when the file is not a TGA it understands.
struct Tga {
    bool ok = false;
    std::string why;
    std::uint8_t idLength = 0, colorMapType = 0, imageType = 0, pixelDepth = 0, descriptor = 0;
    int xOrigin = 0, yOrigin = 0;
    Image image;
    std::size_t fileSize = 0;
    std::size_t pixelEnd = 0; // offset just past the pixel data
};

// Decodes an uncompressed TGA (types 1, 2, 3) into RGBA, honouring the origin bits.
Tga readTga(const std::filesystem::path &path);

// What a run of the program printed and how it ended.
struct Run {
    std::string out;
    int status = -1; // exit status, or -1 when it did not exit normally
};

// Runs the program with args, standard input at end of file, in cwd; kills it after timeoutSeconds.
// A runAsUser of 0 or more runs it under that user id (the caller must be root).
Run runOstrelle(const std::vector<std::string> &args, const std::filesystem::path &cwd,
                int timeoutSeconds = 30, int runAsUser = -1);

// The program's fixed opening lines, followed by the blank line.
extern const char *const banner;

// A fresh empty directory removed with everything in it when the object goes away.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::filesystem::path path;
};

// Bytes of a file, or empty when it cannot be read.
std::vector<std::uint8_t> readFile(const std::filesystem::path &path);

// Why the TGA at path, as read into tga, breaks the program's output profile (image kind, depth,
// descriptor, origin, footer and extension area), or "" when it holds.
std::string profileProblem(const std::filesystem::path &path, const Tga &tga);

// Pixels of got that differ from want, all of them if the sizes differ; the colour under a fully
// transparent pixel carries no meaning and is not compared.
std::size_t differingPixels(const Image &got, const Image &want);

} // namespace support
