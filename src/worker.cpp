// What every platform shares of the worker seen from the run: its bounds and the words for how
// it ended or what it answered.
#include "worker.h"

#include "testonly.h"

#include <cstdio>

WorkerLimits limitsFor(std::uint64_t physicalBytes) {
    if (testOnly().memoryBytes > 0)
        physicalBytes = testOnly().memoryBytes;
    WorkerLimits limits;
    limits.memoryBytes = physicalBytes / 4 * 3;
    limits.outputBytes = (std::uint64_t{2} << 30) + (std::uint64_t{1} << 20);
    limits.seconds = testOnly().seconds > 0 ? testOnly().seconds : 120;
    return limits;
}

std::string tooLong(const WorkerLimits &limits) {
    return "took longer than " + std::to_string(limits.seconds) + " s";
}

namespace {

std::string mib(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

} // namespace

Report describe(const WorkerEnd &end, const WorkerLimits &limits) {
    const auto failed = [](std::string text) {
        return failure(Outcome::FailedLoad, 1284, std::move(text));
    };
    const std::string outOfMemory = "ran out of memory (limit " + mib(limits.memoryBytes) + ")";
    switch (end.kind) {
    case WorkerEnd::Exited:
        return failed("the image library ended the process (status " + std::to_string(end.status) +
                      ")");
    case WorkerEnd::Crashed: {
        // A crash near the memory bound is most likely the library using an allocation that the
        // bound refused.
        if (end.peakBytes >= limits.memoryBytes / 2)
            return failed(outOfMemory);
#ifdef _WIN32
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08llX", static_cast<unsigned long long>(end.status));
        return failed(std::string("the image library crashed (exception ") + hex + ")");
#else
        return failed("the image library crashed (signal " + std::to_string(end.status) + ")");
#endif
    }
    case WorkerEnd::Killed:
        return failed("the process was killed (signal 9), perhaps for lack of memory");
    case WorkerEnd::OutOfMemory: return failed(outOfMemory);
    case WorkerEnd::OutputBound:
        return failure(Outcome::FailedSave, 1284,
                       limits.outputBoundIsUsers
                           ? "the output reached the file size limit of this session (" +
                                 std::to_string(limits.outputBytes) + " bytes)"
                           : "the output grew past " + mib(limits.outputBytes));
    case WorkerEnd::Malformed: return failed("the worker gave a malformed answer");
    case WorkerEnd::Closed: return failed("the worker closed its channel to the run");
    case WorkerEnd::Unknown: break;
    }
    return failed("the worker ended, and how could not be found out (error " +
                  std::to_string(end.status) + ")");
}

Report reportFor(const Answer &answer) {
    return Report{answer.outcome, answer.code,
                  textFor(answer.text, answer.code, answer.first, answer.second)};
}
