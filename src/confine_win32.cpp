// The worker's confinement on Windows.
#include "confine.h"

ConfineStatus confineSelf(const ConfineOptions &) {
    // Not confined yet: the worker holds only the files of its job and its two pipes, but still
    // has the rights of the user who started the run. It lowers its token in a later change.
    return ConfineStatus{true, {}, 0};
}
