#include "run.h"

#include "convert.h"
#include "pngcheck.h"
#include "staging.h"
#include "testonly.h"
#include "tga.h"
#include "worker.h"

#include <IL/il.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// One argument of the run, from its job to its report.
struct File {
    Job job;
    std::string outname;
    std::uint64_t memoryNeed = 0; // what the library may take for it, where the header tells
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
};

// Files whose sizes the header does not tell are counted at this, a large photograph's need.
constexpr std::uint64_t unknownNeed = std::uint64_t{64} << 20;

// The most a worker's heap keeps between files: two buffers of the largest size it keeps.
constexpr std::uint64_t warmHeapHolds = std::uint64_t{64} << 20;

// The same folder entry however it is spelt: the folder's device and inode (or, where there are
// none, its resolved path) and the name in lower case, so that names differing only in case
// count as one on any file system.
std::string entryKey(const std::string &path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    // Most arguments share a folder or a few; each is looked up once.
    static std::map<std::string, std::string> folders;
    auto found = folders.find(folder);
    if (found == folders.end()) {
        std::string key;
#ifndef _WIN32
        struct stat st {};
        if (stat(folder.c_str(), &st) == 0)
            key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
#endif
        std::error_code ec;
        if (key.empty())
            key = fs::weakly_canonical(fs::u8path(folder), ec).u8string();
        found = folders.emplace(folder, ec || key.empty() ? folder : key).first;
    }
    return found->second + "/" + name;
}

// True when two arguments may touch one file: the same input twice, two inputs with one output,
// or one argument's output being another's input, however the paths are spelt.
bool mayCollide(const std::vector<File> &files) {
    std::map<std::string, std::size_t> owner;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::set<std::string> keys{entryKey(files[i].job.path)};
        if (!files[i].outname.empty())
            keys.insert(entryKey(files[i].outname));
        // A link reaches its target's entry, which may be another argument's output; an input
        // reached by two names is one file.
        std::error_code ec;
        if (fs::is_symlink(fs::u8path(files[i].job.path), ec)) {
            const fs::path target = fs::canonical(fs::u8path(files[i].job.path), ec);
            if (!ec)
                keys.insert(entryKey(target.u8string()));
        }
#ifndef _WIN32
        struct stat st {};
        if (stat(files[i].job.path.c_str(), &st) == 0)
            keys.insert("file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
#endif
        for (const std::string &key : keys)
            if (!owner.emplace(key, i).second)
                return true;
    }
    return false;
}

int workersStarted = 0;

// The report of a worker's answer, once the staged file it saved is finished and in place.
Report publishStaged(Report report, const Job &job, const std::string &outname) {
    if (report.outcome == Outcome::Done) {
        if (!finishTga(job.staged))
            report = failure(Outcome::FailedSave, IL_FILE_WRITE_ERROR);
        else if (const Publish p = publish(job.staged, outname); p == Publish::Done)
            return report;
        else
            report = failure(Outcome::FailedSave, p == Publish::Exists ? IL_FILE_ALREADY_EXISTS
                                                                       : IL_COULD_NOT_OPEN_FILE);
    }
    removeStaged(job.staged);
    return report;
}

void finish(File &file, const Report &report) {
    file.report = publishStaged(report, file.job, file.outname);
    file.done = true;
}

void stopSlot(Slot &slot) {
    stopWorker(slot.worker);
    slot.worker = nullptr;
    slot.held = 0;
}

} // namespace

void convertAll(const std::vector<std::string> &paths) {
    const WorkerLimits limits = workerLimits();
    std::vector<File> files(paths.size());
    std::vector<std::string> outputs;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        files[i].job.path = paths[i];
        files[i].outname = outputPathFor(paths[i]);
        const std::uint64_t need = pngMemoryNeed(paths[i].c_str());
        files[i].memoryNeed = need > 0 ? need : unknownNeed;
        outputs.push_back(files[i].outname);
    }
    const Staging staging = makeStaging(outputs);
    const WorkerSetup setup{limits.memoryBytes, limits.outputBytes, paths, staging.dirs};

    // Files that may touch one another go one at a time, and then so does the whole run: its
    // reports and files are then those of the order given, by construction.
    std::size_t workers = testOnly().workers > 0 ? static_cast<std::size_t>(testOnly().workers)
                                                 : static_cast<std::size_t>(usableCores());
    if (files.size() < 2 || mayCollide(files))
        workers = 1;
    std::vector<Slot> slots(std::min(workers, std::max<std::size_t>(files.size(), 1)));

    std::size_t next = 0, printed = 0;
    std::vector<std::size_t> retries; // files to try once more, alone, in a fresh worker
    const Slot *solo = nullptr;       // the slot trying one of them, while nothing else runs
    const auto busy = [&slots] {
        return std::count_if(slots.begin(), slots.end(), [](const Slot &s) { return s.file >= 0; });
    };
    // Memory the workers hold or may take, were slot to take file.
    const auto memoryWith = [&](const Slot &slot, const File &file) {
        std::uint64_t total = 0;
        for (const Slot &s : slots) {
            const std::uint64_t inHand =
                s.file >= 0 ? files[static_cast<std::size_t>(s.file)].memoryNeed : 0;
            total += std::max(s.held, &s == &slot ? file.memoryNeed : inHand);
        }
        return total;
    };

    while (printed < files.size()) {
        // Hand out work: a file to retry waits until it can run alone.
        for (Slot &slot : slots) {
            if (slot.file >= 0)
                continue;
            std::size_t pick = files.size();
            const bool alone = busy() == 0;
            if (solo != nullptr)
                break;
            if (!retries.empty()) {
                if (!alone)
                    break;
                pick = retries.front();
                retries.erase(retries.begin());
                stopSlot(slot);
                solo = &slot;
            } else if (next < files.size()) {
                // A file is held back while the memory it may need would pass the bound a single
                // worker has; alone, it runs as it would one at a time.
                if (memoryWith(slot, files[next]) > limits.memoryBytes) {
                    if (!alone)
                        break;
                    for (Slot &other : slots)
                        if (&other != &slot)
                            stopSlot(other);
                }
                pick = next++;
            }
            if (pick == files.size())
                break;
            File &file = files[pick];
            if (!file.outname.empty() && somethingAt(file.outname))
                file.job.refusal = IL_FILE_ALREADY_EXISTS;
            else if (staging.dirFor[pick].empty())
                file.job.refusal = IL_COULD_NOT_OPEN_FILE;
            else
                file.job.staged = staging.dirFor[pick] + "/" + std::to_string(pick) + ".tga";
            // A worker that ended while idle (killed from outside, say) is replaced once.
            std::string why;
            for (int attempt = 0; attempt < 2; ++attempt) {
                if (slot.worker == nullptr) {
                    slot.worker = startWorker(setup, limits, why);
                    slot.served = 0;
                    if (slot.worker == nullptr)
                        break;
                    ++workersStarted;
                }
                if (submit(*slot.worker, file.job))
                    break;
                why = "cannot hand the file to a worker";
                stopSlot(slot);
            }
            if (slot.worker == nullptr) {
                if (solo == &slot)
                    solo = nullptr;
                finish(file, failure(Outcome::FailedLoad, IL_INTERNAL_ERROR, why));
                continue;
            }
            for (Slot &other : slots)
                other.alone = false;
            slot.file = static_cast<int>(pick);
            slot.alone = alone;
            slot.deadline = Clock::now() + std::chrono::seconds(limits.seconds);
            slot.held = std::max(slot.held, std::min(file.memoryNeed, warmHeapHolds));
        }

        while (printed < files.size() && files[printed].done)
            printReport(files[printed++].report);
        if (printed == files.size() || busy() == 0)
            continue;

        // Wait for the first answer, end or deadline among the busy workers.
        std::vector<Worker *> watched;
        std::vector<Slot *> watchedSlots;
        Clock::time_point deadline = Clock::time_point::max();
        for (Slot &slot : slots)
            if (slot.file >= 0) {
                watched.push_back(slot.worker);
                watchedSlots.push_back(&slot);
                deadline = std::min(deadline, slot.deadline);
            }
        const int ready = waitForAny(watched, deadline);
        if (ready < 0) {
            for (Slot *slot : watchedSlots)
                if (Clock::now() >= slot->deadline) {
                    // A file past its time is not tried again: the time was its own.
                    File &file = files[static_cast<std::size_t>(slot->file)];
                    stopSlot(*slot);
                    slot->file = -1;
                    if (solo == slot)
                        solo = nullptr;
                    finish(file, failure(Outcome::FailedLoad, IL_INTERNAL_ERROR, tooLong(limits)));
                }
            continue;
        }
        Slot &slot = *watchedSlots[static_cast<std::size_t>(ready)];
        File &file = files[static_cast<std::size_t>(slot.file)];
        Report report;
        const Answer answer = takeAnswer(*slot.worker, report);
        if (answer == Answer::Pending)
            continue;
        slot.file = -1;
        if (solo == &slot)
            solo = nullptr;
        if (answer == Answer::Report) {
            ++slot.served;
            finish(file, report);
            continue;
        }
        // A worker that ended on a file it did not take fresh and alone may have ended for what
        // came before or beside it: that file is tried once more, as a run of one would try it.
        const bool fresh = slot.served == 0 && slot.alone;
        stopSlot(slot);
        if (fresh || file.retried) {
            finish(file, report);
        } else {
            removeStaged(file.job.staged);
            file.retried = true;
            retries.push_back(static_cast<std::size_t>(&file - files.data()));
        }
    }
    for (Slot &slot : slots)
        stopSlot(slot);
    removeStaging(staging);
    if (!testOnly().statsFile.empty())
        std::ofstream(testOnly().statsFile, std::ios::app)
            << "workers started: " << workersStarted << "\n";
}
