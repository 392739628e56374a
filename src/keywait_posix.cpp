#include "keywait.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The settings to put back and those of the wait; the signal handlers, which can reach nothing
// else, apply them too.
termios saved, oneKey;

const int endingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Installed with SA_RESETHAND: the signal, raised again, meets its default action once this
// handler returns and unblocks it.
extern "C" void restoreAndReraise(int sig) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    raise(sig);
}

// Ctrl-Z: while the program is stopped the shell has the terminal as it was. The stop is
// SIGTSTP's own, so the shell reports an ordinary stop, and the kernel skips it where no shell
// could continue the program (started straight in a terminal window): there the wait goes on.
extern "C" void restoreAndStop(int) {
    const int savedErrno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    struct sigaction stop = {}, self;
    stop.sa_handler = SIG_DFL;
    sigaction(SIGTSTP, &stop, &self);
    raise(SIGTSTP);
    sigset_t tstp;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &tstp, nullptr); // the stop happens here
    sigaction(SIGTSTP, &self, nullptr);
    tcsetattr(STDIN_FILENO, TCSANOW, &oneKey);
    errno = savedErrno;
}

// After any stop, kill -STOP too, the shell has put its own settings back: they wait for Enter.
extern "C" void applyOneKey(int) {
    const int savedErrno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &oneKey);
    errno = savedErrno;
}

// Installs handler for sig, keeping the disposition it replaces in previous. A signal the
// caller ignores (nohup's SIGHUP) stays ignored.
void handle(int sig, void (*handler)(int), int flags, struct sigaction &previous) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    // Once a handler has put the terminal back to end the program, none may switch it again.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGTSTP);
    sigaddset(&action.sa_mask, SIGCONT);
    sigaction(sig, nullptr, &previous);
    if (previous.sa_handler != SIG_IGN)
        sigaction(sig, &action, nullptr);
}

// Reads the rest of the key whose first byte has been read: an arrow or a function key sends an
// escape sequence, a letter beyond ASCII two to four UTF-8 bytes. They come together, or over a
// slow link a moment apart. A key held down repeats, so no more is taken than one key sends.
void takeRestOfKey() {
    char rest[32];
    std::size_t taken = 0;
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    while (taken < sizeof rest) {
        const int ready = poll(&input, 1, 50);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        const ssize_t n = read(STDIN_FILENO, rest + taken, sizeof rest - taken);
        if (n <= 0)
            return;
        taken += static_cast<std::size_t>(n);
    }
}

} // namespace

void waitForKey() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
        std::getchar();
        return;
    }
    oneKey = saved;
    oneKey.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    oneKey.c_cc[VMIN] = 1;
    oneKey.c_cc[VTIME] = 0;

    // The handlers go in before the settings change, so no moment is left uncovered.
    // SA_RESETHAND has the sign bit set, and sa_flags is an int.
    struct sigaction previous[std::size(endingSignals)], previousStop, previousContinue;
    for (std::size_t i = 0; i < std::size(endingSignals); ++i)
        handle(endingSignals[i], restoreAndReraise, static_cast<int>(SA_RESETHAND), previous[i]);
    handle(SIGTSTP, restoreAndStop, SA_RESTART, previousStop);
    handle(SIGCONT, applyOneKey, SA_RESTART, previousContinue);

    // TCSANOW rather than TCSAFLUSH: a key pressed while the last file was still converting
    // counts, instead of being thrown away and leaving the run waiting for another.
    tcsetattr(STDIN_FILENO, TCSANOW, &oneKey);
    char key;
    ssize_t got;
    while ((got = read(STDIN_FILENO, &key, 1)) < 0 && errno == EINTR) {
    }
    if (got == 1)
        takeRestOfKey();

    // One-key mode must not come back once the terminal is put back. TCSAFLUSH: whatever is
    // left of the key, or came after it, must not reach the shell as typed input.
    sigaction(SIGCONT, &previousContinue, nullptr);
    sigaction(SIGTSTP, &previousStop, nullptr);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);

    for (std::size_t i = 0; i < std::size(endingSignals); ++i)
        sigaction(endingSignals[i], &previous[i], nullptr);
}
