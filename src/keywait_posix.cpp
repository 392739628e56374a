#include "keywait.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The settings to put back, also from a signal handler, which can reach nothing else.
termios saved;

const int endingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Installed with SA_RESETHAND: the signal, raised again, meets its default action once this
// handler returns and unblocks it.
extern "C" void restoreAndReraise(int sig) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    raise(sig);
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
    // The handlers go in before the settings change, so no moment is left uncovered. A signal
    // the caller ignores (nohup's SIGHUP) stays ignored.
    struct sigaction previous[std::size(endingSignals)];
    struct sigaction restoring = {};
    restoring.sa_handler = restoreAndReraise;
    restoring.sa_flags = static_cast<int>(SA_RESETHAND); // an unsigned constant with the sign bit
    sigemptyset(&restoring.sa_mask);
    for (std::size_t i = 0; i < std::size(endingSignals); ++i) {
        sigaction(endingSignals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN)
            sigaction(endingSignals[i], &restoring, nullptr);
    }

    termios oneKey = saved;
    oneKey.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    oneKey.c_cc[VMIN] = 1;
    oneKey.c_cc[VTIME] = 0;
    // TCSANOW rather than TCSAFLUSH: a key pressed while the last file was still converting
    // counts, instead of being thrown away and leaving the run waiting for another.
    tcsetattr(STDIN_FILENO, TCSANOW, &oneKey);
    char key;
    ssize_t got;
    while ((got = read(STDIN_FILENO, &key, 1)) < 0 && errno == EINTR) {
    }
    if (got == 1)
        takeRestOfKey();
    // TCSAFLUSH: whatever is left of the key, or came after it, must not reach the shell as typed
    // input.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);

    for (std::size_t i = 0; i < std::size(endingSignals); ++i)
        sigaction(endingSignals[i], &previous[i], nullptr);
}
