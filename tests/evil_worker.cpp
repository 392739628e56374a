// A worker whose decoder a hostile file has taken over. Started by the tests in place of the
// program's own worker, it serves jobs as a worker does; for a file whose ending is
// ".evil-PORT-SHMID-PID" it tries every act of evil_acts.h against the test's folder
// /tmp/ostrelle-evil-PORT (which holds secret.txt and a fake home), the test's listening PORT, its
// shared memory SHMID and its second program PID, and answers with the bits of the acts that were
// not refused (0: all were), or -1 when it could not even read its own input. Other endings:
// ".abort" aborts, ".slow" never answers, ".keep" saves a TGA and keeps its output to write into
// it later, ".chatty" answers with bytes no sound worker sends; anything else converts as usual.
#include "convert.h"
#include "evil_acts.h"
#include "worker.h"

#include <IL/il.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool readable(const std::string &path) {
    char byte;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && read(fd, &byte, 1) == 1;
    close(fd);
    return ok;
}

bool opens(const std::string &path, int flags) {
    const int fd = open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0600);
    close(fd);
    return fd >= 0;
}

bool tcp(int port, bool connecting) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto *a = reinterpret_cast<const sockaddr *>(&address);
    const bool ok =
        fd >= 0 && (connecting ? connect(fd, a, sizeof address) : bind(fd, a, sizeof address)) == 0;
    close(fd);
    return ok;
}

// The run that started this worker, seen before anything could have ended it.
pid_t run = 0;

// The output of a ".keep" job, held to be written into once the run has its answer.
int keptOutput = -1;

Answer answer(std::int32_t code) {
    Answer a;
    a.outcome = Outcome::FailedLoad;
    a.code = code;
    return a;
}

Answer actOut(int port, int shmid, pid_t other, int input) {
    const std::string folder = "/tmp/ostrelle-evil-" + std::to_string(port);
    const std::string secret = folder + "/secret.txt", home = folder + "/home";
    const std::function<bool()> tries[] = {
        [] { return readable("/etc/passwd"); },
        [&] { return readable(secret); },
        [&] {
            DIR *d = opendir(folder.c_str());
            return d != nullptr && closedir(d) == 0;
        },
        [&] { return opens(folder + "/new.tga", O_CREAT | O_EXCL); },
        [&] { return opens(secret, O_TRUNC); },
        [&] { return opens(folder + "-tmp", O_CREAT | O_EXCL); },
        [&] { return symlink("/etc/passwd", (folder + "/link.tga").c_str()) == 0; },
        [] {
            const pid_t pid = fork();
            if (pid == 0)
                _exit(0);
            return pid > 0 && waitpid(pid, nullptr, 0) == pid;
        },
        [&] { return tcp(port, true); },
        [] { return tcp(0, false); },
        // Only ever at the run that started it, as seen at the start: a worker orphaned meanwhile
        // would otherwise signal whatever adopted it.
        [] { return run > 1 && kill(run, SIGTERM) == 0; },
        [] {
            rlimit files{};
            return getrlimit(RLIMIT_NOFILE, &files) == 0 && setrlimit(RLIMIT_NOFILE, &files) == 0;
        },
        [] {
            const char c = ' ';
            for (int fd = 0; fd < 3; ++fd)
                if (ioctl(fd, TIOCSTI, &c) == 0)
                    return true;
            return false;
        },
        [] {
            termios t{};
            for (int fd = 0; fd < 3; ++fd)
                if (tcgetattr(fd, &t) == 0)
                    return true;
            return opens("/dev/tty", 0);
        },
        [&] { return chmod(secret.c_str(), 0777) == 0 || chmod(home.c_str(), 0777) == 0; },
        [&] { return chown(secret.c_str(), getuid(), getgid()) == 0; },
        [&] { return utimes(secret.c_str(), nullptr) == 0 || utimes(home.c_str(), nullptr) == 0; },
        [&] {
            return setxattr(secret.c_str(), "user.evil", "1", 1, 0) == 0 ||
                   (errno != EPERM && errno != EACCES);
        },
        [&] {
            struct stat st {};
            return stat(secret.c_str(), &st) == 0 || lstat(home.c_str(), &st) == 0;
        },
        [&] {
            const int fd = inotify_init1(IN_CLOEXEC);
            const bool ok = fd >= 0 && inotify_add_watch(fd, home.c_str(), IN_ALL_EVENTS) >= 0;
            close(fd);
            return ok;
        },
        [] { return std::getenv("OSTRELLE_SECRET") != nullptr || readable("/proc/self/environ"); },
        [] { return prctl(PR_SET_PDEATHSIG, 0) == 0; },
        [&] {
            void *memory = shmat(shmid, nullptr, 0);
            return memory != reinterpret_cast<void *>(-1) && shmdt(memory) == 0;
        },
        // At the other program alone: were it let through, PRIO_USER would slow all the user's.
        [&] { return setpriority(PRIO_PROCESS, static_cast<id_t>(other), 19) == 0; },
        [&] {
            const sched_param p{0};
            return sched_setscheduler(other, SCHED_IDLE, &p) == 0;
        },
        [&] { return fcntl(input, F_SETOWN, other) == 0 || fcntl(input, F_SETSIG, SIGKILL) == 0; },
        [] {
            return opens("/proc/" + std::to_string(run) + "/mem", 0) ||
                   readable("/proc/" + std::to_string(run) + "/mem");
        },
        [] {
            if (keptOutput < 0)
                return false;
            const char junk[18] = {};
            return pwrite(keptOutput, junk, sizeof junk, 0) == sizeof junk ||
                   ftruncate(keptOutput, 0) == 0;
        },
        [] {
            int waiting = 0;
            return ioctl(3, FIONREAD, &waiting) == 0;
        },
        [] {
            const pid_t session = getsid(0);
            return session > 0 && session != getpid();
        },
        // Last, as it would replace the worker, which the run would then see end.
        [] {
            execl("/bin/sh", "sh", "-c", "exit 0", nullptr);
            return false;
        },
    };
    static_assert(sizeof tries / sizeof tries[0] == sizeof evil::acts / sizeof evil::acts[0]);
    std::int32_t allowed = 0;
    for (std::size_t i = 0; i < sizeof tries / sizeof tries[0]; ++i)
        if (tries[i]())
            allowed |= std::int32_t{1} << i;
    // What the worker needs stays allowed: reading the input it was handed.
    char byte;
    return answer(pread(input, &byte, 1, 0) == 1 ? allowed : -1);
}

Answer work(const Job &job, NativeFile input, NativeFile output) {
    int port = 0, shmid = 0, other = 0;
    if (std::sscanf(job.ending.c_str(), ".evil-%d-%d-%d", &port, &shmid, &other) == 3) {
        const Answer a = actOut(port, shmid, other, input);
        closeFile(input);
        closeFile(output);
        return a;
    }
    if (job.ending == ".limits") {
        // Its memory and file size bounds, in MiB, as the numbers of a text.
        closeFile(input);
        closeFile(output);
        rlimit memory{}, size{};
        getrlimit(RLIMIT_AS, &memory);
        getrlimit(RLIMIT_FSIZE, &size);
        Answer a = answer(0);
        a.text = TextId::TooLarge;
        a.first = static_cast<std::uint32_t>(memory.rlim_cur >> 20);
        a.second = static_cast<std::uint32_t>(size.rlim_cur >> 20);
        return a;
    }
    // Answers no sound worker gives: two at once, an outcome or a text that does not exist, a
    // part of one before it ends; or a sound answer, and then its end between two files.
    if (job.ending == ".twice" || job.ending == ".range" || job.ending == ".text") {
        Answer a = answer(IL_COULD_NOT_OPEN_FILE);
        if (job.ending == ".range")
            a.outcome = static_cast<Outcome>(7);
        if (job.ending == ".text")
            a.text = static_cast<TextId>(99);
        a.serial = job.serial;
        const std::string frame = encode(a);
        if (write(3, frame.data(), frame.size()) < 0 ||
            (job.ending == ".twice" && write(3, frame.data(), frame.size()) < 0))
            _exit(3);
        for (;;)
            pause();
    }
    if (job.ending == ".double" || job.ending == ".long") {
        // Two answers in one message; or a frame that declares more than any answer holds.
        Answer a = answer(IL_COULD_NOT_OPEN_FILE);
        a.serial = job.serial;
        const std::string frame =
            job.ending == ".double" ? encode(a) + encode(a) : std::string("\0\0\1\0", 4) + "xy";
        if (write(3, frame.data(), frame.size()) < 0)
            _exit(3);
        for (;;)
            pause();
    }
    if (job.ending == ".short") {
        if (write(3, "\x14", 1) < 0)
            _exit(3);
        _exit(0);
    }
    if (job.ending == ".quit") {
        Answer a = answer(IL_COULD_NOT_OPEN_FILE);
        a.serial = job.serial;
        sendAnswer(a);
        _exit(0);
    }
    if (job.ending == ".close") {
        // Closes its channel to the run and stays.
        close(3);
        for (;;)
            pause();
    }
    if (job.ending == ".abort")
        std::abort();
    if (job.ending == ".hog") {
        // Takes two thirds of its memory bound, as a decoder about to fail for lack of it, and
        // crashes there.
        rlimit memory{};
        getrlimit(RLIMIT_AS, &memory);
        const std::size_t size = static_cast<std::size_t>(memory.rlim_cur / 3 * 2);
        auto *bytes = static_cast<volatile char *>(std::malloc(size));
        for (std::size_t i = 0; bytes != nullptr && i < size; i += 4096)
            bytes[i] = 1;
        std::abort();
    }
    if (job.ending == ".slow")
        for (;;)
            pause();
    if (job.ending == ".chatty") {
        // A report of its own words: escape sequences and far too much of them.
        const std::string words =
            "\x1b]52;c;ZXZpbA==\x07\x1b[2J Done!\n" + std::string(1 << 16, 'x');
        if (write(3, words.data(), words.size()) < 0)
            _exit(3);
        for (;;)
            pause();
    }
    if (job.ending == ".tight") {
        // A gray TGA of 70 x 29 pixels without its footer: 2048 bytes, exactly the file size
        // limit the test sets, which the published file, footer and all, would pass.
        closeFile(input);
        std::string tga(18 + 70 * 29, '\x80');
        const unsigned char header[18] = {0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 70, 0, 29, 0, 8, 0};
        tga.replace(0, sizeof header, reinterpret_cast<const char *>(header), sizeof header);
        const bool written = write(output, tga.data(), tga.size()) == ssize_t(tga.size());
        closeFile(output);
        return written ? Answer{} : answer(IL_FILE_WRITE_ERROR);
    }
    if (job.ending == ".keep") {
        // Saves a TGA of one blue pixel itself, and keeps its output to write into later.
        closeFile(input);
        const unsigned char tga[18 + 4] = {0, 0, 2, 0, 0, 0,  0, 0,   0, 0, 0,
                                           0, 1, 0, 1, 0, 32, 8, 255, 0, 0, 255};
        keptOutput = output;
        Answer a;
        if (write(output, tga, sizeof tga) != sizeof tga)
            a = answer(IL_FILE_WRITE_ERROR);
        return a;
    }
    return convertFile(job, input, output);
}

} // namespace

int main(int argc, char **) {
    run = getppid();
    return runAsWorker(argc, work) < 0 ? 1 : 0;
}
