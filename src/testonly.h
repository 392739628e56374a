// Switches that only the tests use, read once from the environment. None of them is meant for
// users, and a run without them is the program as shipped.
#pragma once

#include <string>

struct TestOnlySwitches {
    int seconds = 0;               // OSTRELLE_TEST_ONLY_SECONDS: a shorter time bound per file
    bool poisonUsedWorker = false; // OSTRELLE_TEST_ONLY_POISON: a worker aborts on its second file
    int workers = 0;               // OSTRELLE_TEST_ONLY_WORKERS: how many workers a run may use
    bool noSandbox = false;        // OSTRELLE_TEST_ONLY_NO_SANDBOX: workers run unconfined
    std::string workerProgram;     // OSTRELLE_TEST_ONLY_WORKER_PROGRAM: start this as the worker
    std::string statsFile;         // OSTRELLE_TEST_ONLY_STATS: append "workers started: N" there
};

// The switches of this process.
const TestOnlySwitches &testOnly();
