#include "child.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define OSTRELLE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTRELLE_ASAN 1
#endif
#endif

namespace {

void setLimit(int resource, std::uint64_t value) {
    const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
    setrlimit(resource, &limit);
}

// Runs in the forked child: never returns.
[[noreturn]] void childSide(void (*work)(const char *), const char *path, int outFd,
                            const ChildLimits &limits) {
    dup2(outFd, STDOUT_FILENO);
    close(outFd);
    // Handlers inherited from sanitizers or fuzzers would turn a crash into an ordinary exit.
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        std::signal(sig, SIG_DFL);
#if !defined(OSTRELLE_ASAN)
    // The address sanitizer reserves terabytes of address space up front, so under it only the
    // file bound and the time bound apply.
    setLimit(RLIMIT_AS, limits.memoryBytes);
#endif
    // A tighter file bound of the user's own stays, and so does what they chose to happen at it;
    // under ours, a child that writes too much is stopped.
    rlimit fileSize{};
    if (getrlimit(RLIMIT_FSIZE, &fileSize) != 0 || fileSize.rlim_cur == RLIM_INFINITY ||
        fileSize.rlim_cur > limits.outputBytes) {
        std::signal(SIGXFSZ, SIG_DFL);
        setLimit(RLIMIT_FSIZE, limits.outputBytes);
    }
    setLimit(RLIMIT_CORE, 0);
    std::set_new_handler([] { _exit(childOutOfMemoryStatus); });
    work(path);
    std::cout.flush();
    std::fflush(stdout);
    _exit(0);
}

// peakBytes is the child's largest resident size: a fault near the memory bound is most likely
// the library dereferencing an allocation that the bound made fail.
std::string describe(int status, std::uint64_t peakBytes, const ChildLimits &limits) {
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == childOutOfMemoryStatus)
            return "ran out of memory (limit " + std::to_string(limits.memoryBytes >> 20) + " MiB)";
        return "the image library ended the process (status " +
               std::to_string(WEXITSTATUS(status)) + ")";
    }
    const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (sig == SIGXFSZ)
        return "the output grew past " + std::to_string(limits.outputBytes >> 20) + " MiB";
    if (sig == SIGKILL)
        return "the process was killed (signal 9), perhaps for lack of memory";
    if (peakBytes >= limits.memoryBytes / 2)
        return "ran out of memory (limit " + std::to_string(limits.memoryBytes >> 20) + " MiB)";
    return "the image library crashed (signal " + std::to_string(sig) + ")";
}

// A descriptor that becomes readable when the child ends, or -1 where the system has none.
int pidDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

} // namespace

ChildLimits childLimits() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    ChildLimits limits =
        limitsFor(pages > 0 && pageSize > 0
                      ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
                      : std::uint64_t{4} << 30);
    // A bound set on this process already is inherited and cannot be raised.
    rlimit inherited{};
    if (getrlimit(RLIMIT_AS, &inherited) == 0 && inherited.rlim_max != RLIM_INFINITY &&
        inherited.rlim_max < limits.memoryBytes)
        limits.memoryBytes = inherited.rlim_max;
    return limits;
}

bool isChildProcess() { return false; }

ChildResult runInChild(void (*work)(const char *), const char *path) {
    ChildResult result;
    const ChildLimits limits = childLimits();
    int out[2];
    if (pipe(out) != 0) {
        result.why = std::string("cannot start a child process: ") + std::strerror(errno);
        return result;
    }
    // Whatever is buffered now would otherwise be printed by both processes.
    std::cout.flush();
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        childSide(work, path, out[1], limits);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        result.why = std::string("cannot start a child process: ") + std::strerror(errno);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.seconds);
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd pfd{out[0], POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        // A child that floods its output is as stuck as one that never ends.
        if (result.output.size() < 65536)
            result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    // Closing its output is not ending: the deadline still holds until the child is gone.
    // Where the system can signal a process's end on a descriptor, that is waited for; elsewhere
    // the looks start quickly, as a child that closed its output is nearly always just exiting.
    int status = 0;
    rusage usage{};
    const int ended = pidDescriptor(pid);
    useconds_t pause = 10;
    while (!timedOut) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
        } else if (ended >= 0) {
            pollfd pfd{ended, POLLIN, 0};
            poll(&pfd, 1, static_cast<int>(left.count()));
        } else {
            usleep(pause);
            pause = pause < 2000 ? pause * 2 : pause;
        }
    }
    if (ended >= 0)
        close(ended);
    if (timedOut) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.why = "took longer than " + std::to_string(limits.seconds) + " s";
        return result;
    }
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (result.ok)
        return result;
#ifdef __APPLE__
    const std::uint64_t peak = static_cast<std::uint64_t>(usage.ru_maxrss);
#else
    const std::uint64_t peak = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
#endif
    result.why = describe(status, peak, limits);
    return result;
}
