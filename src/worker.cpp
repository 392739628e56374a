// The parts of the worker that every platform shares: its bounds and its side of the protocol.
#include "worker.h"

#include "convert.h"
#include "testonly.h"

#include <IL/il.h>

#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#define read _read
#define write _write
#else
#include <unistd.h>
#endif

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

namespace {

bool readAll(int fd, char *to, std::size_t size) {
    while (size > 0) {
        const auto n = read(fd, to, static_cast<unsigned>(size < 65536 ? size : 65536));
        if (n <= 0)
            return false;
        to += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const std::string &bytes) {
    const char *from = bytes.data();
    std::size_t size = bytes.size();
    while (size > 0) {
        const auto n = write(fd, from, static_cast<unsigned>(size < 65536 ? size : 65536));
        if (n <= 0)
            return false;
        from += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads one frame's payload; false at the end of the requests or on a malformed frame.
bool readFrame(int fd, std::string &payload) {
    std::string head(4, '\0');
    if (!readAll(fd, head.data(), 4))
        return false;
    const std::uint32_t length = static_cast<std::uint32_t>(
        static_cast<unsigned char>(head[0]) | static_cast<unsigned char>(head[1]) << 8 |
        static_cast<unsigned char>(head[2]) << 16 | static_cast<unsigned>(head[3]) << 24);
    if (length > maxFrameBytes)
        return false;
    payload.assign(length, '\0');
    return readAll(fd, payload.data(), length);
}

} // namespace

// Defined by each platform: the bounds the worker sets on itself, and its confinement.
void limitSelf(const WorkerSetup &setup);
bool confineSelf(const WorkerSetup &setup, std::string &why);
void keepHeapWarm();

int serveJobs(int requests, int answers, WorkFunction work) {
    std::string payload;
    WorkerSetup setup;
    if (!readFrame(requests, payload) || !decode(payload, setup))
        return 2;
    limitSelf(setup);
    startLibrary();
    std::string why;
    const bool confined = testOnly().noSandbox || confineSelf(setup, why);
    for (int served = 0;; ++served) {
        Job job;
        if (!readFrame(requests, payload))
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
