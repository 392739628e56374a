#include "convert.h"

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

// Prints the four lines of a failed step: what failed, a blank line, the code and its text.
void reportFailure(const char *what, ILenum code) {
    std::cout << what << std::endl << std::endl;
    std::printf("The error %d\n", static_cast<int>(code));
    const char *text = ilGetString(code);
    std::printf("String is %s\n", text != nullptr ? text : errorText(code));
    std::fflush(stdout);
}

// True when anything, even a dangling link, stands at path.
bool somethingAt(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Puts a colour image in the 8-bit BGR(A) layout that TGA stores, when the library can.
// The TGA writer otherwise swaps red and blue in place before writing and back after it, and
// converts deeper samples into a copy first; ilConvertImage does the same in one pass, in place
// for 8-bit samples. When it cannot, the writer's own way still gives the same file.
void preferTgaLayout() {
    const ILint format = ilGetInteger(IL_IMAGE_FORMAT);
    const ILenum target = format == IL_RGB || format == IL_BGR     ? IL_BGR
                          : format == IL_RGBA || format == IL_BGRA ? IL_BGRA
                                                                   : 0;
    if (target == 0)
        return;
    if (ilConvertImage(target, IL_UNSIGNED_BYTE) != IL_TRUE)
        clearPendingErrors();
}

// Loads path into the library's current image and saves it as a TGA, reporting either way.
void convertWithLibrary(const char *path) {
    ilInit();
    // TGA rows go bottom first. Asked for that origin, the library turns the rows over in place
    // as it loads; otherwise its writer copies the whole image into a second, turned-over one.
    ilEnable(IL_ORIGIN_SET);
    ilOriginFunc(IL_ORIGIN_LOWER_LEFT);
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

    preferTgaLayout();
    // The library never overwrites; a file that was there before is never touched by us either.
    const bool existed = somethingAt(outname);
    if (ilSaveImage(outname.c_str()) != IL_TRUE) {
        const ILenum code = ilGetError();
        if (!existed) {
            std::error_code ec;
            std::filesystem::remove(outname, ec);
        }
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

void convertFile(const char *path) { convertWithLibrary(path); }
