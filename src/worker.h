// The worker: a copy of the program, started once and kept for the run, that converts file after
// file under limits, so that whatever the image library does with a hostile file, the run
// survives it. Only the messages of protocol.h cross between it and the run.
#pragma once

#include "protocol.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The bounds a worker runs under.
struct WorkerLimits {
    std::uint64_t memoryBytes = 0;   // address space (POSIX) or committed memory (Windows)
    std::uint64_t outputBytes = 0;   // largest file it may write
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

struct Worker;

// Starts a worker and hands it setup; null, with why, when it cannot be started.
Worker *startWorker(const WorkerSetup &setup, const WorkerLimits &limits, std::string &why);

// Hands the worker one file; false when it can no longer take one (it has ended).
bool submit(Worker &worker, const Job &job);

// Waits until one of workers has something to say or has ended, or deadline passes; returns
// its index, or -1 at the deadline.
int waitForAny(const std::vector<Worker *> &workers,
               std::chrono::steady_clock::time_point deadline);

enum class Answer { Pending, Report, Ended };

// Reads what the worker said after waitForAny named it: a whole report, nothing whole yet, or its
// end, with report then saying how it ended.
Answer takeAnswer(Worker &worker, Report &report);

// Ends the worker, killing it if it is still busy, and frees it.
void stopWorker(Worker *worker);

// The text for a file whose worker took longer than limits allow.
std::string tooLong(const WorkerLimits &limits);

// Exit status of a worker whose memory allocation failed in the program's own code.
constexpr int workerOutOfMemoryStatus = 70;

// What a worker does with each file: the real conversion, or a stand-in in the tests.
using WorkFunction = Report (*)(const Job &job);

// In a process started as a worker, serves the run with work until the run ends, and never
// returns; returns -1 at once in any other process.
int runAsWorker(WorkFunction work);

// The worker's side of the protocol over two descriptors; applies setup, then serves jobs with
// work until the requests end. Common to every platform.
int serveJobs(int requests, int answers, WorkFunction work);
