// The worker seen from the run: a copy of the program, started once and kept for the run, that
// converts file after file under limits and confined, so that whatever the image library does
// with a hostile file, the run survives it and nothing else is reached. Only the messages of
// protocol.h, and the files of each job, cross between it and the run.
#pragma once

#include "fs.h"
#include "protocol.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The bounds a worker runs under.
struct WorkerLimits {
    std::uint64_t memoryBytes = 0;   // address space (POSIX) or committed memory (Windows)
    std::uint64_t outputBytes = 0;   // largest output it may write
    bool outputBoundIsUsers = false; // a tighter file size limit was set for this session
    int seconds = 0;                 // wall-clock time per file
};

// The bounds for a machine with physicalBytes of memory. Three quarters of it lets any image that
// fits convert; 2 GiB is the most output the library's 32-bit sizes make soundly; 120 s is many
// times the largest real conversion.
WorkerLimits limitsFor(std::uint64_t physicalBytes);

// The bounds on this machine, for this session.
WorkerLimits workerLimits();

// How many processors this process may run on.
int usableCores();

// How a worker ended without answering, in terms common to every platform.
struct WorkerEnd {
    enum Kind {
        Exited,      // status: its exit status
        Crashed,     // status: the signal (POSIX) or exception code (Windows)
        Killed,      // killed from outside, perhaps for lack of memory
        OutOfMemory, // its own allocation failed
        OutputBound, // its output grew past the bound
        Malformed,   // it gave an answer no sound worker gives
        Closed,      // it closed its channel to the run without ending
        Unknown,     // how could not be found out; status: the error
    } kind = Unknown;
    std::uint64_t status = 0;
    std::uint64_t peakBytes = 0; // the most memory it held
};

// The user's words for how a worker ended.
Report describe(const WorkerEnd &end, const WorkerLimits &limits);

// The report for a worker's answer, in the program's own words.
Report reportFor(const Answer &answer);

struct Worker;

// Starts a worker and hands it setup; null, with why, when it cannot be started.
Worker *startWorker(const WorkerSetup &setup, const WorkerLimits &limits, std::string &why);

// Hands the worker one file with its input and output (either may be noFile); false when it can
// no longer take one (it has ended). The worker holds its own copies: the caller keeps its own.
bool submit(Worker &worker, Job job, NativeFile input, NativeFile output);

// Waits until one of workers has something to say or has ended, or deadline passes; returns
// its index, or -1 at the deadline.
int waitForAny(const std::vector<Worker *> &workers,
               std::chrono::steady_clock::time_point deadline);

enum class Heard { Pending, Answer, Ended };

// Reads what the worker said after waitForAny named it: a whole answer, nothing whole yet, or its
// end, with end then saying how it ended.
Heard hear(Worker &worker, Answer &answer, WorkerEnd &end);

// Ends the worker, killing it if it is still busy, and frees it.
void stopWorker(Worker *worker);

// Kills every worker at once: for a signal handler, so only calls a handler may make.
void killWorkersNow();

// The text for a file whose worker took longer than limits allow.
std::string tooLong(const WorkerLimits &limits);

// Exit status of a worker whose memory allocation failed in the program's own code.
constexpr int workerOutOfMemoryStatus = 70;

// What a worker does with each file: the real conversion, or a stand-in in the tests. input and
// output are the job's files (noFile where the job has none), which it closes.
using WorkFunction = Answer (*)(const Job &job, NativeFile input, NativeFile output);

// In a process that its parent started as a worker (told by what only the parent can hand it),
// serves the run until it ends and never returns; returns -1 at once in any other process.
int runAsWorker(int argc, WorkFunction work);

// The worker's side of the run, common to every platform: takes setup, confines itself, then
// serves jobs with work until the requests end; returns the exit status.
int serveJobs(WorkFunction work);

// The worker's transport, one per platform: the next frame and the files that came with it.
bool receiveSetup(WorkerSetup &setup);
bool receiveJob(Job &job, NativeFile &input, NativeFile &output);
bool sendAnswer(const Answer &answer);
