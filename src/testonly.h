// Switches that only the tests use. They are read from the environment in the test build of the
// program; the shipped program is linked with a version that has none, so no environment can
// turn its sandbox off or start another program as its worker.
#pragma once

#include <cstdint>
#include <string>

struct TestOnlySwitches {
    bool enabled = false;          // this is the test build
    int seconds = 0;               // OSTRELLE_TEST_ONLY_SECONDS: a shorter time bound per file
    int workers = 0;               // OSTRELLE_TEST_ONLY_WORKERS: how many workers a run may use
    std::uint64_t memoryBytes = 0; // OSTRELLE_TEST_ONLY_MEMORY_MIB: the machine's memory, for
                                   // the bounds drawn from it
    std::string workerProgram;     // OSTRELLE_TEST_ONLY_WORKER_PROGRAM: start this as the worker
    std::string statsFile;         // OSTRELLE_TEST_ONLY_STATS: append "workers started: N" there
    bool noTmpfile = false;        // OSTRELLE_TEST_ONLY_NO_TMPFILE: unnamed files are refused
    int noRenameOrLink = 0;        // OSTRELLE_TEST_ONLY_NO_RENAME_OR_LINK: 1, no-replace renames
                                   // are refused; 2, hard links too, as on some file systems
    int publishPauseMs = 0;        // OSTRELLE_TEST_ONLY_PUBLISH_PAUSE_MS: a pause while an output
                                   // is written but not yet named, and one once it is named, before
                                   // its report
    std::uint32_t workerFlags = 0; // what the worker is told, below
};

// Flags a test run hands its workers, whose environment is empty.
enum : std::uint32_t {
    poisonUsedWorker = 1, // OSTRELLE_TEST_ONLY_POISON: a worker aborts on its second file
    noSandbox = 2,        // OSTRELLE_TEST_ONLY_NO_SANDBOX: workers run unconfined
    hideLandlock = 4,     // OSTRELLE_TEST_ONLY_HIDE_LANDLOCK: workers act as if the kernel had none
    refuseSandbox = 8,    // OSTRELLE_TEST_ONLY_REFUSE_SANDBOX: confinement fails as if refused
    hideSeccomp = 16,     // OSTRELLE_TEST_ONLY_HIDE_SECCOMP: workers act as if the kernel had none
    strictIntegrity = 32, // OSTRELLE_TEST_ONLY_STRICT_INTEGRITY: Windows workers check their
                          // integrity level under wine too
};

// The worker program the run starts, beside it or in the library folder: the test build starts
// the test build of the worker.
extern const char workerProgramName[];

// The switches of this process.
const TestOnlySwitches &testOnly();
