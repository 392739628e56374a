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
        s.seconds = number("OSTRELLE_TEST_ONLY_SECONDS");
        s.poisonUsedWorker = number("OSTRELLE_TEST_ONLY_POISON") > 0;
        s.workers = number("OSTRELLE_TEST_ONLY_WORKERS");
        s.noSandbox = number("OSTRELLE_TEST_ONLY_NO_SANDBOX") > 0;
        s.workerProgram = text("OSTRELLE_TEST_ONLY_WORKER_PROGRAM");
        s.statsFile = text("OSTRELLE_TEST_ONLY_STATS");
        return s;
    }();
    return switches;
}
