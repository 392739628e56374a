// Starting, feeding, watching and ending a worker on POSIX systems. A worker is the worker
// program, which alone holds the image library, in a session of its own, with an empty environment,
// standard input, output and error on /dev/null, and one socket to the run at descriptor 3, over
// which each job comes with its files as descriptors.
#include "worker_posix.h"
#include "worker.h"

#include "testonly.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <random>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A number a worker cannot guess ahead.
std::uint32_t unforeseeable() {
    static std::mt19937 numbers{std::random_device{}()};
    return static_cast<std::uint32_t>(numbers());
}

// Kills one worker; never anything else, whatever pid holds (kill(-1) would reach every process).
void killWorker(pid_t pid) {
    if (pid > 0)
        kill(pid, SIGKILL);
}

// The worker program, found once from the program's own file (executing "/proc/self/exe" would
// start whatever runs this process, such as valgrind): installed, it lies in the library folder
// the build names; in a build folder, beside the program.
const std::string &workerProgram() {
    static const std::string path = [] {
        char buffer[4096];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
        // Without its own file the program starts no worker: a bare name would be looked up
        // in the current folder, among the files it was handed.
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
            return std::string();
        std::string folder(buffer, static_cast<std::size_t>(n));
        folder.erase(folder.find_last_of('/') + 1);
        const std::string installed = folder + OSTRELLE_WORKER_FOLDER "/" + workerProgramName;
        return access(installed.c_str(), X_OK) == 0 ? installed : folder + workerProgramName;
    }();
    return path;
}

// The workers alive, for killWorkersNow; a slot holds 0 when free.
constexpr std::size_t maxWorkers = 1024;
volatile pid_t alive[maxWorkers];

void remember(pid_t pid) {
    for (volatile pid_t &slot : alive)
        if (slot == 0) {
            slot = pid;
            return;
        }
}

void forget(pid_t pid) {
    for (volatile pid_t &slot : alive)
        if (slot == pid)
            slot = 0;
}

} // namespace

struct Worker {
    pid_t pid = -1;
    int channel = -1;
    std::string buffer;
    WorkerLimits limits;
    bool busy = false;        // a file was handed over and not yet answered
    std::uint32_t serial = 0; // the job in hand's
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

Worker *startWorker(const WorkerSetup &setup, const WorkerLimits &limits, std::string &why) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        why = std::string("cannot start a worker: ") + std::strerror(errno);
        return nullptr;
    }
    // The worker inherits its socket and /dev/null three times; nothing else of this process,
    // not its terminal, not its environment, not its session.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], channelFd);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, channelFd + 1);
#endif
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, reset;
    sigemptyset(&none);
    // Every signal at its default, but what the session chose for a write past its file size
    // limit (see limitSelf).
    sigfillset(&reset);
    sigdelset(&reset, SIGXFSZ);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &reset);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

    const std::string program =
        testOnly().workerProgram.empty() ? workerProgram() : testOnly().workerProgram;
    char name[] = "ostrelle-worker";
    char *arguments[] = {name, nullptr};
    char *emptyEnvironment[] = {nullptr};
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, emptyEnvironment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        why = std::string("cannot start a worker: ") + std::strerror(failed);
        return nullptr;
    }
    remember(pid);
    auto *worker = new Worker{pid, ends[0], {}, limits};
    const std::string frame = encode(setup);
    if (send(worker->channel, frame.data(), frame.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(frame.size()))
        shutdown(worker->channel, SHUT_WR); // it has ended; hear() will say how
    return worker;
}

bool submit(Worker &worker, Job job, NativeFile input, NativeFile output) {
    // An idle worker has nothing to say: one that has spoken out of turn is done with.
    char spoken;
    if (recv(worker.channel, &spoken, 1, MSG_DONTWAIT | MSG_PEEK) >= 0 || errno != EAGAIN) {
        killWorker(worker.pid);
        return false;
    }
    job.hasInput = input != noFile;
    job.hasOutput = output != noFile;
    job.serial = worker.serial = unforeseeable();
    std::string frame = encode(job);
    iovec bytes{frame.data(), frame.size()};
    int fds[2], count = 0;
    for (const int fd : {input, output})
        if (fd != noFile)
            fds[count++] = fd;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr message{};
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    if (count > 0) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * static_cast<std::size_t>(count));
        cmsghdr *c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<std::size_t>(count));
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * static_cast<std::size_t>(count));
    }
    ssize_t sent;
    while ((sent = sendmsg(worker.channel, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    worker.busy = sent == static_cast<ssize_t>(frame.size());
    return worker.busy;
}

int waitForAny(const std::vector<Worker *> &workers,
               std::chrono::steady_clock::time_point deadline) {
    std::vector<pollfd> fds;
    for (const Worker *w : workers)
        fds.push_back(pollfd{w->channel, POLLIN, 0});
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

// Collects the status of a worker that has closed its socket: a worker closes it by ending, which
// the kernel makes known a moment later, so this waits a short while, then makes sure; killed
// says whether it had to.
bool reap(Worker &worker, int &status, rusage &usage, bool &killed) {
    killed = false;
    for (int i = 0; i < 350; ++i) {
        const pid_t done = wait4(worker.pid, &status, WNOHANG, &usage);
        if (done == worker.pid)
            return true;
        if (done < 0 && errno != EINTR)
            return false;
        usleep(i < 100 ? 10 : 1000);
    }
    killed = true;
    killWorker(worker.pid);
    while (wait4(worker.pid, &status, 0, &usage) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

WorkerEnd endOf(int status, const rusage &usage) {
    WorkerEnd end;
#ifdef __APPLE__
    end.peakBytes = static_cast<std::uint64_t>(usage.ru_maxrss);
#else
    end.peakBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
#endif
    if (WIFEXITED(status)) {
        end.status = static_cast<std::uint64_t>(WEXITSTATUS(status));
        end.kind = WEXITSTATUS(status) == workerOutOfMemoryStatus ? WorkerEnd::OutOfMemory
                                                                  : WorkerEnd::Exited;
        return end;
    }
    const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    end.status = static_cast<std::uint64_t>(sig);
    end.kind = sig == SIGXFSZ   ? WorkerEnd::OutputBound
               : sig == SIGKILL ? WorkerEnd::Killed
                                : WorkerEnd::Crashed;
    return end;
}

void finishOff(Worker &worker, WorkerEnd &end) {
    int status = 0;
    rusage usage{};
    bool killed = false;
    if (reap(worker, status, usage, killed)) {
        if (end.kind != WorkerEnd::Malformed)
            end = endOf(status, usage);
        // One that closed its socket and went on is no worker a run can use.
        if (killed)
            end.kind = WorkerEnd::Closed;
    } else {
        end.kind = WorkerEnd::Unknown;
        end.status = static_cast<std::uint64_t>(errno);
    }
    forget(worker.pid);
    worker.pid = -1;
}

} // namespace

Heard hear(Worker &worker, Answer &answer, WorkerEnd &end) {
    // One message at a time; the kernel drops any descriptors a worker sends along.
    char bytes[256];
    const ssize_t n = recv(worker.channel, bytes, sizeof bytes, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return Heard::Pending;
    if (n > 0) {
        bool malformed = static_cast<std::size_t>(n) > sizeof bytes;
        worker.buffer.append(bytes, malformed ? 0 : static_cast<std::size_t>(n));
        // An answer for another job than the one in hand (one sent twice, or ahead) is none.
        const bool taken = !malformed && takeAnswer(worker.buffer, answer, malformed);
        if (taken && answer.serial == worker.serial) {
            worker.busy = false;
            return Heard::Answer;
        }
        malformed = malformed || taken;
        if (!malformed)
            return Heard::Pending;
        killWorker(worker.pid);
        end.kind = WorkerEnd::Malformed;
    }
    finishOff(worker, end);
    return Heard::Ended;
}

void stopWorker(Worker *worker) {
    if (worker == nullptr)
        return;
    // An idle worker ends at the end of its requests; one that is still busy is killed.
    shutdown(worker->channel, SHUT_WR);
    if (worker->pid > 0) {
        int status = 0;
        rusage usage{};
        bool killed = false;
        if (worker->busy)
            killWorker(worker->pid);
        reap(*worker, status, usage, killed);
        forget(worker->pid);
    }
    close(worker->channel);
    delete worker;
}

void killWorkersNow() {
    for (volatile pid_t &slot : alive)
        killWorker(slot);
}

bool sessionFileLimit(std::uint64_t &bytes) {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return false;
    bytes = limit.rlim_cur;
    return true;
}
