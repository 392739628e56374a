// The worker's confinement on Linux: no capabilities, no new privileges, Landlock handling every
// right it knows and granting none, and a seccomp filter that allows only the system calls the
// worker's loop needs on the descriptors it holds.
#include "confine.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Debian 12's <linux/landlock.h> stops at ABI 2, while the kernels it runs on may offer more.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace {

// The descriptor the worker's requests come in on (see worker_posix.cpp).
constexpr int channelFd = 3;

ConfineStatus failed(ConfineStep step, int error) { return ConfineStatus{false, step, error}; }

// The ruleset attributes of ABI 6; an older kernel is handed the prefix it knows, since it refuses
// a longer one.
struct RulesetAttr {
    std::uint64_t handledAccessFs;
    std::uint64_t handledAccessNet; // ABI 4
    std::uint64_t scoped;           // ABI 6
};

// Every file system right the given ABI knows: any right left unhandled would stay allowed.
std::uint64_t fsRights(long abi) {
    std::uint64_t rights = (1ULL << 13) - 1; // ABI 1: from executing to making symlinks
    if (abi >= 2)
        rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5)
        rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return rights;
}

// Handles every right of the kernel's ABI and grants none: no path may be opened, made or
// changed, no TCP port bound or reached, no abstract socket or process outside reached.
ConfineStatus applyLandlock(long abi) {
    RulesetAttr attr{fsRights(abi), 0, 0};
    std::size_t size = offsetof(RulesetAttr, handledAccessNet);
    if (abi >= 4) {
        attr.handledAccessNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
        size = offsetof(RulesetAttr, scoped);
    }
    if (abi >= 6) {
        attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
        size = sizeof attr;
    }
    const int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
    if (ruleset < 0)
        return failed(ConfineStep::LandlockRuleset, errno);
    const bool restricted = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    const int error = errno;
    close(ruleset);
    return restricted ? ConfineStatus{true, {}, 0} : failed(ConfineStep::LandlockRestrict, error);
}

// One system call the worker may make, when its arguments match (all of them, at most two).
struct Allowed {
    int call;
    unsigned compared = 0;
    scmp_arg_cmp args[2] = {};
};

scmp_arg_cmp argIs(unsigned arg, scmp_datum_t value) {
    return scmp_arg_cmp{arg, SCMP_CMP_EQ, value, 0};
}

// Allows what the worker's loop needs and nothing else; anything else fails with EPERM, so a
// refused call shows as a failed file, not as a crash. Each call here is an action on what the
// worker holds already: memory, time, its own descriptors, its own end.
ConfineStatus applySeccomp() {
    const auto self = static_cast<scmp_datum_t>(getpid());
    const Allowed allowed[] = {
        // Reading the input, writing the output and the answers; the requests with their files.
        {SCMP_SYS(read)},
        {SCMP_SYS(readv)},
        {SCMP_SYS(pread64)},
        {SCMP_SYS(write)},
        {SCMP_SYS(writev)},
        {SCMP_SYS(pwrite64)},
        {SCMP_SYS(lseek)},
        {SCMP_SYS(close)},
        {SCMP_SYS(fstat)},
        {SCMP_SYS(recvmsg), 1, {argIs(0, channelFd)}},
        // What the C library asks of a descriptor it is given; no owner, no signal, no lease.
        {SCMP_SYS(fcntl), 1, {argIs(1, F_GETFL)}},
        {SCMP_SYS(fcntl), 1, {argIs(1, F_SETFL)}},
        {SCMP_SYS(fcntl), 1, {argIs(1, F_GETFD)}},
        {SCMP_SYS(fcntl), 1, {argIs(1, F_SETFD)}},
        // Memory.
        {SCMP_SYS(brk)},
        {SCMP_SYS(mmap)},
        {SCMP_SYS(munmap)},
        {SCMP_SYS(mremap)},
        {SCMP_SYS(mprotect)},
        {SCMP_SYS(madvise)},
        // Waiting and time.
        {SCMP_SYS(futex)},
        {SCMP_SYS(clock_gettime)},
        {SCMP_SYS(clock_getres)},
        {SCMP_SYS(gettimeofday)},
        {SCMP_SYS(nanosleep)},
        {SCMP_SYS(clock_nanosleep)},
        {SCMP_SYS(sched_yield)},
        {SCMP_SYS(restart_syscall)},
        // Its own signals and its own end (abort() raises SIGABRT at itself).
        {SCMP_SYS(rt_sigreturn)},
        {SCMP_SYS(rt_sigprocmask)},
        {SCMP_SYS(rt_sigaction)},
        {SCMP_SYS(sigaltstack)},
        {SCMP_SYS(getpid)},
        {SCMP_SYS(gettid)},
        {SCMP_SYS(kill), 1, {argIs(0, self)}},
        {SCMP_SYS(tgkill), 1, {argIs(0, self)}},
        {SCMP_SYS(getrandom)},
        {SCMP_SYS(prlimit64), 2, {argIs(0, 0), argIs(2, 0)}}, // reading its own limits
        {SCMP_SYS(exit)},
        {SCMP_SYS(exit_group)},
    };
    const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr)
        return failed(ConfineStep::SeccompRule, ENOMEM);
        // Every system call of the worker passes the filter: a binary tree of the calls, where
        // libseccomp can make one, costs a few comparisons instead of one per rule.
#if SCMP_VER_MAJOR > 2 || (SCMP_VER_MAJOR == 2 && SCMP_VER_MINOR >= 5)
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
#endif
    ConfineStatus status{true, {}, 0};
    for (const Allowed &a : allowed) {
        if (a.call < 0)
            continue; // not a call of this architecture
        const int rc = seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, a.call, a.compared, a.args);
        if (rc != 0) {
            status = failed(ConfineStep::SeccompRule, -rc);
            break;
        }
    }
    if (status.ok) {
        if (const int rc = seccomp_load(filter); rc != 0)
            status = failed(ConfineStep::SeccompLoad, -rc);
    }
    seccomp_release(filter);
    return status;
}

// Drops every capability, for a worker started by root: afterwards root's worker can do no more
// than anyone's.
bool dropCapabilities() {
    for (int cap = 0; cap <= 63; ++cap)
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL && errno != EPERM)
            return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    return syscall(SYS_capset, &header, none) == 0;
}

} // namespace

ConfineStatus confineSelf(const ConfineOptions &options) {
    if (options.refuse)
        return failed(ConfineStep::NoNewPrivs, EPERM);
    if (!dropCapabilities())
        return failed(ConfineStep::Capabilities, errno);
    // First, as both mechanisms below need it from a process without privileges.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return failed(ConfineStep::NoNewPrivs, errno);

    const long abi = options.hideLandlock ? -1
                                          : syscall(SYS_landlock_create_ruleset, nullptr, 0,
                                                    LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 0 && !options.hideLandlock && errno != ENOSYS && errno != EOPNOTSUPP)
        return failed(ConfineStep::LandlockVersion, errno);
    if (abi > 0) {
        if (const ConfineStatus status = applyLandlock(abi); !status.ok)
            return status;
    }
    // A kernel built without seccomp does not know the question.
    if (options.hideSeccomp || (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0 && errno == EINVAL))
        return ConfineStatus{true, {}, 0};
    return applySeccomp();
}
