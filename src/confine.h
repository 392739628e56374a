// The worker gives its rights away, before its first file: afterwards it can only compute, read
// and write the descriptors or handles it holds, and end itself.
#pragma once

#include "report.h"

// How the worker is confined; every switch exists for tests only.
struct ConfineOptions {
    bool hideLandlock = false;    // act as if the kernel had no Landlock
    bool hideSeccomp = false;     // act as if the kernel had no seccomp
    bool refuse = false;          // fail as if the kernel refused the first step
    bool strictIntegrity = false; // Windows: check the integrity level under wine too
};

// What confineSelf did: ok, or the step that failed and its error.
struct ConfineStatus {
    bool ok = false;
    ConfineStep step = ConfineStep::NoNewPrivs;
    int error = 0;
};

// Confines the calling process for good by every mechanism the kernel offers. A mechanism the
// kernel lacks is passed over; one it offers that cannot be applied fails.
ConfineStatus confineSelf(const ConfineOptions &options);
