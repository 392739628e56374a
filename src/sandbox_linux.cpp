#include "sandbox.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
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

// The ruleset attributes of ABI 6; an older kernel is handed the prefix it knows, since it refuses
// a longer one.
struct RulesetAttr {
    std::uint64_t handledAccessFs;
    std::uint64_t handledAccessNet; // ABI 4
    std::uint64_t scoped;           // ABI 6
};

std::string failure(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

// Every file system right the given ABI knows: any right left unhandled would stay allowed.
std::uint64_t fsRights(int abi) {
    std::uint64_t rights = (1ULL << 13) - 1; // ABI 1: from executing to making symlinks
    if (abi >= 2)
        rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5)
        rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return rights;
}

// Grants access beneath the object at path (the file itself when it is one), if it can be opened
// and is of the wanted kind; what cannot be opened gets no rule, and the library then fails on it.
bool allow(int ruleset, const std::string &path, bool directory, std::uint64_t access,
           std::string &why) {
    const int fd = open(path.c_str(), O_PATH | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
    if (fd < 0)
        return true;
    struct stat st {};
    bool ok = true;
    // A directory named as an input would open every file beneath it; anything else named (a
    // pipe, a device) is read as the unconfined library would read it.
    if (fstat(fd, &st) == 0 && directory == S_ISDIR(st.st_mode)) {
        const landlock_path_beneath_attr rule{access, fd};
        if (syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
            why = failure(("landlock rule for " + path).c_str());
            ok = false;
        }
    }
    close(fd);
    return ok;
}

// Returns "" once the process is confined, or what failed.
std::string applyLandlock(int abi, const std::vector<std::string> &inputs,
                          const std::vector<std::string> &stagingDirs) {
    RulesetAttr attr{fsRights(abi), 0, 0};
    std::size_t size = offsetof(RulesetAttr, handledAccessNet);
    if (abi >= 4) {
        // Handled with no rule: no TCP port may be bound or connected to.
        attr.handledAccessNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
        size = offsetof(RulesetAttr, scoped);
    }
    if (abi >= 6) {
        attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
        size = sizeof attr;
    }
    const int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
    if (ruleset < 0)
        return failure("landlock_create_ruleset");
    std::string why;
    bool ok = true;
    for (const std::string &input : inputs)
        ok = ok && allow(ruleset, input, false, LANDLOCK_ACCESS_FS_READ_FILE, why);
    // The library creates, writes, reads back and removes its files there, and the worker renames
    // them. Nothing but regular files may be made there, as the trusted parent opens what it
    // finds: a symlink could point its repair at a user's file, a pipe could stall it.
    const std::uint64_t staging = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                  LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG |
                                  LANDLOCK_ACCESS_FS_TRUNCATE;
    for (const std::string &dir : stagingDirs)
        ok = ok && allow(ruleset, dir, true, staging & fsRights(abi), why);
    if (ok && syscall(SYS_landlock_restrict_self, ruleset, 0) != 0)
        why = failure("landlock_restrict_self");
    close(ruleset);
    return why;
}

// Returns "" once the filter is loaded, or what failed. Calls are refused with an error rather
// than by killing the process, so a refusal shows as a failed file, not as a crash.
std::string applySeccomp() {
    // A signal may still reach the worker itself: abort() and raise() must keep working.
    const scmp_arg_cmp otherProcess{0, SCMP_CMP_NE, static_cast<scmp_datum_t>(getpid()), 0};
    const scmp_arg_cmp newLimit{2, SCMP_CMP_NE, 0, 0};
    const scmp_arg_cmp newProcess{0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0};
    struct Refusal {
        int call;
        int error;
        const scmp_arg_cmp *when; // refused only when this holds; always when null
    };
    const Refusal refusals[] = {
        // Running programs or starting processes; glibc falls back from clone3, whose flags a
        // filter cannot see, to clone for threads.
        {SCMP_SYS(execve), EPERM, nullptr},
        {SCMP_SYS(execveat), EPERM, nullptr},
        {SCMP_SYS(fork), EPERM, nullptr},
        {SCMP_SYS(vfork), EPERM, nullptr},
        {SCMP_SYS(clone), EPERM, &newProcess},
        {SCMP_SYS(clone3), ENOSYS, nullptr},
        // Sockets of any family: the worker talks to its parent through descriptors it inherits.
        {SCMP_SYS(socket), EPERM, nullptr},
        {SCMP_SYS(socketpair), EPERM, nullptr},
        {SCMP_SYS(connect), EPERM, nullptr},
        {SCMP_SYS(bind), EPERM, nullptr},
        {SCMP_SYS(listen), EPERM, nullptr},
        {SCMP_SYS(accept), EPERM, nullptr},
        {SCMP_SYS(accept4), EPERM, nullptr},
        // Reaching into or signalling other processes; a pidfd cannot be told apart from one of
        // the worker's own, and the worker has none.
        {SCMP_SYS(ptrace), EPERM, nullptr},
        {SCMP_SYS(process_vm_readv), EPERM, nullptr},
        {SCMP_SYS(process_vm_writev), EPERM, nullptr},
        {SCMP_SYS(pidfd_getfd), EPERM, nullptr},
        {SCMP_SYS(kcmp), EPERM, nullptr},
        {SCMP_SYS(kill), EPERM, &otherProcess},
        {SCMP_SYS(tkill), EPERM, &otherProcess},
        {SCMP_SYS(tgkill), EPERM, &otherProcess},
        {SCMP_SYS(rt_sigqueueinfo), EPERM, &otherProcess},
        {SCMP_SYS(rt_tgsigqueueinfo), EPERM, &otherProcess},
        {SCMP_SYS(pidfd_send_signal), EPERM, nullptr},
        // Raising its own limits; reading them stays allowed.
        {SCMP_SYS(setrlimit), EPERM, nullptr},
        {SCMP_SYS(prlimit64), EPERM, &newLimit},
        // The kernel's larger surfaces, which a converter never needs. io_uring would also carry
        // out operations that this filter never sees.
        {SCMP_SYS(io_uring_setup), EPERM, nullptr},
        {SCMP_SYS(io_uring_enter), EPERM, nullptr},
        {SCMP_SYS(io_uring_register), EPERM, nullptr},
        {SCMP_SYS(bpf), EPERM, nullptr},
        {SCMP_SYS(perf_event_open), EPERM, nullptr},
        {SCMP_SYS(userfaultfd), EPERM, nullptr},
        {SCMP_SYS(keyctl), EPERM, nullptr},
        {SCMP_SYS(add_key), EPERM, nullptr},
        {SCMP_SYS(request_key), EPERM, nullptr},
        {SCMP_SYS(unshare), EPERM, nullptr},
        {SCMP_SYS(setns), EPERM, nullptr},
        {SCMP_SYS(mount), EPERM, nullptr},
        {SCMP_SYS(umount2), EPERM, nullptr},
        {SCMP_SYS(pivot_root), EPERM, nullptr},
        {SCMP_SYS(chroot), EPERM, nullptr},
        {SCMP_SYS(open_tree), EPERM, nullptr},
        {SCMP_SYS(move_mount), EPERM, nullptr},
        {SCMP_SYS(fsopen), EPERM, nullptr},
        {SCMP_SYS(fsconfig), EPERM, nullptr},
        {SCMP_SYS(fsmount), EPERM, nullptr},
        {SCMP_SYS(fspick), EPERM, nullptr},
        {SCMP_SYS(open_by_handle_at), EPERM, nullptr},
        {SCMP_SYS(init_module), EPERM, nullptr},
        {SCMP_SYS(finit_module), EPERM, nullptr},
        {SCMP_SYS(delete_module), EPERM, nullptr},
        {SCMP_SYS(kexec_load), EPERM, nullptr},
        {SCMP_SYS(kexec_file_load), EPERM, nullptr},
        {SCMP_SYS(reboot), EPERM, nullptr},
        {SCMP_SYS(swapon), EPERM, nullptr},
        {SCMP_SYS(swapoff), EPERM, nullptr},
        {SCMP_SYS(acct), EPERM, nullptr},
    };
    const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr)
        return "seccomp_init failed";
        // Every system call of the worker passes the filter: a binary tree of the calls, where
        // libseccomp can make one, costs a few comparisons instead of one per refusal.
#if SCMP_VER_MAJOR > 2 || (SCMP_VER_MAJOR == 2 && SCMP_VER_MINOR >= 5)
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
#endif
    std::string why;
    for (const Refusal &r : refusals) {
        const int rc = seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(r.error), r.call,
                                              r.when != nullptr ? 1 : 0, r.when);
        if (rc != 0) {
            char *name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, r.call);
            why = std::string("seccomp rule for ") + (name != nullptr ? name : "?") + ": " +
                  std::strerror(-rc);
            std::free(name);
            break;
        }
    }
    if (why.empty()) {
        if (const int rc = seccomp_load(filter); rc != 0)
            why = std::string("seccomp_load: ") + std::strerror(-rc);
    }
    seccomp_release(filter);
    return why;
}

} // namespace

SandboxStatus confineWorker(const std::vector<std::string> &inputs,
                            const std::vector<std::string> &stagingDirs) {
    SandboxStatus status;
    auto note = [&status](const std::string &what) {
        status.applied += (status.applied.empty() ? "" : ", ") + what;
    };
    // First, as both mechanisms below need it from a process without privileges.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        status.why = failure("no-new-privs");
        return status;
    }
    note("no-new-privs");

    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 0 && errno != ENOSYS && errno != EOPNOTSUPP) {
        status.why = failure("landlock version");
        return status;
    }
    if (abi > 0) {
        status.why = applyLandlock(static_cast<int>(abi), inputs, stagingDirs);
        if (!status.why.empty())
            return status;
        note("landlock ABI " + std::to_string(abi));
    }

    // A kernel built without seccomp does not know the question.
    if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0 || errno != EINVAL) {
        status.why = applySeccomp();
        if (!status.why.empty())
            return status;
        note("seccomp");
    }
    status.ok = true;
    return status;
}
