// Ostrelle: converts the images named on the command line into TGA files beside them.
#include <cstdio>
#include <iostream>

#include "convert.h"
#include "keywait.h"

int main(int argc, char **argv) {
    if (convertAsChild(argc, argv))
        return 0;
    std::cout << "Ostrelle by Quorvane." << '\n'
              << "https://quorvane.example | https://ostrelle.quorvane.example" << '\n'
              << "WARNING: This Executable and \"brindlet.bat\" must come from "
                 "https://store.quorvane.example, because otherwise, you might have a Virus."
              << std::endl
              << std::endl;

    if (argc < 2)
        std::cout << "Drag and drop Files to the EXE." << std::endl;
    else
        for (int i = 1; i < argc; ++i)
            convertFile(argv[i]);

    // One wait per run; end of input (or a closed stdin) returns at once.
    waitForKey();
    return 0;
}
