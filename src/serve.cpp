// The worker's own loop, common to every platform: take the setup, confine itself, then take a
// job and its files, convert, answer, until the run ends its requests.
#include "confine.h"
#include "convert.h"
#include "testonly.h"
#include "worker.h"

#include <IL/il.h>

#include <cstdlib>

// Defined by each platform: the bounds the worker sets on itself, and its heap's habits.
void limitSelf(const WorkerSetup &setup);
void keepHeapWarm();

int serveJobs(WorkFunction work) {
    WorkerSetup setup;
    if (!receiveSetup(setup))
        return 2;
    // Only a test build lets a run change how its workers behave.
    const std::uint32_t flags = testOnly().enabled ? setup.testFlags : 0;
    limitSelf(setup);
    startLibrary();
    ConfineOptions options;
    options.hideLandlock = (flags & hideLandlock) != 0;
    options.hideSeccomp = (flags & hideSeccomp) != 0;
    options.refuse = (flags & refuseSandbox) != 0;
    options.strictIntegrity = (flags & strictIntegrity) != 0;
    const ConfineStatus confined =
        (flags & noSandbox) != 0 ? ConfineStatus{true, {}, 0} : confineSelf(options);
    for (int served = 0;; ++served) {
        Job job;
        NativeFile input = noFile, output = noFile;
        if (!receiveJob(job, input, output))
            return 0;
        if ((flags & poisonUsedWorker) != 0 && served > 0)
            std::abort();
        Answer answer;
        if (confined.ok) {
            answer = work(job, input, output);
        } else {
            answer.outcome = Outcome::FailedLoad;
            answer.code = IL_INTERNAL_ERROR;
            answer.text = TextId::SandboxFailed;
            answer.first = static_cast<std::uint32_t>(confined.step);
            answer.second = static_cast<std::uint32_t>(confined.error);
            closeFile(input);
            closeFile(output);
        }
        answer.serial = job.serial;
        if (!sendAnswer(answer))
            return 2;
        // A worker's first file runs on a fresh heap, as a file retried after a crash does, so
        // that what a hostile file does to the heap shows the same whichever file it follows.
        if (served == 0)
            keepHeapWarm();
    }
}
