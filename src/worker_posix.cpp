// Starting, feeding, watching and ending a worker on POSIX systems.
#include "worker.h"

#include "convert.h"
#include "sandbox.h"
#include "testonly.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define OSTRELLE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTRELLE_ASAN 1
#endif
#endif

extern char **environ;

namespace {

// The worker finds the run's pipes at these descriptors, and the marker in its environment.
constexpr int requestFd = 3, answerFd = 4;
const char workerMarker[] = "OSTRELLE_WORKER_OF";

void setLimit(int resource, std::uint64_t value) {
    const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
    setrlimit(resource, &limit);
}

// The largest file this session may write, when one was set.
bool sessionFileLimit(std::uint64_t &bytes) {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return false;
    bytes = limit.rlim_cur;
    return true;
}

std::string mib(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// How a worker that ended without answering ended. peakBytes is its largest resident size: a
// fault near the memory bound is most likely the library using an allocation the bound refused.
Report describe(int status, std::uint64_t peakBytes, const WorkerLimits &limits) {
    const auto failed = [](std::string text) {
        return failure(Outcome::FailedLoad, 1284, std::move(text));
    };
    const std::string outOfMemory = "ran out of memory (limit " + mib(limits.memoryBytes) + ")";
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == workerOutOfMemoryStatus)
            return failed(outOfMemory);
        return failed("the image library ended the process (status " +
                      std::to_string(WEXITSTATUS(status)) + ")");
    }
    const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (sig == SIGXFSZ)
        return failure(Outcome::FailedSave, 1284,
                       limits.outputBoundIsUsers
                           ? "the output reached the file size limit of this session (" +
                                 std::to_string(limits.outputBytes) + " bytes)"
                           : "the output grew past " + mib(limits.outputBytes));
    if (sig == SIGKILL)
        return failed("the process was killed (signal 9), perhaps for lack of memory");
    if (peakBytes >= limits.memoryBytes / 2)
        return failed(outOfMemory);
    return failed("the image library crashed (signal " + std::to_string(sig) + ")");
}

// A descriptor of fd's pipe at 10 or above, so that moving it to 3 or 4 in the worker never
// lands on itself (which would keep its close-on-exec flag).
int high(int fd) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return moved;
}

// The program's own file, found once: executing "/proc/self/exe" itself would start whatever
// runs this process, such as valgrind, rather than the program.
const std::string &ownProgram() {
    static const std::string path = [] {
        char buffer[4096];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
        return n > 0 && static_cast<std::size_t>(n) < sizeof buffer
                   ? std::string(buffer, static_cast<std::size_t>(n))
                   : std::string("/proc/self/exe");
    }();
    return path;
}

} // namespace

struct Worker {
    pid_t pid = -1;
    int requests = -1;
    int answers = -1;
    std::string buffer;
    WorkerLimits limits;
    bool busy = false; // a file was handed over and not yet answered
};

WorkerLimits workerLimits() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    WorkerLimits limits =
        limitsFor(pages > 0 && pageSize > 0
                      ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
                      : std::uint64_t{4} << 30);
    // A bound set on this process already is inherited and cannot be raised.
    rlimit inherited{};
    if (getrlimit(RLIMIT_AS, &inherited) == 0 && inherited.rlim_max != RLIM_INFINITY &&
        inherited.rlim_max < limits.memoryBytes)
        limits.memoryBytes = inherited.rlim_max;
    std::uint64_t session = 0;
    if (sessionFileLimit(session) && session < limits.outputBytes) {
        limits.outputBytes = session;
        limits.outputBoundIsUsers = true;
    }
    return limits;
}

int usableCores() {
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return CPU_COUNT(&set) > 0 ? CPU_COUNT(&set) : 1;
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

namespace {

// A pipe whose ends no program this process starts inherits unless told to.
int pipeCloseOnExec(int ends[2]) {
#ifdef __linux__
    return pipe2(ends, O_CLOEXEC);
#else
    return pipe(ends);
#endif
}

} // namespace

Worker *startWorker(const WorkerSetup &setup, const WorkerLimits &limits, std::string &why) {
    int requests[2], answers[2];
    if (pipeCloseOnExec(requests) != 0) {
        why = std::string("cannot start a worker: ") + std::strerror(errno);
        return nullptr;
    }
    if (pipeCloseOnExec(answers) != 0) {
        why = std::string("cannot start a worker: ") + std::strerror(errno);
        close(requests[0]);
        close(requests[1]);
        return nullptr;
    }
    for (int *fd : {&requests[0], &requests[1], &answers[0], &answers[1]})
        *fd = high(*fd);

    // The worker inherits its two pipes, a closed input and output, and standard error; nothing
    // else of this process.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, requests[0], requestFd);
    posix_spawn_file_actions_adddup2(&actions, answers[1], answerFd);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, answerFd + 1);
#endif
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    for (int sig : {SIGPIPE, SIGCHLD, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGINT, SIGTERM})
        sigaddset(&reset, sig);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &reset);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char *> environment;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, workerMarker, sizeof workerMarker - 1) != 0)
            environment.push_back(*e);
    std::string marker = std::string(workerMarker) + "=" + std::to_string(getpid());
    environment.push_back(marker.data());
    environment.push_back(nullptr);

    const std::string program =
        testOnly().workerProgram.empty() ? ownProgram() : testOnly().workerProgram;
    char name[] = "ostrelle-worker";
    char *arguments[] = {name, nullptr};
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(requests[0]);
    close(answers[1]);
    if (failed != 0) {
        close(requests[1]);
        close(answers[0]);
        why = std::string("cannot start a worker: ") + std::strerror(failed);
        return nullptr;
    }
    auto *worker = new Worker{pid, requests[1], answers[0], {}, limits};
    if (!writeAll(worker->requests, encode(setup))) {
        // A worker that cannot even take its setup has ended; takeAnswer will say how.
        close(worker->requests);
        worker->requests = -1;
    }
    return worker;
}

bool submit(Worker &worker, const Job &job) {
    worker.busy = worker.requests >= 0 && writeAll(worker.requests, encode(job));
    return worker.busy;
}

int waitForAny(const std::vector<Worker *> &workers,
               std::chrono::steady_clock::time_point deadline) {
    std::vector<pollfd> fds;
    for (const Worker *w : workers)
        fds.push_back(pollfd{w->answers, POLLIN, 0});
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left < 0)
            return -1;
        // Rounded up, so that the deadline is never missed by a millisecond's sleep.
        const int ready = poll(fds.data(), fds.size(), static_cast<int>(left + 1));
        if (ready < 0 && errno != EINTR)
            return -1;
        for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i)
            if (fds[i].revents != 0)
                return static_cast<int>(i);
    }
}

namespace {

// Collects the status of a worker that has closed its answers: it is ending, so this waits a
// short while, then makes sure.
bool reap(Worker &worker, int &status, rusage &usage) {
    for (int i = 0; i < 2000; ++i) {
        const pid_t done = wait4(worker.pid, &status, WNOHANG, &usage);
        if (done == worker.pid)
            return true;
        if (done < 0 && errno != EINTR)
            return false;
        usleep(i < 100 ? 10 : 1000);
    }
    kill(worker.pid, SIGKILL);
    while (wait4(worker.pid, &status, 0, &usage) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

} // namespace

Answer takeAnswer(Worker &worker, Report &report) {
    char bytes[65536];
    const ssize_t n = read(worker.answers, bytes, sizeof bytes);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return Answer::Pending;
    if (n > 0) {
        worker.buffer.append(bytes, static_cast<std::size_t>(n));
        bool malformed = false;
        if (takeReport(worker.buffer, report, malformed)) {
            worker.busy = false;
            return Answer::Report;
        }
        if (!malformed)
            return Answer::Pending;
        kill(worker.pid, SIGKILL);
        report = failure(Outcome::FailedLoad, 1284, "the worker gave a malformed answer");
    }
    int status = 0;
    rusage usage{};
    if (!reap(worker, status, usage)) {
        report = failure(Outcome::FailedLoad, 1284,
                         "the worker ended, and how could not be found out (" +
                             std::string(std::strerror(errno)) + ")");
        worker.pid = -1;
        return Answer::Ended;
    }
    worker.pid = -1;
    if (n > 0)
        return Answer::Ended; // the malformed answer's report stands
#ifdef __APPLE__
    const std::uint64_t peak = static_cast<std::uint64_t>(usage.ru_maxrss);
#else
    const std::uint64_t peak = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
#endif
    report = describe(status, peak, worker.limits);
    return Answer::Ended;
}

void stopWorker(Worker *worker) {
    if (worker == nullptr)
        return;
    if (worker->requests >= 0)
        close(worker->requests);
    if (worker->pid > 0) {
        // An idle worker ends at the end of its requests; one that is still busy is killed.
        int status = 0;
        rusage usage{};
        if (worker->busy)
            kill(worker->pid, SIGKILL);
        reap(*worker, status, usage);
    }
    close(worker->answers);
    delete worker;
}

void limitSelf(const WorkerSetup &setup) {
#if !defined(OSTRELLE_ASAN)
    // The address sanitizer reserves terabytes of address space up front, so under it only the
    // file bound and the time bound apply.
    if (setup.memoryBytes > 0)
        setLimit(RLIMIT_AS, setup.memoryBytes);
#endif
    // A tighter file bound of the session's own stays, and so does what it chose to happen at
    // it; under ours, a worker that writes too much is stopped.
    std::uint64_t session = 0;
    if (!sessionFileLimit(session) || session > setup.outputBytes) {
        std::signal(SIGXFSZ, SIG_DFL);
        setLimit(RLIMIT_FSIZE, setup.outputBytes);
    }
    setLimit(RLIMIT_CORE, 0);
}

int runAsWorker(WorkFunction work) {
    const char *parent = std::getenv(workerMarker);
    if (parent == nullptr)
        return -1;
#ifdef __linux__
    // A worker outlives no run: if the run goes, so does it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (std::to_string(getppid()) != parent)
        _exit(2);
#endif
    std::set_new_handler([] { _exit(workerOutOfMemoryStatus); });
    // _exit: the library's exit handlers have nothing to save, and sanitizers' end-of-run checks
    // would need what the sandbox took away.
    _exit(serveJobs(requestFd, answerFd, work));
}

bool confineSelf(const WorkerSetup &setup, std::string &why) {
    const SandboxStatus status = confineWorker(setup.inputs, setup.stagingDirs);
    why = status.why;
    return status.ok;
}

void keepHeapWarm() {
#ifdef __GLIBC__
    // Keeps the memory of one image for the next instead of handing it back to the system and
    // faulting it in again: buffers up to 32 MiB (a picture of eight million pixels) come from a
    // heap that is never trimmed. Larger ones keep mappings of their own, because images of
    // different sizes would splinter a heap that held them, and a worker must never hold more
    // than twice its largest image: the run counts on that when it converts several at once.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, -1);
#endif
}
