// The file-system calls of fs.h on POSIX systems.
#include "fs.h"

#include "testonly.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/mman.h>
#include <sys/sendfile.h>
#endif

const NativeFile noFile = -1;

bool isSeparator(char c) { return c == '/'; }

std::string folderOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    // The root keeps its slash: "/x.tga" lies in "/", not in "".
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string nameOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string foldedName(const std::string &name) {
    // Most file systems here tell cases apart, but a FAT or NTFS volume does not; at worst, two
    // files of a volume that does then convert one at a time.
    std::string folded = name;
    for (char &c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

std::string fileIdentity(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

std::string resolvedPath(const std::string &path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

bool isLink(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool somethingAt(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

NativeFile openInput(const std::string &path) {
    // Looked at first, so that a pipe or a device is never opened (which may wait or act).
    struct stat before {};
    if (stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode))
        return noFile;
    // Without waiting, in case something else stands there by now; then it must be that file.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != before.st_ino ||
                    st.st_dev != before.st_dev || fcntl(fd, F_SETFL, 0) != 0)) {
        close(fd);
        return noFile;
    }
    return fd;
}

void closeFile(NativeFile file) {
    if (file >= 0)
        close(file);
}

NativeFile makeScratch() {
#ifdef __linux__
    return memfd_create("ostrelle-output", MFD_CLOEXEC | MFD_ALLOW_SEALING);
#else
    FILE *f = std::tmpfile();
    return f != nullptr ? dup(fileno(f)) : -1;
#endif
}

bool sealScratch(NativeFile scratch) {
#ifdef __linux__
    // Fails while anyone maps it writable; from then on nobody can change its bytes or size.
    return fcntl(scratch, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) ==
           0;
#else
    (void)scratch;
    return false;
#endif
}

bool sizeOf(NativeFile file, std::uint64_t &size) {
    struct stat st {};
    if (fstat(file, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool readAt(NativeFile file, void *to, std::size_t size, std::uint64_t at) {
    return pread(file, to, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
}

namespace {

// The temporary file of publishNew while it exists, for removeTemporaryNow. The run is one
// thread, so only a signal handler can come between; `armed` is set last and cleared first.
struct Temporary {
    int folder = -1;
    char name[NAME_MAX + 1] = {};
    dev_t device = 0;
    ino_t inode = 0;
    volatile std::sig_atomic_t armed = 0;
} temporary;

bool writeAll(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool copyRange(int to, int from, std::uint64_t offset, std::uint64_t length) {
#ifdef __linux__
    // In the kernel, without passing the bytes through this process.
    off_t at = static_cast<off_t>(offset);
    while (length > 0) {
        const ssize_t n = sendfile(to, from, &at, length < (1u << 30) ? length : (1u << 30));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS) && at == static_cast<off_t>(offset))
            break; // not for these files: copied below
        if (n <= 0)
            return false;
        length -= static_cast<std::uint64_t>(n);
    }
    if (length == 0)
        return true;
#endif
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

bool writeContents(int fd, const Contents &c) {
    const bool written = writeAll(fd, c.head.data(), c.head.size()) &&
                         copyRange(fd, c.from, c.offset, c.length) &&
                         writeAll(fd, c.tail.data(), c.tail.size());
    // Tests end a run at this moment, which is otherwise too short to meet reliably.
    if (testOnly().publishPauseMs > 0)
        usleep(static_cast<useconds_t>(testOnly().publishPauseMs) * 1000);
    return written;
}

// An unnamed file in folder, which only a link can make visible.
int unnamedFile(int folder) {
#ifdef O_TMPFILE
    if (!testOnly().noTmpfile)
        return openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#endif
    errno = EOPNOTSUPP;
    return -1;
}

// Gives the unnamed file fd the name `name` in folder, failing where anything stands.
Publish linkUnnamed(int fd, int folder, const std::string &name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return Publish::Done;
    return errno == EEXIST ? Publish::Exists : Publish::CannotCreate;
}

// A new hidden file beside the output, kept in `temporary` until it is named or removed. The
// signals that end a run wait while it is made and noted, so that the run's handler finds it.
int hiddenFile(int folder, const std::string &name) {
    const EndingHeld held;
    std::random_device entropy;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", entropy());
        const std::string hidden = "." + name.substr(0, NAME_MAX - 30) + "." + suffix + ".part";
        fd = openat(folder, hidden.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                    0666);
        struct stat st {};
        if (fd >= 0 && fstat(fd, &st) == 0) {
            temporary.folder = folder;
            std::memcpy(temporary.name, hidden.c_str(), hidden.size() + 1);
            temporary.device = st.st_dev;
            temporary.inode = st.st_ino;
            temporary.armed = 1;
        }
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
}

// Renames the hidden file onto name without replacing anything that stands there, by the first
// way the file system offers.
Publish nameHidden(int folder, const std::string &name) {
    const char *hidden = temporary.name;
    const int refused = testOnly().noRenameOrLink;
#ifdef RENAME_NOREPLACE
    if (refused < 1 && renameat2(folder, hidden, folder, name.c_str(), RENAME_NOREPLACE) == 0)
        return Publish::Done;
    if (refused < 1 && errno == EEXIST)
        return Publish::Exists;
#endif
    if (refused < 2 && linkat(folder, hidden, folder, name.c_str(), 0) == 0)
        return Publish::Done; // the hidden name is removed below
    if (refused < 2 && errno == EEXIST)
        return Publish::Exists;
    // Neither: a file of this run's own at the name keeps everyone else out, and is replaced.
    const int placeholder =
        openat(folder, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (placeholder < 0)
        return errno == EEXIST ? Publish::Exists : Publish::CannotCreate;
    close(placeholder);
    if (renameat(folder, hidden, folder, name.c_str()) == 0)
        return Publish::Done;
    unlinkat(folder, name.c_str(), 0);
    return Publish::CannotCreate;
}

} // namespace

// The signals that end a run wait until the mask before is set again.
EndingHeld::EndingHeld() {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&ending, sig);
    sigprocmask(SIG_BLOCK, &ending, &previous_);
}

EndingHeld::~EndingHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

void holdEndingForGood() {}

void removeTemporaryNow() {
    if (!temporary.armed)
        return;
    temporary.armed = 0;
    // Only the file this run made: whatever another process has put at that name stays.
    struct stat st {};
    if (fstatat(temporary.folder, temporary.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == temporary.device && st.st_ino == temporary.inode)
        unlinkat(temporary.folder, temporary.name, 0);
}

namespace {

// The output folder of path, kept open from one file to the next: most runs write into one
// folder, and looking it up is a path walk of its own. -1 when it cannot be opened.
int outputFolder(const std::string &path) {
    static std::string lastPath;
    static int last = -1;
    const std::string wanted = folderOf(path);
    if (last >= 0 && wanted == lastPath)
        return last;
    const int folder = open(wanted.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return -1;
    if (last >= 0)
        close(last);
    lastPath = wanted;
    last = folder;
    return folder;
}

} // namespace

Publish publishNew(const std::string &path, const Contents &contents) {
    const int folder = outputFolder(path);
    if (folder < 0)
        return Publish::CannotCreate;
    const std::string name = nameOf(path);
    Publish result = Publish::CannotCreate;
    if (const int fd = unnamedFile(folder); fd >= 0) {
        result =
            !writeContents(fd, contents) ? Publish::WriteFailed : linkUnnamed(fd, folder, name);
        close(fd);
    } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        // No unnamed files here: a hidden name of this run's own, then the final name.
        if (const int hidden = hiddenFile(folder, name); hidden >= 0) {
            const bool written = writeContents(hidden, contents);
            close(hidden);
            // A run ended between claiming the name and renaming onto it would leave an empty
            // file there: the signals wait until the name is the whole file's.
            const EndingHeld held;
            result = written ? nameHidden(folder, name) : Publish::WriteFailed;
            removeTemporaryNow();
        }
    }
    return result;
}
