// The shipped program's switches: none.
#include "testonly.h"

const TestOnlySwitches &testOnly() {
    static const TestOnlySwitches none;
    return none;
}

const char workerProgramName[] = "ostrelle-worker";
