// A worker whose decoder a hostile file has taken over: for a file named evil*, it tries every act
// the sandbox must refuse and answers with those that were not refused. abort.png aborts; any
// other file converts as usual. Started by the tests in place of the program's own worker.
#include "convert.h"
#include "worker.h"

#include <IL/il.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
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

std::string folderOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Tries each act; says which should have been refused and were not, or that all were.
Report actOut(const Job &job) {
    const std::string folder = folderOf(job.path), stage = folderOf(job.staged);
    const int port =
        std::atoi(std::getenv("OSTRELLE_EVIL_PORT") ? std::getenv("OSTRELLE_EVIL_PORT") : "0");
    const std::pair<const char *, std::function<bool()>> forbidden[] = {
        {"read /etc/passwd", [] { return readable("/etc/passwd"); }},
        {"read a file beside the input", [&] { return readable(folder + "/secret.txt"); }},
        {"list the input's folder",
         [&] {
             DIR *d = opendir(folder.c_str());
             return d != nullptr && closedir(d) == 0;
         }},
        {"create a file in the input's folder",
         [&] { return opens(folder + "/new.tga", O_CREAT | O_EXCL); }},
        {"overwrite a file there", [&] { return opens(folder + "/secret.txt", O_TRUNC); }},
        {"create a file in /tmp",
         [&] { return opens("/tmp/ostrelle-evil-" + std::to_string(port), O_CREAT | O_EXCL); }},
        {"link a file there into staging",
         [&] { return link((folder + "/secret.txt").c_str(), (stage + "/9.tga").c_str()) == 0; }},
        {"make a link in staging",
         [&] { return symlink("/etc/passwd", (stage + "/8.tga").c_str()) == 0; }},
        {"start a process",
         [] {
             const pid_t pid = fork();
             if (pid == 0)
                 _exit(0);
             return pid > 0 && waitpid(pid, nullptr, 0) == pid;
         }},
        {"connect to a local port", [&] { return port > 0 && tcp(port, true); }},
        {"bind a TCP port", [] { return tcp(0, false); }},
        {"signal the run", [] { return kill(getppid(), SIGTERM) == 0; }},
        {"raise a resource limit",
         [] {
             rlimit files{};
             return getrlimit(RLIMIT_NOFILE, &files) == 0 && setrlimit(RLIMIT_NOFILE, &files) == 0;
         }},
        // Last, as it would replace the worker, which the run would then see end.
        {"run /bin/sh",
         [] {
             execl("/bin/sh", "sh", "-c", "exit 0", nullptr);
             return false;
         }},
    };
    std::string allowed;
    for (const auto &[name, act] : forbidden)
        if (act())
            allowed += allowed.empty() ? name : std::string(", ") + name;
    // What the worker needs stays allowed: its input, a thread, its own staging folder.
    const bool works = readable(job.path) && opens(job.staged, O_CREAT | O_EXCL) &&
                       unlink(job.staged.c_str()) == 0 && (std::thread([] {}).join(), true);
    return failure(Outcome::FailedLoad, IL_INTERNAL_ERROR,
                   !allowed.empty() ? "allowed: " + allowed
                   : works          ? "refused every forbidden act"
                                    : "refused its own work too");
}

Report work(const Job &job) {
    const std::string name = job.path.substr(job.path.rfind('/') + 1);
    if (name.rfind("evil", 0) == 0)
        return actOut(job);
    if (name == "abort.png")
        std::abort();
    return convertFile(job);
}

} // namespace

int main() { return runAsWorker(work) < 0 ? 1 : 0; }
