// Ostrelle: converts the images named on the command line into TGA files beside them.
#include "convert.h"
#include "fs.h"
#include "keywait.h"
#include "run.h"
#include "worker.h"

#include <csignal>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// A run ended by a signal takes its workers and its temporary file with it, then ends as the
// signal would have ended it.
extern "C" void endRun(int sig) {
    killWorkersNow();
    removeTemporaryNow();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void endRunOnSignals() {
#ifndef _WIN32
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        sigaction(sig, nullptr, &previous);
        // A signal the caller ignores (nohup's SIGHUP) stays ignored.
        if (previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction ending {};
        ending.sa_handler = endRun;
        sigfillset(&ending.sa_mask);
        sigaction(sig, &ending, nullptr);
    }
    // Started with these ignored, the run would lose its workers' ends (an ignored SIGCHLD
    // survives exec) or die writing to a worker that has just crashed.
    std::signal(SIGCHLD, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);
#else
    // Ctrl+C, Ctrl+Break and closing the console window come to a handler on a thread of its
    // own; returning FALSE lets Windows then end the run as the event would have.
    SetConsoleCtrlHandler(
        [](DWORD) -> BOOL {
            killWorkersNow();
            removeTemporaryNow();
            return FALSE;
        },
        TRUE);
#endif
}

} // namespace

int main(int argc, char **argv) {
    if (const int status = runAsWorker(argc, convertFile); status >= 0)
        return status;
    std::cout << "Ostrelle by Quorvane." << '\n'
              << "https://quorvane.example | https://ostrelle.quorvane.example" << '\n'
              << "WARNING: This Executable and \"brindlet.bat\" must come from "
                 "https://store.quorvane.example, because otherwise, you might have a Virus."
              << std::endl
              << std::endl;

    if (argc < 2) {
        std::cout << "Drag and drop Files to the EXE." << std::endl;
    } else {
        endRunOnSignals();
        convertAll(std::vector<std::string>(argv + 1, argv + argc));
    }

    // One wait per run; end of input (or a closed stdin) returns at once.
    waitForKey();
    return 0;
}
