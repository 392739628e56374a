#include "run.h"

#include "collisions.h"
#include "fs.h"
#include "imagesize.h"
#include "names.h"
#include "output.h"
#include "testonly.h"
#include "worker.h"

#include <IL/il.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>

using Clock = std::chrono::steady_clock;

namespace {

// Files whose sizes the header does not tell are counted at this, a large photograph's need.
constexpr std::uint64_t unknownNeed = std::uint64_t{64} << 20;

// The most a worker's heap keeps between files: two buffers of the largest size it keeps.
constexpr std::uint64_t warmHeapHolds = std::uint64_t{64} << 20;

// One argument of the run, from its job to its report.
struct File {
    std::string path;
    std::string outname;
    std::uint64_t memoryNeed = 0; // what the library may take for it, where the header tells
    int refusal = 0;              // why nothing may be saved for it, once it has loaded
    NativeFile scratch = noFile;  // what its worker writes the TGA into
    bool retried = false;
    bool done = false;
    Report report;
};

// A worker of the run and the file it is converting, if any.
struct Slot {
    Worker *worker = nullptr;
    int served = 0;     // files it has answered for
    int file = -1;      // the file in hand, or -1 when idle
    bool alone = false; // no other file was in flight at any time during this one
    Clock::time_point deadline;
    std::uint64_t held = 0; // what its warm heap keeps of the files it converted
    bool whole = false;     // its worker has the whole memory bound, for one file alone
};

// The run as a scheduler: which file each free worker takes next, what comes back, and the
// reports printed in argument order as soon as every earlier one is out.
class Scheduler {
  public:
    explicit Scheduler(const std::vector<std::string> &paths);
    void run();
    int workersStarted() const { return started_; }

  private:
    std::size_t busy() const;
    std::uint64_t share() const;
    std::uint64_t memoryWith(const Slot &slot, const File &file) const;
    bool handOut(Slot &slot);
    void assign(Slot &slot, std::size_t pick, bool alone);
    bool startIn(Slot &slot, std::string &why);
    void awaitAnswer();
    void timeOut();
    void take(Slot &slot);
    void finish(File &file, Report report);
    Report answered(File &file, const Answer &answer);
    void printDone();
    void stop(Slot &slot);

    WorkerLimits limits_;
    WorkerSetup setup_;
    std::vector<File> files_;
    std::vector<Slot> slots_;
    std::size_t next_ = 0, printed_ = 0;
    std::vector<std::size_t> retries_; // files to try once more, alone, in a fresh worker
    const Slot *solo_ = nullptr;       // the slot trying one of them, while nothing else runs
    int started_ = 0;
    // Held from naming the output of the next file to report until its report is printed, so that
    // a run ended meanwhile ends with both or with neither.
    std::unique_ptr<EndingHeld> reporting_;
};

Scheduler::Scheduler(const std::vector<std::string> &paths)
    : limits_(workerLimits()), files_(paths.size()) {
    setup_.memoryBytes = limits_.memoryBytes;
    setup_.outputBytes = limits_.outputBytes;
    setup_.testFlags = testOnly().workerFlags;
    std::vector<Paths> arguments;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        File &file = files_[i];
        file.path = paths[i];
        file.outname = outputPathFor(paths[i]);
        const std::uint64_t need = memoryNeedOf(paths[i]);
        file.memoryNeed = need > 0 ? need : unknownNeed;
        arguments.push_back({file.path, file.outname});
    }
    // Files that may touch one another go one at a time, and then so does the whole run: its
    // reports and files are then those of the order given, by construction.
    std::size_t workers = testOnly().workers > 0 ? static_cast<std::size_t>(testOnly().workers)
                                                 : static_cast<std::size_t>(usableCores());
    if (files_.size() < 2 || mayCollide(arguments))
        workers = 1;
    slots_.resize(std::min(workers, std::max<std::size_t>(files_.size(), 1)));
}

std::size_t Scheduler::busy() const {
    return static_cast<std::size_t>(
        std::count_if(slots_.begin(), slots_.end(), [](const Slot &s) { return s.file >= 0; }));
}

// The memory bound of each worker when several run: together they never pass the one bound.
std::uint64_t Scheduler::share() const { return limits_.memoryBytes / slots_.size(); }

// Memory the workers hold or may take, were slot to take file.
std::uint64_t Scheduler::memoryWith(const Slot &slot, const File &file) const {
    std::uint64_t total = 0;
    for (const Slot &s : slots_) {
        const std::uint64_t inHand =
            s.file >= 0 ? files_[static_cast<std::size_t>(s.file)].memoryNeed : 0;
        total += std::max(s.held, &s == &slot ? file.memoryNeed : inHand);
    }
    return total;
}

void Scheduler::run() {
    while (printed_ < files_.size()) {
        for (Slot &slot : slots_)
            if (slot.file < 0 && !handOut(slot))
                break;
        printDone();
        if (printed_ < files_.size() && busy() > 0) {
            awaitAnswer();
            printDone();
        }
    }
    for (Slot &slot : slots_)
        stop(slot);
}

// Prints the reports that are due: those of the files done, up to the first that is not. A run
// ended meanwhile ends after the report being printed, never in the middle of one.
void Scheduler::printDone() {
    {
        const EndingHeld held;
        while (printed_ < files_.size() && files_[printed_].done)
            printReport(files_[printed_++].report);
    }
    reporting_.reset();
}

// Gives the idle slot its next file, if the rules allow one now; false when no other idle slot
// may take one either.
bool Scheduler::handOut(Slot &slot) {
    const bool alone = busy() == 0;
    if (solo_ != nullptr)
        return false;
    std::size_t pick = files_.size();
    if (!retries_.empty()) {
        // A file to retry waits until it can run alone, in a fresh worker.
        if (!alone)
            return false;
        pick = retries_.front();
        retries_.erase(retries_.begin());
        stop(slot);
        slot.whole = true;
        solo_ = &slot;
    } else if (next_ < files_.size()) {
        // A file is held back while the memory it may need would pass the bound, or a worker's
        // share of it; alone, it runs as it would one at a time, with the whole bound.
        const bool large = slots_.size() > 1 && files_[next_].memoryNeed > share();
        if (large || memoryWith(slot, files_[next_]) > limits_.memoryBytes) {
            if (!alone)
                return false;
            for (Slot &other : slots_)
                if (&other != &slot)
                    stop(other);
        }
        if (large) {
            stop(slot);
            slot.whole = true;
            solo_ = &slot;
        }
        pick = next_++;
    }
    if (pick == files_.size())
        return false;
    assign(slot, pick, alone);
    return true;
}

// Starts a worker in the slot if it has none; false, with why, when none can be started.
bool Scheduler::startIn(Slot &slot, std::string &why) {
    if (slot.worker != nullptr)
        return true;
    WorkerSetup setup = setup_;
    setup.memoryBytes = slot.whole || slots_.size() == 1 ? limits_.memoryBytes : share();
    WorkerLimits limits = limits_;
    limits.memoryBytes = setup.memoryBytes;
    slot.worker = startWorker(setup, limits, why);
    slot.served = 0;
    if (slot.worker != nullptr)
        ++started_;
    return slot.worker != nullptr;
}

// Opens the file's input and makes its output's scratch file, and hands both to the slot's
// worker with the job.
void Scheduler::assign(Slot &slot, std::size_t pick, bool alone) {
    File &file = files_[pick];
    // The library refuses an empty name before anything else.
    if (file.path.empty()) {
        finish(file, failure(Outcome::FailedLoad, IL_INVALID_PARAM));
        return;
    }
    closeFile(file.scratch);
    file.scratch = noFile;
    file.refusal = 0;
    if (!file.outname.empty() && somethingAt(file.outname))
        file.refusal = IL_FILE_ALREADY_EXISTS;
    else if (!file.outname.empty() && (file.scratch = makeScratch()) == noFile)
        file.refusal = IL_COULD_NOT_OPEN_FILE;
    const NativeFile input = openInput(file.path);
    Job job;
    job.ending = endingOf(file.path);
    // A worker that ended while idle (killed from outside, say) is replaced once.
    std::string why;
    bool handed = false;
    for (int attempt = 0; attempt < 2 && !handed; ++attempt) {
        if (!startIn(slot, why))
            break;
        handed = submit(*slot.worker, job, input, file.scratch);
        if (!handed) {
            why = "cannot hand the file to a worker";
            stop(slot);
        }
    }
    closeFile(input);
    if (!handed) {
        if (solo_ == &slot)
            solo_ = nullptr;
        finish(file, failure(Outcome::FailedLoad, IL_INTERNAL_ERROR, why));
        return;
    }
    for (Slot &other : slots_)
        other.alone = false;
    slot.file = static_cast<int>(pick);
    slot.alone = alone;
    slot.deadline = Clock::now() + std::chrono::seconds(limits_.seconds);
    slot.held = std::max(slot.held, std::min(file.memoryNeed, warmHeapHolds));
}

// Waits for the first answer, end or deadline among the busy workers, and deals with it.
void Scheduler::awaitAnswer() {
    std::vector<Worker *> watched;
    std::vector<Slot *> watchedSlots;
    Clock::time_point deadline = Clock::time_point::max();
    for (Slot &slot : slots_)
        if (slot.file >= 0) {
            watched.push_back(slot.worker);
            watchedSlots.push_back(&slot);
            deadline = std::min(deadline, slot.deadline);
        }
    const int ready = waitForAny(watched, deadline);
    if (ready < 0)
        timeOut();
    else
        take(*watchedSlots[static_cast<std::size_t>(ready)]);
}

void Scheduler::timeOut() {
    for (Slot &slot : slots_)
        if (slot.file >= 0 && Clock::now() >= slot.deadline) {
            // A file past its time is not tried again: the time was its own.
            File &file = files_[static_cast<std::size_t>(slot.file)];
            stop(slot);
            slot.file = -1;
            if (solo_ == &slot)
                solo_ = nullptr;
            finish(file, failure(Outcome::FailedLoad, IL_INTERNAL_ERROR, tooLong(limits_)));
        }
}

void Scheduler::take(Slot &slot) {
    File &file = files_[static_cast<std::size_t>(slot.file)];
    Answer answer;
    WorkerEnd end;
    const Heard heard = hear(*slot.worker, answer, end);
    if (heard == Heard::Pending)
        return;
    slot.file = -1;
    if (solo_ == &slot)
        solo_ = nullptr;
    if (heard == Heard::Answer) {
        ++slot.served;
        finish(file, answered(file, answer));
        // A worker with the whole bound served one file alone; others have but a share.
        if (slot.whole)
            stop(slot);
        return;
    }
    // A worker that ended on a file it did not take fresh, alone and with the whole memory bound
    // may have ended for what came before or beside it: that file is tried once more, as a run
    // of one would try it.
    const bool fresh = slot.served == 0 && slot.alone && (slot.whole || slots_.size() == 1);
    stop(slot);
    if (fresh || file.retried) {
        finish(file, describe(end, limits_));
    } else {
        file.retried = true;
        retries_.push_back(static_cast<std::size_t>(&file - files_.data()));
    }
}

// The report for a worker's answer: what it says of the load comes first, then why nothing may
// be saved, then what it says of the save; a file it saved is published.
Report Scheduler::answered(File &file, const Answer &answer) {
    if (answer.outcome == Outcome::FailedLoad)
        return reportFor(answer);
    if (file.outname.empty())
        return failure(Outcome::FailedSave, IL_INVALID_PARAM);
    if (file.refusal != 0)
        return failure(Outcome::FailedSave, file.refusal);
    if (answer.outcome == Outcome::FailedSave)
        return reportFor(answer);
    // The next report due: its file and its report come out together (printDone). A later file's
    // output may stand before its report, which waits for the reports before it.
    if (!reporting_ && &file == &files_[printed_])
        reporting_ = std::make_unique<EndingHeld>();
    const int code = publishOutput(file.scratch, file.outname, limits_.outputBytes);
    if (code == outputPastBound)
        return describe(WorkerEnd{WorkerEnd::OutputBound}, limits_);
    if (code != 0)
        return failure(Outcome::FailedSave, code);
    return Report{};
}

void Scheduler::finish(File &file, Report report) {
    closeFile(file.scratch);
    file.scratch = noFile;
    file.report = std::move(report);
    file.done = true;
}

void Scheduler::stop(Slot &slot) {
    stopWorker(slot.worker);
    slot.worker = nullptr;
    slot.held = 0;
    slot.whole = false;
}

} // namespace

void convertAll(const std::vector<std::string> &paths) {
    Scheduler scheduler(paths);
    scheduler.run();
    if (!testOnly().statsFile.empty())
        std::ofstream(testOnly().statsFile, std::ios::app)
            << "workers started: " << scheduler.workersStarted() << "\n";
}
