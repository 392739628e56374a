// The acts the stand-in for a taken-over worker tries, in the order of the bits of its answer.
#pragma once

#include <string>

namespace evil {

// Names of the acts; bit i of the stand-in's answer code is set when act i was not refused.
inline const char *const acts[] = {
    "read /etc/passwd",
    "read a file beside the input",
    "list the input's folder",
    "create a file in the input's folder",
    "overwrite a file there",
    "create a file in /tmp",
    "make a link",
    "start a process",
    "connect to a local port",
    "bind a TCP port",
    "signal the run",
    "raise a resource limit",
    "type into the terminal",
    "open the terminal",
    "change a file's mode",
    "change a file's owner",
    "change a file's times",
    "set an extended attribute",
    "look at a path",
    "watch a folder",
    "read the environment",
    "clear the parent-death signal",
    "reach another program's shared memory",
    "lower another program's priority",
    "change another program's scheduling",
    "own a descriptor's signals",
    "open the run's memory",
    "write into an output already answered for",
    "use an ioctl on its own socket",
    "share the run's session",
    "run /bin/sh",
};

// The names of the acts whose bits are set in mask.
inline std::string named(unsigned mask) {
    std::string out;
    for (unsigned i = 0; i < sizeof acts / sizeof acts[0]; ++i)
        if ((mask >> i) & 1u)
            out += (out.empty() ? "" : ", ") + std::string(acts[i]);
    return out;
}

} // namespace evil
