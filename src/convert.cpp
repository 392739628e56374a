#include "convert.h"

#include "pngcheck.h"

#include <IL/il.h>

#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

// The library keeps one stack of errors for the whole process, and a worker converts many files:
// a file's report must show its own.
void clearPendingErrors() {
    while (ilGetError() != IL_NO_ERROR) {
    }
}

// The TGA header keeps width and height in 16 bits; the writer would silently cut larger ones.
constexpr ILint maxTgaSide = 65535;

// The row of the output that source row y becomes: TGA keeps its rows bottom-up, so an
// upper-left image's rows are turned over while they are written anyway.
std::size_t outputRow(std::size_t y, std::size_t height, bool upperLeft) {
    return upperLeft ? height - 1 - y : y;
}

// Replaces the current image, of width x height with the given origin, by an empty one of the
// target format, 8 bits a sample, rows bottom-up; returns its pixels, or null.
ILubyte *replaceImage(ILuint width, ILuint height, ILenum target, int channels) {
    if (ilTexImage(width, height, 1, static_cast<ILubyte>(channels), target, IL_UNSIGNED_BYTE,
                   nullptr) != IL_TRUE)
        return nullptr;
    ilRegisterOrigin(IL_ORIGIN_LOWER_LEFT);
    return ilGetData();
}

// Expands a colour-mapped image to BGR or BGRA in one pass through a table, where the library's
// own conversion looks each pixel up several times over; false (nothing changed) for a palette
// of another kind or an index past its end, which the library is left to convert.
bool expandPalette(ILenum target) {
    const ILint type = ilGetInteger(IL_PALETTE_TYPE), count = ilGetInteger(IL_PALETTE_NUM_COLS),
                entry = ilGetInteger(IL_PALETTE_BPP);
    int red = 0, alpha = -1; // where red and alpha are in an entry; blue is at 2 - red
    switch (type) {
    case IL_PAL_RGB24:
    case IL_PAL_RGB32: break;
    case IL_PAL_RGBA32: alpha = 3; break;
    case IL_PAL_BGR24:
    case IL_PAL_BGR32: red = 2; break;
    case IL_PAL_BGRA32:
        red = 2;
        alpha = 3;
        break;
    default: return false;
    }
    const ILubyte *palette = ilGetPalette();
    if (palette == nullptr || count <= 0 || count > 256 || entry < (alpha >= 0 ? 4 : 3) ||
        ilGetInteger(IL_IMAGE_TYPE) != IL_UNSIGNED_BYTE || ilGetInteger(IL_IMAGE_DEPTH) != 1)
        return false;
    ILubyte table[256][4] = {};
    for (int i = 0; i < count; ++i) {
        const ILubyte *e = palette + i * entry;
        table[i][0] = e[2 - red];
        table[i][1] = e[1];
        table[i][2] = e[red];
        table[i][3] = alpha >= 0 ? e[alpha] : 255;
    }
    const auto width = static_cast<ILuint>(ilGetInteger(IL_IMAGE_WIDTH)),
               height = static_cast<ILuint>(ilGetInteger(IL_IMAGE_HEIGHT));
    const bool upperLeft = ilGetInteger(IL_IMAGE_ORIGIN) == IL_ORIGIN_UPPER_LEFT;
    const ILubyte *data = ilGetData();
    const std::size_t pixels = std::size_t{width} * height;
    if (data == nullptr)
        return false;
    for (std::size_t i = 0; i < pixels; ++i)
        if (data[i] >= count)
            return false;
    const std::vector<ILubyte> indices(data, data + pixels);
    const int channels = target == IL_BGRA ? 4 : 3;
    ILubyte *out = replaceImage(width, height, target, channels);
    if (out == nullptr)
        return false;
    // The pixel size is fixed in each loop, so that each pixel is a plain store, not a call.
    for (std::size_t y = 0; y < height; ++y) {
        const ILubyte *from = indices.data() + y * width;
        ILubyte *to =
            out + outputRow(y, height, upperLeft) * width * static_cast<std::size_t>(channels);
        if (channels == 4) {
            for (std::size_t x = 0; x < width; ++x, to += 4)
                std::memcpy(to, table[from[x]], 4);
        } else {
            for (std::size_t x = 0; x < width; ++x, to += 3) {
                const ILubyte *bgr = table[from[x]];
                to[0] = bgr[0];
                to[1] = bgr[1];
                to[2] = bgr[2];
            }
        }
    }
    return true;
}

// Brings the current image to what the TGA writer saves soundly: 8-bit gray, BGR or BGRA, never a
// colour map; returns the library's error code, or IL_NO_ERROR.
ILenum prepareForTga() {
    const ILint format = ilGetInteger(IL_IMAGE_FORMAT);
    ILenum target = IL_BGRA; // anything with alpha, and whatever else the library loads
    if (format == IL_LUMINANCE) {
        target = IL_LUMINANCE;
    } else if (format == IL_RGB || format == IL_BGR) {
        target = IL_BGR;
    } else if (format == IL_COLOUR_INDEX) {
        // A palette with alpha is how the library hands over a PNG's tRNS for indexed images.
        const ILint palette = ilGetInteger(IL_PALETTE_TYPE);
        target = palette == IL_PAL_RGBA32 || palette == IL_PAL_BGRA32 ? IL_BGRA : IL_BGR;
        if (expandPalette(target))
            return IL_NO_ERROR;
    }
    // The writer would swap RGB to BGR itself, but more slowly than one conversion here, which
    // also narrows 16-bit samples in the same pass (a loop of ours doing both was no faster).
    if (format == static_cast<ILint>(target) && ilGetInteger(IL_IMAGE_TYPE) == IL_UNSIGNED_BYTE)
        return IL_NO_ERROR;
    if (ilConvertImage(target, IL_UNSIGNED_BYTE) == IL_TRUE)
        return IL_NO_ERROR;
    const ILenum code = ilGetError();
    return code != IL_NO_ERROR ? code : IL_INVALID_CONVERSION;
}

// Turns an upper-left image's rows over in place and marks it lower-left, the order in which
// TGA files keep their rows, so that the writer writes the buffer as it stands instead of making
// a turned copy of the whole image first.
void storeBottomUp() {
    if (ilGetInteger(IL_IMAGE_ORIGIN) != IL_ORIGIN_UPPER_LEFT || ilGetInteger(IL_IMAGE_DEPTH) != 1)
        return;
    const auto stride = static_cast<std::size_t>(ilGetInteger(IL_IMAGE_WIDTH)) *
                        static_cast<std::size_t>(ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL));
    const auto height = static_cast<std::size_t>(ilGetInteger(IL_IMAGE_HEIGHT));
    ILubyte *data = ilGetData();
    if (data == nullptr || stride == 0)
        return;
    std::vector<ILubyte> row(stride);
    for (std::size_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        ILubyte *a = data + top * stride, *b = data + bottom * stride;
        std::memcpy(row.data(), a, stride);
        std::memcpy(a, b, stride);
        std::memcpy(b, row.data(), stride);
    }
    ilRegisterOrigin(IL_ORIGIN_LOWER_LEFT);
}

// Puts the picture at the given place of the loaded image's chain in place of the image itself,
// copying it, since a worker's next file loads into whichever image is current.
void takeImage(int index) {
    const ILuint name = static_cast<ILuint>(ilGetInteger(IL_CUR_IMAGE));
    if (ilActiveImage(static_cast<ILuint>(index)) != IL_TRUE)
        return;
    const ILint width = ilGetInteger(IL_IMAGE_WIDTH), height = ilGetInteger(IL_IMAGE_HEIGHT),
                bytes = ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL),
                format = ilGetInteger(IL_IMAGE_FORMAT), type = ilGetInteger(IL_IMAGE_TYPE),
                origin = ilGetInteger(IL_IMAGE_ORIGIN), size = ilGetInteger(IL_IMAGE_SIZE_OF_DATA);
    const ILubyte *data = ilGetData();
    const std::vector<ILubyte> pixels(data, data + (data != nullptr && size > 0 ? size : 0));
    ilBindImage(name);
    if (pixels.empty() || format == IL_COLOUR_INDEX)
        return;
    if (ilTexImage(static_cast<ILuint>(width), static_cast<ILuint>(height), 1,
                   static_cast<ILubyte>(bytes), static_cast<ILenum>(format),
                   static_cast<ILenum>(type), const_cast<ILubyte *>(pixels.data())) == IL_TRUE)
        ilRegisterOrigin(static_cast<ILenum>(origin));
}

// An icon holds several pictures of one image; the one shown is the largest, and of those the
// deepest, the last one in the file among equals. Puts that picture in place of the loaded image,
// choosing by the file's own directory, whose order the library's chain of images follows.
void chooseIconEntry(FILE *input) {
    const ILint more = ilGetInteger(IL_NUM_IMAGES);
    if (more <= 0 || std::fseek(input, 0, SEEK_SET) != 0)
        return;
    unsigned char head[6];
    if (std::fread(head, 1, sizeof head, input) != sizeof head)
        return;
    const int count = head[4] | head[5] << 8;
    if (count != more + 1)
        return;
    int best = -1;
    long bestArea = -1, bestDepth = -1;
    for (int i = 0; i < count; ++i) {
        unsigned char entry[16];
        if (std::fread(entry, 1, sizeof entry, input) != sizeof entry)
            return;
        const long width = entry[0] == 0 ? 256 : entry[0], height = entry[1] == 0 ? 256 : entry[1];
        const long depth = entry[6] | entry[7] << 8, area = width * height;
        if (area > bestArea || (area == bestArea && depth >= bestDepth)) {
            best = i;
            bestArea = area;
            bestDepth = depth;
        }
    }
    if (best > 0)
        takeImage(best);
}

// A Macintosh icon holds its sizes in no set order: the one shown is the largest, the first of
// those among equals.
void chooseLargestImage() {
    const ILint more = ilGetInteger(IL_NUM_IMAGES);
    const ILuint name = static_cast<ILuint>(ilGetInteger(IL_CUR_IMAGE));
    int best = 0;
    long bestArea = -1;
    for (ILint i = 0; i <= more; ++i) {
        ilBindImage(name);
        if (ilActiveImage(static_cast<ILuint>(i)) != IL_TRUE)
            break;
        const long area = static_cast<long>(ilGetInteger(IL_IMAGE_WIDTH)) *
                          static_cast<long>(ilGetInteger(IL_IMAGE_HEIGHT));
        if (area > bestArea) {
            best = i;
            bestArea = area;
        }
    }
    ilBindImage(name);
    if (best > 0)
        takeImage(best);
}

int libraryCode(ILenum code, ILenum otherwise) {
    return static_cast<int>(code != IL_NO_ERROR ? code : otherwise);
}

Answer failed(Outcome outcome, int code, TextId text = TextId::Library) {
    Answer answer;
    answer.outcome = outcome;
    answer.code = code;
    answer.text = text;
    return answer;
}

// A C stream that takes one of the job's files over (and closes it when closed); null, with the
// file closed, when none can be made.
FILE *streamOf(NativeFile file, const char *mode) {
    if (file == noFile)
        return nullptr;
#ifdef _WIN32
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file),
                                   mode[0] == 'r' ? _O_RDONLY | _O_BINARY : _O_WRONLY | _O_BINARY);
    FILE *stream = fd >= 0 ? _fdopen(fd, mode) : nullptr;
    if (stream == nullptr && fd >= 0)
        _close(fd);
    else if (stream == nullptr)
        closeFile(file);
#else
    FILE *stream = fdopen(file, mode);
    if (stream == nullptr)
        closeFile(file);
#endif
    // A buffer of its own, so the stream asks the file system nothing about the file (which the
    // confined worker may not) and reads and writes in large blocks.
    static char buffers[2][1 << 16];
    if (stream != nullptr)
        std::setvbuf(stream, buffers[mode[0] == 'r' ? 0 : 1], _IOFBF, sizeof buffers[0]);
    return stream;
}

// The reader for a file, chosen as the library chooses it for a name: by the ending, and by the
// content where the ending names none; but a PNG by its signature, whatever its name (some
// programs write PNG data under the ending of a format they cannot write).
ILenum readerFor(const Job &job, FILE *input, bool isPng) {
    if (isPng)
        return IL_PNG;
    const ILenum type = ilTypeFromExt(job.ending.c_str());
    if (type != IL_TYPE_UNKNOWN || input == nullptr)
        return type;
    return ilDetermineTypeF(input);
}

Answer loadAndSave(const Job &job, FILE *input, FILE *output) {
    PngProblem problem;
    if (input != nullptr) {
        problem = checkPngDescriptor(fileno(input));
        if (problem.code != 0) {
            Answer answer = failed(Outcome::FailedLoad, problem.code, problem.text);
            answer.first = problem.width;
            answer.second = problem.height;
            return answer;
        }
        std::rewind(input);
    }
    ilInit();
    clearPendingErrors();
    const ILenum type = readerFor(job, input, problem.isPng);
    if (type == IL_TYPE_UNKNOWN)
        return failed(Outcome::FailedLoad, IL_INVALID_EXTENSION);
    if (input == nullptr)
        return failed(Outcome::FailedLoad, IL_COULD_NOT_OPEN_FILE);
    if (ilLoadF(type, input) != IL_TRUE)
        return failed(Outcome::FailedLoad, libraryCode(ilGetError(), IL_UNKNOWN_ERROR));
    if (type == IL_ICO)
        chooseIconEntry(input);
    else if (type == IL_ICNS)
        chooseLargestImage();
    // Samples of high dynamic range have no one 8-bit picture that readers agree on.
    const ILint sampleType = ilGetInteger(IL_IMAGE_TYPE);
    if (sampleType == IL_FLOAT || sampleType == IL_DOUBLE || sampleType == IL_HALF)
        return failed(Outcome::FailedLoad, IL_FORMAT_NOT_SUPPORTED);

    if (ilGetInteger(IL_IMAGE_WIDTH) > maxTgaSide || ilGetInteger(IL_IMAGE_HEIGHT) > maxTgaSide)
        return failed(Outcome::FailedSave, IL_BAD_DIMENSIONS, TextId::TooLargeForTga);
    if (const ILenum code = prepareForTga(); code != IL_NO_ERROR)
        return failed(Outcome::FailedSave, static_cast<int>(code));
    // Nowhere to save: the run reports why, once the file has shown that it loads.
    if (output == nullptr)
        return Answer{};
    storeBottomUp();
    if (ilSaveF(IL_TGA, output) == 0)
        return failed(Outcome::FailedSave, libraryCode(ilGetError(), IL_FILE_WRITE_ERROR));
    if (std::fflush(output) != 0 || std::ferror(output))
        return failed(Outcome::FailedSave, IL_FILE_WRITE_ERROR);
    return Answer{};
}

} // namespace

void startLibrary() { ilInit(); }

Answer convertFile(const Job &job, NativeFile input, NativeFile output) {
    FILE *in = streamOf(input, "rb");
    FILE *out = streamOf(output, "wb");
    const Answer answer = loadAndSave(job, in, out);
    if (in != nullptr)
        std::fclose(in);
    if (out != nullptr)
        std::fclose(out);
    return answer;
}
