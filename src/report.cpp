#include "report.h"

#include <IL/il.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#endif

Report failure(Outcome outcome, int code) { return failure(outcome, code, errorText(code)); }

Report failure(Outcome outcome, int code, std::string text) {
    return Report{outcome, code, std::move(text)};
}

namespace {

std::string size(std::uint32_t width, std::uint32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

const char *stepName(std::uint32_t step) {
    static const char *const names[] = {"no-new-privs",
                                        "capabilities",
                                        "landlock version",
                                        "landlock_create_ruleset",
                                        "landlock_restrict_self",
                                        "seccomp rule",
                                        "seccomp_load",
                                        "a session of its own",
                                        "OpenProcessToken",
                                        "GetTokenInformation(TokenPrivileges)",
                                        "AdjustTokenPrivileges",
                                        "privileges left after their removal",
                                        "SetTokenInformation(TokenIntegrityLevel)",
                                        "GetTokenInformation(TokenIntegrityLevel)",
                                        "the integrity level read back",
                                        "RevertToSelf"};
    static_assert(std::size(names) == static_cast<std::size_t>(ConfineStep::Count));
    return step < std::size(names) ? names[step] : "an unknown step";
}

// The system's words for an error code of this platform.
std::string systemError(std::uint32_t code) {
#ifdef _WIN32
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    // Its messages end in a full stop and a line end, which the report's line has of its own.
    while (n > 0 && std::strchr(" .\r\n", text[n - 1]) != nullptr)
        --n;
    return "error " + std::to_string(code) + (n > 0 ? " (" + std::string(text, n) + ")" : "");
#else
    return std::strerror(static_cast<int>(code));
#endif
}

// What went wrong at a step: for most, an error code; for the checks that read a token back,
// what they found there.
std::string stepError(std::uint32_t step, std::uint32_t error) {
    if (step == static_cast<std::uint32_t>(ConfineStep::PrivilegesLeft))
        return std::to_string(error) + " still held";
    if (step == static_cast<std::uint32_t>(ConfineStep::IntegrityLeft)) {
        char level[16];
        std::snprintf(level, sizeof level, "0x%04X", static_cast<unsigned>(error));
        return std::string("level ") + level + ", not untrusted";
    }
    return systemError(error);
}

} // namespace

std::string textFor(TextId id, int code, std::uint32_t first, std::uint32_t second) {
    switch (id) {
    case TextId::Library: return errorText(code);
    case TextId::Truncated: return "file is truncated";
    case TextId::HeaderMisplaced: return "the PNG header chunk is missing or misplaced";
    case TextId::ImpossibleLength: return "a chunk declares an impossible length";
    case TextId::ImpossibleSize: return "impossible image size: " + size(first, second);
    case TextId::TooLarge: return "image too large: " + size(first, second);
    case TextId::TooLargeForTga:
        return "image wider or taller than 65535 pixels, which TGA cannot hold";
    case TextId::SandboxFailed:
        return std::string("the worker's sandbox could not be applied: ") + stepName(first) + ": " +
               stepError(first, second);
    case TextId::Count: break;
    }
    return {};
}

void printReport(const Report &report) {
    if (report.outcome == Outcome::Done) {
        std::cout << "Done!\nPress any key to continue." << std::endl;
        return;
    }
    std::cout << (report.outcome == Outcome::FailedLoad ? "Failed to load:" : "Failed to save:")
              << std::endl
              << std::endl;
    std::printf("The error %d\n", report.code);
    std::printf("String is %s\n", report.text.c_str());
    std::fflush(stdout);
}

// The library's ilGetString gives no text for error codes, so the program keeps its own.
const char *errorText(int code) {
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
    default: return "unknown error";
    }
}
