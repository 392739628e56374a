// The file-system calls of fs.h on Windows. Paths arrive as UTF-8, the form main gives the
// arguments Windows hands over in UTF-16; a path that is not UTF-8 names no file at all.
#include "fs.h"
#include "testonly.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <random>

const NativeFile noFile = INVALID_HANDLE_VALUE;

namespace {

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool isSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

// True for a name that Windows takes for a device in any folder and with any ending: CON, AUX,
// COM1 and the like, whatever follows a dot or trailing spaces.
bool isDeviceName(std::wstring name) {
    name = name.substr(0, name.find(L'.'));
    while (!name.empty() && name.back() == L' ')
        name.pop_back();
    for (const wchar_t *device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (_wcsicmp(name.c_str(), device) == 0)
            return true;
    // COM0 to COM9 and LPT0 to LPT9, superscript digits too.
    return name.size() == 4 &&
           (_wcsnicmp(name.c_str(), L"COM", 3) == 0 || _wcsnicmp(name.c_str(), L"LPT", 3) == 0) &&
           std::wcschr(L"0123456789\u00B9\u00B2\u00B3", name[3]) != nullptr;
}

// True for a path that reaches something other than a file in a folder: the device namespaces
// (\\.\, \\?\ and \??\), a pipe or mailslot share, or a device name as the last part.
bool reachesDevice(const std::wstring &path) {
    if (path.size() >= 4 && isSlash(path[0]) && (isSlash(path[1]) || path[1] == L'?') &&
        (path[2] == L'.' || path[2] == L'?') && isSlash(path[3]))
        return true;
    if (path.size() >= 2 && isSlash(path[0]) && isSlash(path[1])) {
        // \\host\share\...: a share named pipe or mailslot is no folder.
        const std::size_t at = path.find_first_of(L"\\/", 2);
        const std::size_t end = at == std::wstring::npos ? at : path.find_first_of(L"\\/", at + 1);
        const std::wstring share =
            at == std::wstring::npos ? L"" : path.substr(at + 1, end - at - 1);
        if (_wcsicmp(share.c_str(), L"pipe") == 0 || _wcsicmp(share.c_str(), L"mailslot") == 0)
            return true;
    }
    const std::size_t slash = path.find_last_of(L"\\/:");
    return isDeviceName(path.substr(slash == std::wstring::npos ? 0 : slash + 1));
}

// The UTF-16 form of UTF-8 text, or "" when it is not UTF-8 or cannot be a path.
std::wstring wideOf(const std::string &text) {
    if (text.empty() || text.size() > 32767 || text.find('\0') != std::string::npos)
        return {};
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, out.data(), n) != n)
        return {};
    return out;
}

// The full path of name in the \\?\ form, which passes the 260 characters that Windows allows
// other paths; "" when Windows takes name for no file path. That form reaches the file system as
// it is spelt, so it is only made from the full path Windows itself normalised.
std::wstring longForm(const std::wstring &name) {
    std::wstring full(GetFullPathNameW(name.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD n = full.empty() ? 0
                                 : GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()),
                                                    full.data(), nullptr);
    if (n == 0 || n >= full.size())
        return {};
    full.resize(n);
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\')
        return L"\\\\?\\" + full;
    // \\host\share\...; \\.\ and \\?\ would be devices, which no checked name becomes.
    if (full.size() >= 3 && full[0] == L'\\' && full[1] == L'\\' && full[2] != L'.' &&
        full[2] != L'?')
        return L"\\\\?\\UNC\\" + full.substr(2);
    return {};
}

// True when name begins with a drive's root, "X:\\".
bool startsAtDriveRoot(const std::wstring &name) {
    return name.size() >= 3 &&
           ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z')) &&
           name[1] == L':' && isSlash(name[2]);
}

// The path as the program's own calls take it, or "" when it is not UTF-8 or reaches a device or
// pipe. Only the user's spelling is checked for devices: the \\?\ form is the program's own.
// A user may spell a file in the device namespaces too: \\?\C:\... and \\?\UNC\host\share\...
// reach the file system as they are spelt, which is what the program makes of other paths, and
// \\.\C:\... is C:\... with its dots and slashes resolved. Any other name there is a device.
std::wstring fileName(const std::string &path) {
    std::wstring name = wideOf(path);
    if (name.compare(0, 4, L"\\\\?\\") == 0) {
        const std::wstring rest = name.substr(4);
        if (startsAtDriveRoot(rest) && rest[2] == L'\\' && rest.size() > 3)
            return name;
        // \\?\UNC\host\share\...: a share named pipe or mailslot is no folder.
        if (_wcsnicmp(rest.c_str(), L"UNC\\", 4) == 0 && rest.size() > 4 &&
            !reachesDevice(L"\\\\" + rest.substr(4)))
            return name;
        return {};
    }
    if (name.size() >= 4 && isSlash(name[0]) && isSlash(name[1]) && name[2] == L'.' &&
        isSlash(name[3]) && startsAtDriveRoot(name.substr(4)) && name.size() > 7)
        name.erase(0, 4);
    return name.empty() || reachesDevice(name) ? std::wstring() : longForm(name);
}

// The UTF-8 form of a path Windows gave, or "" when it holds something UTF-8 cannot.
std::string utf8Of(const std::wstring &path) {
    const int size = static_cast<int>(path.size());
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.data(), size, nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.data(), size, out.data(), n, nullptr,
                        nullptr);
    return out;
}

// Opens the file or folder at name, following links, only to ask about it.
HANDLE openToAsk(const std::wstring &name) {
    return name.empty() ? INVALID_HANDLE_VALUE
                        : CreateFileW(name.c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// True for an error that another program holding the file gives: an indexer or a virus scanner
// that opened it a moment ago. On a file the run has just made, such a program also makes a
// rename or delete fail as access denied.
bool heldElsewhere(DWORD error, bool ours) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           (ours && error == ERROR_ACCESS_DENIED);
}

// Calls attempt, which returns false with the last error set, again while it fails because
// another program holds the file, for about 2 s at most; true once it succeeds.
template <typename Attempt> bool whileHeld(bool ours, Attempt attempt) {
    DWORD wait = 20, waited = 0;
    while (!attempt()) {
        const DWORD error = GetLastError();
        if (!heldElsewhere(error, ours) || waited >= 2000) {
            SetLastError(error);
            return false;
        }
        Sleep(wait);
        waited += wait;
        wait = std::min<DWORD>(wait * 2, 500);
    }
    return true;
}

// Where the last part of path begins: after its folder as path spells it, separator included.
std::size_t nameStart(const std::string &path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos)
        return slash + 1;
    return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

std::string hex(std::uint64_t value) {
    char text[20];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string nameOf(const std::string &path) { return path.substr(nameStart(path)); }

std::string foldedName(const std::string &name) {
    // Windows' file systems tell names apart as CompareStringOrdinal does when it ignores case:
    // each UTF-16 unit upper-cased by the invariant table, whatever the user's language. That
    // table has no letters past U+FFFF, whose halves keep their case.
    const std::wstring wide = wideOf(name);
    if (wide.empty())
        return name;
    std::wstring upper(wide.size(), L'\0');
    const int size = static_cast<int>(wide.size());
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), size, upper.data(), size,
                      nullptr, nullptr, 0) != size)
        return name;
    for (std::size_t i = 0; i < wide.size(); ++i)
        if (wide[i] >= 0xD800 && wide[i] <= 0xDFFF)
            upper[i] = wide[i];
    const std::string folded = utf8Of(upper);
    return folded.empty() ? name : folded;
}

std::string folderOf(const std::string &path) {
    const std::size_t start = nameStart(path);
    if (start == 0)
        return ".";
    // "E:x.tga" lies in "E:", that drive's current folder; a root keeps its separator, so that
    // "\x.tga" lies in "\", "E:\x.tga" in "E:\" and "\\?\E:\x.tga" in "\\?\E:\".
    const std::size_t drive = path.size() >= 7 && isSeparator(path[0]) && isSeparator(path[1]) &&
                                      (path[2] == '?' || path[2] == '.') && isSeparator(path[3])
                                  ? 4
                                  : 0;
    const bool root = start == 1 || (start == drive + 3 && path[drive + 1] == ':' &&
                                     isSeparator(path[drive + 2]));
    return path.substr(0, root || !isSeparator(path[start - 1]) ? start : start - 1);
}

std::string fileIdentity(const std::string &path) {
    const HANDLE file = openToAsk(fileName(path));
    if (file == INVALID_HANDLE_VALUE)
        return {};
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!known)
        return {};
    return hex(info.dwVolumeSerialNumber) + ":" +
           hex(std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow);
}

std::string resolvedPath(const std::string &path) {
    const HANDLE file = openToAsk(fileName(path));
    if (file == INVALID_HANDLE_VALUE)
        return path;
    std::wstring buffer(32768, L'\0');
    const DWORD n =
        GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(file);
    if (n == 0 || n >= buffer.size())
        return path;
    buffer.resize(n);
    // Windows answers in its own namespace, \\?\C:\... or \\?\UNC\host\...: as the user spells
    // them, they name the same file.
    if (buffer.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        buffer.replace(0, 8, L"\\\\");
    else if (buffer.compare(0, 4, L"\\\\?\\") == 0)
        buffer.erase(0, 4);
    const std::string resolved = utf8Of(buffer);
    return resolved.empty() ? path : resolved;
}

bool isLink(const std::string &path) {
    const std::wstring name = fileName(path);
    const DWORD attributes =
        name.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool somethingAt(const std::string &path) {
    // No file can have a name that is not UTF-8, and nothing is ever written to a device.
    const std::wstring name = fileName(path);
    if (name.empty())
        return false;
    if (GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

NativeFile openInput(const std::string &path) {
    // Looked at first, so that nothing but a file is ever opened by name.
    const std::wstring name = fileName(path);
    const DWORD attributes =
        name.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return noFile;
    // Should a pipe stand there by now after all, its server may not act in this user's name.
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!whileHeld(false, [&] {
            file = CreateFileW(
                name.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING,
                FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
            return file != INVALID_HANDLE_VALUE;
        }))
        return noFile;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(file);
        return noFile;
    }
    return file;
}

void closeFile(NativeFile file) {
    if (file != noFile && file != nullptr)
        CloseHandle(file);
}

NativeFile makeScratch() {
    std::wstring folder(MAX_PATH + 1, L'\0');
    const DWORD n = GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
    if (n == 0 || n >= folder.size())
        return noFile;
    folder.resize(n);
    // Gone as soon as the run and its worker have both let go of it, however they end.
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = folder + L"ostrelle-" + std::to_wstring(entropy()) +
                                  std::to_wstring(entropy()) + L".tmp";
        const HANDLE file =
            CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, shareAll, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    return noFile;
}

bool sealScratch(NativeFile scratch) {
    // Windows has no seals. Nothing the worker holds reaches what is published all the same:
    // publishNew copies the scratch file into a new file of the run's own, whose header the run
    // wrote from the bytes it read and checked, and whose length the run fixed; the worker can
    // at most change pixels it chose anyway, or shorten the file, which makes the copy fail.
    return scratch != noFile;
}

bool sizeOf(NativeFile file, std::uint64_t &size) {
    LARGE_INTEGER bytes{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &bytes) || bytes.QuadPart < 0)
        return false;
    size = static_cast<std::uint64_t>(bytes.QuadPart);
    return true;
}

bool readAt(NativeFile file, void *to, std::size_t size, std::uint64_t at) {
    auto *bytes = static_cast<char *>(to);
    while (size > 0) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
        DWORD n = 0;
        if (!ReadFile(file, bytes, chunk, &n, &where) || n == 0)
            return false;
        bytes += n;
        size -= n;
        at += n;
    }
    return true;
}

namespace {

// What holds off the end of a run: the run's thread holds it for each EndingHeld, and the console
// control handler, which runs on a thread of its own beside the run's, takes it for good before it
// ends the run. Made before main, and so before any handler.
struct EndingLock {
    CRITICAL_SECTION section;
    EndingLock() { InitializeCriticalSection(&section); }
} endingLock;

// The temporary file of publishNew while it exists, for removeTemporaryNow, which a console
// control handler calls on a thread of its own: `armed` is set last and taken first, and the
// handler comes only between EndingHeld sections, so never between making the file and noting it
// here, nor between naming it and forgetting it.
struct Temporary {
    wchar_t name[32768] = {};
    DWORD volume = 0, indexHigh = 0, indexLow = 0;
    std::atomic<bool> armed{false};
} temporary;

bool writeAll(HANDLE file, const char *data, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
        DWORD n = 0;
        if (!WriteFile(file, data, chunk, &n, nullptr) || n == 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool copyRange(HANDLE to, HANDLE from, std::uint64_t offset, std::uint64_t length) {
    static char buffer[1 << 16];
    while (length > 0) {
        const std::size_t chunk = length < sizeof buffer ? length : sizeof buffer;
        if (!readAt(from, buffer, chunk, offset) || !writeAll(to, buffer, chunk))
            return false;
        offset += chunk;
        length -= chunk;
    }
    return true;
}

bool writeContents(HANDLE file, const Contents &c) {
    return writeAll(file, c.head.data(), c.head.size()) &&
           copyRange(file, c.from, c.offset, c.length) &&
           writeAll(file, c.tail.data(), c.tail.size());
}

// A new hidden file beside path, kept in `temporary` until it is named or removed; it may be
// deleted by name meanwhile, by removeTemporaryNow. A run ended while it is made ends once it is
// noted, so that the handler finds it.
HANDLE hiddenFile(const std::string &path) {
    const EndingHeld held;
    const std::size_t start = nameStart(path);
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Short, so that the hidden name fits wherever the final one does.
        const std::wstring name = fileName(path.substr(0, start) + ".ostrelle-" + hex(entropy()) +
                                           hex(entropy()) + ".part");
        if (name.empty() || name.size() >= sizeof temporary.name / sizeof(wchar_t))
            return INVALID_HANDLE_VALUE;
        const HANDLE file =
            CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
            continue;
        BY_HANDLE_FILE_INFORMATION info{};
        if (file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info)) {
            std::wmemcpy(temporary.name, name.c_str(), name.size() + 1);
            temporary.volume = info.dwVolumeSerialNumber;
            temporary.indexHigh = info.nFileIndexHigh;
            temporary.indexLow = info.nFileIndexLow;
            temporary.armed = true;
        }
        return file;
    }
    return INVALID_HANDLE_VALUE;
}

// Makes the hidden file an ordinary one again, as the file published from it must be.
bool unhide(HANDLE file) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

} // namespace

EndingHeld::EndingHeld() { EnterCriticalSection(&endingLock.section); }

EndingHeld::~EndingHeld() { LeaveCriticalSection(&endingLock.section); }

void holdEndingForGood() { EnterCriticalSection(&endingLock.section); }

void removeTemporaryNow() {
    if (!temporary.armed.exchange(false))
        return;
    // Only the file this run made: whatever another process has put at that name stays.
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!whileHeld(true, [&] {
            file = CreateFileW(temporary.name, DELETE, shareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            return file != INVALID_HANDLE_VALUE;
        }))
        return;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file, &info) && info.dwVolumeSerialNumber == temporary.volume &&
        info.nFileIndexHigh == temporary.indexHigh && info.nFileIndexLow == temporary.indexLow) {
        FILE_DISPOSITION_INFO dispose{TRUE};
        SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
    }
    CloseHandle(file);
}

Publish publishNew(const std::string &path, const Contents &contents) {
    const std::wstring name = fileName(path);
    if (name.empty())
        return Publish::CannotCreate;
    // Written under a hidden name first, so that nothing at path is ever a part of the file.
    const HANDLE hidden = hiddenFile(path);
    if (hidden == INVALID_HANDLE_VALUE)
        return Publish::CannotCreate;
    const bool written = writeContents(hidden, contents) && unhide(hidden);
    CloseHandle(hidden);
    if (testOnly().publishPauseMs > 0)
        Sleep(static_cast<DWORD>(testOnly().publishPauseMs));
    // A run ended meanwhile has removed the file; one ended from here on ends once the file has
    // its name and is forgotten, or is removed.
    const EndingHeld held;
    Publish result = Publish::WriteFailed;
    // Without MOVEFILE_REPLACE_EXISTING, the move fails where anything stands.
    if (written && whileHeld(true, [&] { return MoveFileExW(temporary.name, name.c_str(), 0); })) {
        temporary.armed = false;
        return Publish::Done;
    }
    if (written) {
        const DWORD error = GetLastError();
        result = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
                     ? Publish::Exists
                     : Publish::CannotCreate;
    }
    removeTemporaryNow();
    return result;
}
