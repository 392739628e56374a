// The parts of the worker that every platform shares: its bounds and its side of the protocol.
#include "worker.h"

#include "convert.h"
#include "testonly.h"

#include <IL/il.h>

#include <cstdlib>

WorkerLimits limitsFor(std::uint64_t physicalBytes) {
    WorkerLimits limits;
    limits.memoryBytes = physicalBytes / 4 * 3;
    limits.outputBytes = (std::uint64_t{2} << 30) + (std::uint64_t{1} << 20);
    limits.seconds = testOnly().seconds > 0 ? testOnly().seconds : 120;
    return limits;
}

std::string tooLong(const WorkerLimits &limits) {
    return "took longer than " + std::to_string(limits.seconds) + " s";
}

// Defined by each platform: the bounds the worker sets on itself, and its confinement.
void limitSelf(const WorkerSetup &setup);
bool confineSelf(const WorkerSetup &setup, std::string &why);
void keepHeapWarm();

int serveJobs(int requests, int answers, WorkFunction work) {
    std::string pending, payload;
    WorkerSetup setup;
    if (!readFrame(requests, pending, payload) || !decode(payload, setup))
        return 2;
    limitSelf(setup);
    startLibrary();
    std::string why;
    const bool confined = testOnly().noSandbox || confineSelf(setup, why);
    for (int served = 0;; ++served) {
        Job job;
        if (!readFrame(requests, pending, payload))
            return 0;
        if (!decode(payload, job))
            return 2;
        if (testOnly().poisonUsedWorker && served > 0)
            std::abort();
        const Report report = confined
                                  ? work(job)
                                  : failure(Outcome::FailedLoad, IL_INTERNAL_ERROR,
                                            "the worker's sandbox could not be applied: " + why);
        if (!writeAll(answers, encode(report)))
            return 2;
        // A worker's first file runs on a fresh heap, as a file retried after a crash does, so
        // that what a hostile file does to the heap shows the same whichever file it follows.
        if (served == 0)
            keepHeapWarm();
    }
}
