// The few file-system calls the shared files need, one implementation per platform.
#pragma once

#include <cstdint>
#include <string>

#ifndef _WIN32
#include <csignal>
#endif

#ifdef _WIN32
using NativeFile = void *; // a HANDLE
#else
using NativeFile = int; // a descriptor
#endif

// The value of no file.
extern const NativeFile noFile;

// True for a character that separates folders on this platform.
bool isSeparator(char c);

// The folder a path lies in, as a path that names that folder itself ("." for a bare name).
std::string folderOf(const std::string &path);

// The name at the end of path: what its entry is called in folderOf(path).
std::string nameOf(const std::string &path);

// name as the file system tells names apart: two names of one entry fold to one string.
std::string foldedName(const std::string &name);

// The identity of the file or folder at path, following links, or "" when there is none.
std::string fileIdentity(const std::string &path);

// The path with its links and dots resolved as far as it exists, or path itself when not.
std::string resolvedPath(const std::string &path);

// True when path is itself a link.
bool isLink(const std::string &path);

// True when anything, even a dangling link, stands at path.
bool somethingAt(const std::string &path);

// Opens path for reading, following links, when it is a regular file; noFile for anything else
// (missing, unreadable, a folder, a pipe or a device, none of which is opened to find out).
NativeFile openInput(const std::string &path);

// Closes a file of this layer; noFile is left alone.
void closeFile(NativeFile file);

// A fresh, empty scratch file that a worker writes an output into; noFile when none can be made.
NativeFile makeScratch();

// Makes scratch unchangeable from now on, through whatever handle anyone holds to it; false when
// that cannot be made sure (a writable mapping of it exists, say).
bool sealScratch(NativeFile scratch);

// The size of file, or false.
bool sizeOf(NativeFile file, std::uint64_t &size);

// Reads size bytes at offset at of file; false unless all came.
bool readAt(NativeFile file, void *to, std::size_t size, std::uint64_t at);

enum class Publish { Done, Exists, CannotCreate, WriteFailed };

// What a published file holds: head, then length bytes of from at offset, then tail.
struct Contents {
    std::string head;
    NativeFile from;
    std::uint64_t offset = 0, length = 0;
    std::string tail;
};

// Writes contents as a new file at path, with the mode a new file gets, without ever replacing
// what stands there or leaving anything at path unless the whole file is in place.
Publish publishNew(const std::string &path, const Contents &contents);

// Removes the temporary file that publishNew is writing, if any: for a signal handler, so only
// calls a handler may make.
void removeTemporaryNow();

// While one lives, a run that is ended (Ctrl-C, SIGINT, SIGTERM, SIGHUP, the console closed) ends
// only once it is gone: for what must happen whole or not at all, such as making a temporary
// file and noting it for removeTemporaryNow, or naming an output and printing its report. They
// nest.
class EndingHeld {
  public:
    EndingHeld();
    ~EndingHeld();
    EndingHeld(const EndingHeld &) = delete;
    EndingHeld &operator=(const EndingHeld &) = delete;

  private:
#ifndef _WIN32
    sigset_t previous_;
#endif
};

// For the handler that ends a run: waits until no EndingHeld lives, and from then on makes any
// new one wait for good, so that the run does nothing more of its own while the handler ends it.
// On POSIX the handler runs on the run's own thread, where the signals wait while one lives, so
// there is nothing to wait for; on Windows it runs on a thread of its own, beside the run.
void holdEndingForGood();
