#include "convert.h"
#include "tga.h"

#include "child.h"
#include "pngcheck.h"

#include <IL/il.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace {

// The library's ilGetString gives no text for error codes, so the program keeps its own.
const char *errorText(ILenum code) {
    switch (code) {
    case IL_NO_ERROR: return "no error";
    case IL_INVALID_ENUM: return "invalid enum";
    case IL_OUT_OF_MEMORY: return "out of memory";
    case IL_FORMAT_NOT_SUPPORTED: return "format not supported";
    case IL_INTERNAL_ERROR: return "internal error";
    case IL_INVALID_VALUE: return "invalid value";
    case IL_ILLEGAL_OPERATION: return "illegal operation";
    case IL_ILLEGAL_FILE_VALUE: return "illegal file value";
    case IL_INVALID_FILE_HEADER: return "invalid file header";
    case IL_INVALID_PARAM: return "invalid parameter";
    case IL_COULD_NOT_OPEN_FILE: return "could not open file";
    case IL_INVALID_EXTENSION: return "invalid extension";
    case IL_FILE_ALREADY_EXISTS: return "file already exists";
    case IL_OUT_FORMAT_SAME: return "output format same";
    case IL_STACK_OVERFLOW: return "stack overflow";
    case IL_STACK_UNDERFLOW: return "stack underflow";
    case IL_INVALID_CONVERSION: return "invalid conversion";
    case IL_BAD_DIMENSIONS: return "bad dimensions";
    case IL_FILE_READ_ERROR: return "file read or write error";
    case IL_LIB_GIF_ERROR: return "gif library error";
    case IL_LIB_JPEG_ERROR: return "jpeg library error";
    case IL_LIB_PNG_ERROR: return "png library error";
    case IL_LIB_TIFF_ERROR: return "tiff library error";
    case IL_LIB_MNG_ERROR: return "mng library error";
    case IL_LIB_JP2_ERROR: return "jp2 library error";
    case IL_LIB_EXR_ERROR: return "exr library error";
    case IL_UNKNOWN_ERROR: return "unknown error";
    default: return "unknown error";
    }
}

// The library keeps one stack of errors for the whole process; a file's report must show its own.
void clearPendingErrors() {
    while (ilGetError() != IL_NO_ERROR) {
    }
}

// Prints the four lines of a failed step: what failed, a blank line, the code and its text
// (ownText when given).
void reportFailure(const char *what, ILenum code, const char *ownText = nullptr) {
    std::cout << what << std::endl << std::endl;
    std::printf("The error %d\n", static_cast<int>(code));
    const char *text = ownText != nullptr ? ownText : ilGetString(code);
    std::printf("String is %s\n", text != nullptr ? text : errorText(code));
    std::fflush(stdout);
}

// Paths arrive as the bytes of the argument vector: UTF-8 on Windows (the manifest asks for it),
// and passed through untouched elsewhere.
std::filesystem::path fsPath(const std::string &path) { return std::filesystem::u8path(path); }

// True when anything, even a dangling link, stands at path.
bool somethingAt(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(fsPath(path), ec));
}

// Removes what a failed conversion left at outname; a file that stood there before stays.
void removeLeftover(const std::string &outname, bool existed) {
    if (existed || outname.empty())
        return;
    std::error_code ec;
    std::filesystem::remove(fsPath(outname), ec);
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

// Loads path into the library's current image and saves it as a TGA, reporting either way.
void convertWithLibrary(const char *path) {
    ilInit();
    clearPendingErrors();
    if (ilLoadImage(path) != IL_TRUE) {
        reportFailure("Failed to load:", ilGetError());
        return;
    }

    const std::string outname = outputPathFor(path);
    if (outname.empty()) {
        reportFailure("Failed to save:", IL_INVALID_PARAM);
        return;
    }

    if (ilGetInteger(IL_IMAGE_WIDTH) > maxTgaSide || ilGetInteger(IL_IMAGE_HEIGHT) > maxTgaSide) {
        reportFailure("Failed to save:", IL_BAD_DIMENSIONS,
                      "image wider or taller than 65535 pixels, which TGA cannot hold");
        return;
    }
    if (const ILenum code = prepareForTga(); code != IL_NO_ERROR) {
        reportFailure("Failed to save:", code);
        return;
    }

    // The library never overwrites; a file that was there before is never touched by us either.
    const bool existed = somethingAt(outname);
    bool saved = ilSaveImage(outname.c_str()) == IL_TRUE;
    ILenum code = saved ? IL_NO_ERROR : ilGetError();
    if (saved && !finishTga(outname)) {
        saved = false;
        code = IL_FILE_WRITE_ERROR;
    }
    if (!saved) {
        removeLeftover(outname, existed);
        reportFailure("Failed to save:", code);
        return;
    }
    std::cout << "Done!\nPress any key to continue." << std::endl;
}

} // namespace

std::string outputPathFor(const std::string &path) {
    // Too short to drop three bytes: there is no sound output name.
    if (path.size() < 3)
        return {};
    return path.substr(0, path.size() - 3) + "tga";
}

void convertFile(const char *path) {
    const PngProblem problem = checkPngFile(path);
    if (problem.code != 0) {
        reportFailure("Failed to load:", static_cast<ILenum>(problem.code), problem.text.c_str());
        return;
    }

    const std::string outname = outputPathFor(path);
    const bool existed = !outname.empty() && somethingAt(outname);
    const ChildResult child = runInChild(convertWithLibrary, path);
    if (child.ok) {
        std::fwrite(child.output.data(), 1, child.output.size(), stdout);
        std::fflush(stdout);
        return;
    }
    // Whatever the child printed before it failed is dropped: the user sees one report per file.
    removeLeftover(outname, existed);
    reportFailure("Failed to load:", IL_INTERNAL_ERROR, child.why.c_str());
}

bool convertAsChild(int argc, char **argv) {
    if (!isChildProcess() || argc != 2)
        return false;
    convertWithLibrary(argv[1]);
    std::cout.flush();
    std::fflush(stdout);
    return true;
}
