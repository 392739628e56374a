#include "convert.h"

#include "pngcheck.h"

#include <IL/il.h>

namespace {

// The library keeps one stack of errors for the whole process, and a worker converts many files:
// a file's report must show its own.
void clearPendingErrors() {
    while (ilGetError() != IL_NO_ERROR) {
    }
}

// The TGA header keeps width and height in 16 bits; the writer would silently cut larger ones.
constexpr ILint maxTgaSide = 65535;

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
    }
    // The writer would swap RGB to BGR itself, but more slowly than one conversion here, which
    // also narrows 16-bit samples in the same pass.
    if (format == static_cast<ILint>(target) && ilGetInteger(IL_IMAGE_TYPE) == IL_UNSIGNED_BYTE)
        return IL_NO_ERROR;
    if (ilConvertImage(target, IL_UNSIGNED_BYTE) == IL_TRUE)
        return IL_NO_ERROR;
    const ILenum code = ilGetError();
    return code != IL_NO_ERROR ? code : IL_INVALID_CONVERSION;
}

int libraryCode(ILenum code, ILenum otherwise) {
    return static_cast<int>(code != IL_NO_ERROR ? code : otherwise);
}

} // namespace

void startLibrary() { ilInit(); }

std::string outputPathFor(const std::string &path) {
    // Too short to drop three bytes: there is no sound output name.
    if (path.size() < 3)
        return {};
    return path.substr(0, path.size() - 3) + "tga";
}

int saveNameProblem(const std::string &outname) {
    // The library takes the format from whatever follows the last dot of the whole path, folders
    // included, and needs a dot to find one.
    const std::size_t dot = outname.rfind('.');
    if (dot == std::string::npos)
        return IL_INVALID_PARAM;
    std::string ending = outname.substr(dot + 1);
    for (char &c : ending)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ending == "tga" ? 0 : IL_INVALID_EXTENSION;
}

Report convertFile(const Job &job) {
    const PngProblem problem = checkPngFile(job.path.c_str());
    if (problem.code != 0)
        return failure(Outcome::FailedLoad, problem.code, problem.text);

    ilInit();
    clearPendingErrors();
    if (ilLoadImage(job.path.c_str()) != IL_TRUE)
        return failure(Outcome::FailedLoad, libraryCode(ilGetError(), IL_UNKNOWN_ERROR));

    const std::string outname = outputPathFor(job.path);
    if (outname.empty())
        return failure(Outcome::FailedSave, IL_INVALID_PARAM);
    if (ilGetInteger(IL_IMAGE_WIDTH) > maxTgaSide || ilGetInteger(IL_IMAGE_HEIGHT) > maxTgaSide)
        return failure(Outcome::FailedSave, IL_BAD_DIMENSIONS,
                       "image wider or taller than 65535 pixels, which TGA cannot hold");
    if (const ILenum code = prepareForTga(); code != IL_NO_ERROR)
        return failure(Outcome::FailedSave, static_cast<int>(code));
    // The library would refuse these names before touching any file; the staged name must not
    // change its verdict.
    if (const int code = saveNameProblem(outname); code != 0)
        return failure(Outcome::FailedSave, code);
    if (job.refusal != 0)
        return failure(Outcome::FailedSave, job.refusal);
    if (ilSaveImage(job.staged.c_str()) != IL_TRUE)
        return failure(Outcome::FailedSave, libraryCode(ilGetError(), IL_FILE_WRITE_ERROR));
    return Report{};
}
