// Running one file's library work in a process of its own, under limits, so that whatever the
// library does with a hostile file, the run survives it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

// The bounds a child gets.
struct ChildLimits {
    std::uint64_t memoryBytes = 0; // address space (POSIX) or committed memory (Windows)
    std::uint64_t outputBytes = 0; // largest file the child may write
    int seconds = 0;               // wall-clock time
};

// The limits for this machine: a share of its physical memory, fixed file and time bounds.
ChildLimits childLimits();

// The bounds for a machine with physicalBytes of memory. Three quarters of it lets any image that
// fits convert; 2 GiB is the most output the library's 32-bit sizes make soundly; 120 s is many
// times the largest real conversion.
inline ChildLimits limitsFor(std::uint64_t physicalBytes) {
    ChildLimits limits;
    limits.memoryBytes = physicalBytes / 4 * 3;
    limits.outputBytes = (std::uint64_t{2} << 30) + (std::uint64_t{1} << 20);
    limits.seconds = 120;
    // Lets the tests reach the time bound quickly; not meant for users.
    if (const char *s = std::getenv("OSTRELLE_TEST_ONLY_SECONDS"); s != nullptr && std::atoi(s) > 0)
        limits.seconds = std::atoi(s);
    return limits;
}

// How a child ended: ok with everything it printed, or not ok with what went wrong.
struct ChildResult {
    bool ok = false;
    std::string output;
    std::string why;
};

// Runs work(path) in a child under childLimits(), collecting what it prints on standard output.
ChildResult runInChild(void (*work)(const char *), const char *path);

// True in a process that was started by runInChild to do one file's work (Windows only).
bool isChildProcess();

// Exit status of a child whose memory allocation failed in the program's own code.
constexpr int childOutOfMemoryStatus = 70;
