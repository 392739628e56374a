#include "staging.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// Staging folders are named after the run's process, so that a later run can tell one whose run
// was killed from one in use.
const std::string prefix = ".ostrelle-staging-";

// Paths arrive as the bytes of the argument vector: UTF-8 on Windows (the manifest asks for it),
// and passed through untouched elsewhere.
fs::path fsPath(const std::string &path) { return fs::u8path(path); }

std::string folderOf(const std::string &path) {
    const std::size_t slash = path.find_last_of("/\\");
    // The root keeps its slash: "/x.tga" lies in "/", not in "".
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

bool processGone(unsigned long pid) {
#ifdef _WIN32
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool gone = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return gone;
#else
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
#endif
}

// Only what a worker saves is ever in a staging folder: files named by number, ending in .tga.
bool isStagedName(const std::string &name) {
    const std::size_t digits = name.find_first_not_of("0123456789");
    return digits > 0 && digits != std::string::npos && name.substr(digits) == ".tga";
}

// Empties and removes a staging folder; anything in it that a worker did not make stays, and so
// does the folder then.
void removeDir(const fs::path &dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (isStagedName(it->path().filename().string()))
            fs::remove(it->path(), ec);
    fs::remove(dir, ec);
}

void removeLeftovers(const std::string &folder) {
    std::error_code ec;
    for (fs::directory_iterator it(fsPath(folder), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0 || !it->is_directory(ec) ||
            it->is_symlink(ec))
            continue;
        const unsigned long pid = std::strtoul(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && processGone(pid))
            removeDir(it->path());
    }
}

std::string makeDir(const std::string &folder) {
#ifdef _WIN32
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string dir = folder + "\\" + prefix + std::to_string(_getpid()) + "-" +
                                std::to_string(GetTickCount64() % 1000000 + attempt);
        if (CreateDirectoryW(fsPath(dir).c_str(), nullptr))
            return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return {};
    }
    return {};
#else
    std::string dir = folder + "/" + prefix + std::to_string(getpid()) + "-XXXXXX";
    return mkdtemp(dir.data()) != nullptr ? dir : std::string();
#endif
}

} // namespace

Staging makeStaging(const std::vector<std::string> &outputs) {
    Staging staging;
    std::map<std::string, std::string> byFolder;
    for (const std::string &output : outputs) {
        if (output.empty()) {
            staging.dirFor.emplace_back();
            continue;
        }
        const std::string folder = folderOf(output);
        auto found = byFolder.find(folder);
        if (found == byFolder.end()) {
            removeLeftovers(folder);
            found = byFolder.emplace(folder, makeDir(folder)).first;
            if (!found->second.empty())
                staging.dirs.push_back(found->second);
        }
        staging.dirFor.push_back(found->second);
    }
    return staging;
}

void removeStaging(const Staging &staging) {
    for (const std::string &dir : staging.dirs)
        removeDir(fsPath(dir));
}

bool somethingAt(const std::string &path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(fsPath(path), ec));
}

Publish publish(const std::string &staged, const std::string &outname) {
#ifdef _WIN32
    if (MoveFileExW(fsPath(staged).c_str(), fsPath(outname).c_str(), 0))
        return Publish::Done;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Publish::Exists
                                                                       : Publish::Failed;
#else
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, outname.c_str(), RENAME_NOREPLACE) == 0)
        return Publish::Done;
    if (errno == EEXIST)
        return Publish::Exists;
    if (errno != EINVAL && errno != ENOSYS)
        return Publish::Failed;
#endif
    // A file system without the no-replace rename: a new link fails where any name stands.
    if (link(staged.c_str(), outname.c_str()) != 0)
        return errno == EEXIST ? Publish::Exists : Publish::Failed;
    unlink(staged.c_str());
    return Publish::Done;
#endif
}

void removeStaged(const std::string &staged) {
    if (!staged.empty())
        std::remove(staged.c_str());
}
