// Ostrelle: converts the images named on the command line into TGA files beside them.
#include "convert.h"
#include "keywait.h"
#include "run.h"
#include "worker.h"

#include <csignal>
#include <cstdio>
#include <iostream>

int main(int argc, char **argv) {
    if (const int status = runAsWorker(convertFile); status >= 0)
        return status;
#ifndef _WIN32
    // Started with these ignored, the run would lose its workers' ends (an ignored SIGCHLD
    // survives exec) or die writing to a worker that has just crashed.
    std::signal(SIGCHLD, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::cout << "Ostrelle by Quorvane." << '\n'
              << "https://quorvane.example | https://ostrelle.quorvane.example" << '\n'
              << "WARNING: This Executable and \"brindlet.bat\" must come from "
                 "https://store.quorvane.example, because otherwise, you might have a Virus."
              << std::endl
              << std::endl;

    if (argc < 2)
        std::cout << "Drag and drop Files to the EXE." << std::endl;
    else
        convertAll(std::vector<std::string>(argv + 1, argv + argc));

    // One wait per run; end of input (or a closed stdin) returns at once.
    waitForKey();
    return 0;
}
