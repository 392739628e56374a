// The test build's switches, read once from the environment.
#include "testonly.h"

#include <cstdlib>

namespace {

int number(const char *name) {
    const char *s = std::getenv(name);
    return s != nullptr && std::atoi(s) > 0 ? std::atoi(s) : 0;
}

std::string text(const char *name) {
    const char *s = std::getenv(name);
    return s != nullptr ? s : "";
}

} // namespace

const TestOnlySwitches &testOnly() {
    static const TestOnlySwitches switches = [] {
        TestOnlySwitches s;
        s.enabled = true;
        s.seconds = number("OSTRELLE_TEST_ONLY_SECONDS");
        s.workers = number("OSTRELLE_TEST_ONLY_WORKERS");
        s.memoryBytes = std::uint64_t(number("OSTRELLE_TEST_ONLY_MEMORY_MIB")) << 20;
        s.workerProgram = text("OSTRELLE_TEST_ONLY_WORKER_PROGRAM");
        s.statsFile = text("OSTRELLE_TEST_ONLY_STATS");
        s.noTmpfile = number("OSTRELLE_TEST_ONLY_NO_TMPFILE") > 0;
        s.noRenameOrLink = number("OSTRELLE_TEST_ONLY_NO_RENAME_OR_LINK");
        s.publishPauseMs = number("OSTRELLE_TEST_ONLY_PUBLISH_PAUSE_MS");
        const std::pair<const char *, std::uint32_t> flags[] = {
            {"OSTRELLE_TEST_ONLY_POISON", poisonUsedWorker},
            {"OSTRELLE_TEST_ONLY_NO_SANDBOX", noSandbox},
            {"OSTRELLE_TEST_ONLY_HIDE_LANDLOCK", hideLandlock},
            {"OSTRELLE_TEST_ONLY_REFUSE_SANDBOX", refuseSandbox},
            {"OSTRELLE_TEST_ONLY_HIDE_SECCOMP", hideSeccomp},
            {"OSTRELLE_TEST_ONLY_STRICT_INTEGRITY", strictIntegrity}};
        for (const auto &[name, flag] : flags)
            if (number(name) > 0)
                s.workerFlags |= flag;
        return s;
    }();
    return switches;
}

const char workerProgramName[] = "ostrelle_testable-worker";
