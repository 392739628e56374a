#include "run.h"

#include "convert.h"
#include "staging.h"
#include "testonly.h"
#include "tga.h"
#include "worker.h"

#include <IL/il.h>

#include <chrono>
#include <fstream>

namespace {

// What the run keeps of its one worker.
struct WorkerSlot {
    Worker *worker = nullptr;
    int served = 0; // files it has answered for
};

int workersStarted = 0;

// The report of a worker's answer, once the staged file it saved is finished and in place.
Report publishStaged(Report report, const Job &job, const std::string &outname) {
    if (report.outcome == Outcome::Done) {
        if (!finishTga(job.staged))
            report = failure(Outcome::FailedSave, IL_FILE_WRITE_ERROR);
        else if (const Publish p = publish(job.staged, outname); p == Publish::Exists)
            report = failure(Outcome::FailedSave, IL_FILE_ALREADY_EXISTS);
        else if (p == Publish::Failed)
            report = failure(Outcome::FailedSave, IL_COULD_NOT_OPEN_FILE);
    }
    removeStaged(job.staged);
    return report;
}

// Runs one job through the slot's worker, starting one when there is none. A file that ends a
// worker which had converted others is tried once more in a fresh one, so that no file's report
// depends on the files before it; a file that runs out of time is not.
Report convertInWorker(WorkerSlot &slot, const WorkerSetup &setup, const WorkerLimits &limits,
                       const Job &job) {
    for (bool retried = false;; retried = true) {
        if (slot.worker == nullptr) {
            std::string why;
            slot.worker = startWorker(setup, limits, why);
            slot.served = 0;
            if (slot.worker == nullptr)
                return failure(Outcome::FailedLoad, IL_INTERNAL_ERROR, why);
            ++workersStarted;
        }
        Report report;
        Answer answer = Answer::Ended;
        if (submit(*slot.worker, job)) {
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::seconds(limits.seconds);
            answer = Answer::Pending;
            while (answer == Answer::Pending) {
                if (waitForAny({slot.worker}, deadline) < 0) {
                    stopWorker(slot.worker);
                    slot.worker = nullptr;
                    removeStaged(job.staged);
                    return failure(Outcome::FailedLoad, IL_INTERNAL_ERROR, tooLong(limits));
                }
                answer = takeAnswer(*slot.worker, report);
            }
        } else {
            answer = takeAnswer(*slot.worker, report);
        }
        if (answer == Answer::Report) {
            ++slot.served;
            return report;
        }
        stopWorker(slot.worker);
        slot.worker = nullptr;
        removeStaged(job.staged);
        if (retried || slot.served == 0)
            return report;
    }
}

} // namespace

void convertAll(const std::vector<std::string> &paths) {
    const WorkerLimits limits = workerLimits();
    std::vector<std::string> outputs;
    for (const std::string &path : paths)
        outputs.push_back(outputPathFor(path));
    const Staging staging = makeStaging(outputs);
    const WorkerSetup setup{limits.memoryBytes, limits.outputBytes, paths, staging.dirs};

    WorkerSlot slot;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        Job job{paths[i], {}, 0};
        if (!outputs[i].empty() && somethingAt(outputs[i]))
            job.refusal = IL_FILE_ALREADY_EXISTS;
        else if (staging.dirFor[i].empty())
            job.refusal = IL_COULD_NOT_OPEN_FILE;
        else
            job.staged = staging.dirFor[i] + "/" + std::to_string(i) + ".tga";
        printReport(publishStaged(convertInWorker(slot, setup, limits, job), job, outputs[i]));
    }
    stopWorker(slot.worker);
    removeStaging(staging);
    if (!testOnly().statsFile.empty())
        std::ofstream(testOnly().statsFile, std::ios::app)
            << "workers started: " << workersStarted << "\n";
}
