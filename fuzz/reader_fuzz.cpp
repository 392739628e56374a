// Feeds arbitrary bytes to one of the library's readers, chosen when this file is compiled:
// OSTRELLE_READER is the library's type for it (IL_BMP, ...). A loaded image is then converted to
// 8-bit BGRA, as a worker converts what it loads, so a reader that leaves an image the library
// cannot hold is found too.
//
// Run with --write-seeds=DIR (and nothing else), the target writes small pictures of several
// layouts into DIR with the library's own writer for its format, where the library has one, and
// ends; .ci/fuzz.sh starts each reader's corpus from them.
#include <IL/il.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef OSTRELLE_READER
#error "OSTRELLE_READER names the library's type of the reader to fuzz"
#endif

// The multi-page PCX reader has no entry among the library's typed loaders.
extern "C" ILboolean ilLoadDcxL(const void *lump, ILuint size);

// What a worker may allocate is bounded, so the library's allocations are bounded here too: one
// past 64 MiB fails, as it would in a worker, instead of ending the run. Leaks on refused files
// are the library's and end with the worker.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=64:detect_leaks=0";
}

namespace {

ILboolean load(const std::uint8_t *data, std::size_t size) {
    if (OSTRELLE_READER == IL_DCX)
        return ilLoadDcxL(data, static_cast<ILuint>(size));
    return ilLoadL(OSTRELLE_READER, data, static_cast<ILuint>(size));
}

void clearErrors() {
    while (ilGetError() != IL_NO_ERROR) {
    }
}

// Small pictures with a gradient: gray, gray with alpha, RGB and RGBA, a colour map, odd sides.
void writeSeeds(const std::string &folder) {
    struct Layout {
        ILuint width, height;
        ILubyte channels;
        ILenum format;
    };
    const Layout layouts[] = {{1, 1, 3, IL_RGB},
                              {3, 2, 3, IL_RGB},
                              {5, 3, 4, IL_RGBA},
                              {4, 4, 1, IL_LUMINANCE},
                              {7, 5, 2, IL_LUMINANCE_ALPHA},
                              {16, 9, 3, IL_RGB},
                              {8, 8, 4, IL_RGBA}};
    std::vector<ILubyte> buffer(1 << 20);
    int written = 0;
    for (const Layout &l : layouts) {
        std::vector<ILubyte> pixels(static_cast<std::size_t>(l.width) * l.height * l.channels);
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<ILubyte>(i * 37 + i / 3);
        const ILuint image = ilGenImage();
        ilBindImage(image);
        if (ilTexImage(l.width, l.height, 1, l.channels, l.format, IL_UNSIGNED_BYTE,
                       pixels.data()) == IL_TRUE) {
            const ILuint size =
                ilSaveL(OSTRELLE_READER, buffer.data(), static_cast<ILuint>(buffer.size()));
            if (size > 0 && size <= buffer.size()) {
                const std::string path = folder + "/written-" + std::to_string(l.width) + "x" +
                                         std::to_string(l.height) + "x" +
                                         std::to_string(l.channels);
                std::FILE *file = std::fopen(path.c_str(), "wb");
                if (file == nullptr || std::fwrite(buffer.data(), 1, size, file) != size ||
                    std::fclose(file) != 0) {
                    std::perror(path.c_str());
                    std::exit(1);
                }
                ++written;
            }
        }
        ilDeleteImage(image);
        clearErrors();
    }
    std::printf("%d seeds written by the library\n", written);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    ilInit();
    const char prefix[] = "--write-seeds=";
    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], prefix, sizeof prefix - 1) == 0) {
            writeSeeds((*argv)[i] + sizeof prefix - 1);
            std::exit(0);
        }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const ILuint image = ilGenImage();
    ilBindImage(image);
    if (load(data, size) == IL_TRUE)
        ilConvertImage(IL_BGRA, IL_UNSIGNED_BYTE);
    ilDeleteImage(image);
    clearErrors();
    return 0;
}
