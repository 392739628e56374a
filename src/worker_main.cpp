// The worker program: started by the run, it converts the files the run hands it, confined, and
// is the only process that holds the image library.
#include "convert.h"
#include "worker.h"

#include <cstdio>

int main(int argc, char **) {
    const int status = runAsWorker(argc, convertFile);
    if (status >= 0)
        return status;
    std::fputs("ostrelle-worker is started by ostrelle; run ostrelle with the images instead.\n",
               stderr);
    return 2;
}
