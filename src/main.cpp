// Ostrelle: converts the images named on the command line into TGA files beside them.
#include "fs.h"
#include "keywait.h"
#include "run.h"
#include "worker.h"

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include "convert.h"

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
    // own, beside the run's. The handler first waits for the run to finish what must be whole
    // (making and noting a temporary file, starting a worker, naming an output and printing its
    // report) and keeps it from starting anything more of the kind, or the run could leave a file
    // or a worker the handler did not see. Then it ends the run with the status the event gives,
    // as Windows would, but without the orderly exit, which would wait for any lock the run's
    // thread held as it was stopped (the heap's, say); every report is already out.
    SetConsoleCtrlHandler(
        [](DWORD) -> BOOL {
            holdEndingForGood();
            killWorkersNow();
            removeTemporaryNow();
            TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
            return FALSE;
        },
        TRUE);
#endif
}

#ifdef _WIN32
// The UTF-8 form of an argument, or a byte no UTF-8 holds, which names no file, for a name that
// UTF-8 cannot carry (one with half of a surrogate pair, which Windows allows).
std::string utf8Of(const wchar_t *argument) {
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argument, -1, nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0)
        return "\xff";
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argument, -1, out.data(), n, nullptr,
                        nullptr);
    out.pop_back();
    return out;
}
#endif

// The arguments after the program's name, in UTF-8.
std::vector<std::string> arguments(int argc, char **argv) {
    std::vector<std::string> args;
    if (argc > 1)
        args.assign(argv + 1, argv + argc);
#ifdef _WIN32
    // The manifest's UTF-8 code page would bring every name through argv, but Windows before 10
    // 1903 ignores it; the command line itself is UTF-16 on every Windows. shell32 is loaded
    // here rather than imported, so that the workers, the same executable, never load it.
    using Split = LPWSTR *(WINAPI *)(LPCWSTR, int *);
    const HMODULE shell = LoadLibraryW(L"shell32.dll");
    const auto split = shell == nullptr ? nullptr
                                        : reinterpret_cast<Split>(reinterpret_cast<void *>(
                                              GetProcAddress(shell, "CommandLineToArgvW")));
    int n = 0;
    if (LPWSTR *wide = split == nullptr ? nullptr : split(GetCommandLineW(), &n)) {
        args.clear();
        for (int i = 1; i < n; ++i)
            args.push_back(utf8Of(wide[i]));
        LocalFree(wide);
    }
#endif
    return args;
}

} // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    // On Windows the program is its own worker; elsewhere the worker is a program of its own, so
    // that the run never maps the image library.
    if (const int status = runAsWorker(argc, convertFile); status >= 0)
        return status;
#endif
    std::cout << "Ostrelle by Quorvane." << '\n'
              << "https://quorvane.example | https://ostrelle.quorvane.example" << '\n'
              << "WARNING: This Executable and \"brindlet.bat\" must come from "
                 "https://store.quorvane.example, because otherwise, you might have a Virus."
              << std::endl
              << std::endl;

    const std::vector<std::string> args = arguments(argc, argv);
    if (args.empty()) {
        std::cout << "Drag and drop Files to the EXE." << std::endl;
    } else {
        endRunOnSignals();
        convertAll(args);
    }

    // One wait per run; end of input (or a closed stdin) returns at once.
    waitForKey();
    return 0;
}
