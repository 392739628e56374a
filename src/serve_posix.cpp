// The worker's side of the channel on POSIX systems: recognising a start by the run, the bounds
// the worker sets on itself, and taking jobs with their descriptors and answering them.
#include "worker.h"
#include "worker_posix.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
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

namespace {

void setLimit(int resource, std::uint64_t value) {
    const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
    setrlimit(resource, &limit);
}

} // namespace

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

namespace {

// True when the program was started without arguments and descriptor 3 is a socket of the kind
// the run makes, whose other end this process's parent made: nothing a user's shell or
// environment sets up by accident.
bool startedByRun(int argc) {
    if (argc != 1)
        return false;
    int type = 0;
    socklen_t size = sizeof type;
    if (getsockopt(channelFd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_SEQPACKET)
        return false;
#ifdef __linux__
    ucred peer{};
    size = sizeof peer;
    return getsockopt(channelFd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           peer.pid == getppid();
#else
    return true;
#endif
}

bool receive(std::string &payload, int *fds, int &count) {
    char bytes[maxRequestBytes + 4];
    iovec into{bytes, sizeof bytes};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 2)];
    msghdr message{};
    message.msg_iov = &into;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    while ((n = recvmsg(channelFd, &message, 0)) < 0 && errno == EINTR) {
    }
    count = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); n > 0 && c != nullptr; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            const std::size_t got = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < got; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                if (count < 2)
                    fds[count++] = fd;
                else
                    close(fd);
            }
        }
    std::string buffer(bytes, n > 0 ? static_cast<std::size_t>(n) : 0);
    bool malformed = false;
    return n > 0 && (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
           takeFrame(buffer, payload, maxRequestBytes, malformed) && buffer.empty();
}

} // namespace

bool receiveSetup(WorkerSetup &setup) {
    std::string payload;
    int fds[2], count = 0;
    const bool ok = receive(payload, fds, count) && count == 0 && decode(payload, setup);
    for (int i = 0; i < count; ++i)
        close(fds[i]);
    return ok;
}

bool receiveJob(Job &job, NativeFile &input, NativeFile &output) {
    std::string payload;
    int fds[2], count = 0;
    if (!receive(payload, fds, count) || !decode(payload, job) ||
        count != (job.hasInput ? 1 : 0) + (job.hasOutput ? 1 : 0)) {
        for (int i = 0; i < count; ++i)
            close(fds[i]);
        return false;
    }
    input = job.hasInput ? fds[0] : noFile;
    output = job.hasOutput ? fds[count - 1] : noFile;
    return true;
}

bool sendAnswer(const Answer &answer) {
    const std::string frame = encode(answer);
    ssize_t n;
    while ((n = write(channelFd, frame.data(), frame.size())) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(frame.size());
}

int runAsWorker(int argc, WorkFunction work) {
    if (!startedByRun(argc))
        return -1;
#ifdef __linux__
    // A worker outlives no run: if the run goes, so does it. The run may have gone before this
    // took effect, which its pid shows.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(2);
#endif
    std::set_new_handler([] { _exit(workerOutOfMemoryStatus); });
    // _exit: the library's exit handlers have nothing to save, and sanitizers' end-of-run checks
    // would need what the confinement took away.
    _exit(serveJobs(work));
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
