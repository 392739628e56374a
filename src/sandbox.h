// Confining the worker process that hands files to the image library, so that a file which takes
// the library over gains little more than the worker's own staged output.
#pragma once

#include <string>
#include <vector>

// What confineWorker applied, for the README's promise and for the parent's report.
struct SandboxStatus {
    bool ok = false;     // false: a mechanism the kernel offers could not be applied
    std::string applied; // e.g. "landlock ABI 7, no-new-privs, seccomp"; empty when none exists
    std::string why;     // what failed, when !ok
};

// Confines the calling process for good, best effort by what the kernel offers: afterwards it may
// read only the files named in inputs, create and write regular files only beneath stagingDirs,
// and never execute a program, open a network socket, ptrace or signal another process, or change
// its own limits.
SandboxStatus confineWorker(const std::vector<std::string> &inputs,
                            const std::vector<std::string> &stagingDirs);
