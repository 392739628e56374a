#include "output.h"

#include "testonly.h"
#include "tga.h"

#include <IL/il.h>

#include <chrono>
#include <thread>

int publishOutput(NativeFile scratch, const std::string &outname, std::uint64_t largest) {
    // Sealed first: nothing the worker still holds or does can change the bytes read below.
    std::uint64_t size = 0, end = 0;
    std::uint8_t header[18];
    if (!sealScratch(scratch) || !sizeOf(scratch, size) || size > largest ||
        !readAt(scratch, header, sizeof header, 0) || !mendTgaHeader(header, size, end))
        return IL_FILE_WRITE_ERROR;
    // The session's file size limit applies to the run's writes too, where passing it would end
    // the run with SIGXFSZ: what the worker wrote may fit it while the file with its footer
    // does not.
    if (end + tgaFooter().size() > largest)
        return outputPastBound;
    Contents contents;
    contents.head.assign(reinterpret_cast<const char *>(header), sizeof header);
    contents.from = scratch;
    contents.offset = sizeof header;
    contents.length = end - sizeof header;
    contents.tail = tgaFooter();
    const Publish published = publishNew(outname, contents);
    // Tests end a run here too, with the output named and its report not yet printed.
    if (published == Publish::Done && testOnly().publishPauseMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(testOnly().publishPauseMs));
    switch (published) {
    case Publish::Done: return IL_NO_ERROR;
    case Publish::Exists: return IL_FILE_ALREADY_EXISTS;
    case Publish::CannotCreate: return IL_COULD_NOT_OPEN_FILE;
    case Publish::WriteFailed: break;
    }
    return IL_FILE_WRITE_ERROR;
}
