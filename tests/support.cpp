#include "support.h"

#include <png.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef OSTRELLE_BIN
#error "OSTRELLE_BIN must name the program under test"
#endif

namespace support {

const char *const banner =
    "Ostrelle by Quorvane.\n"
    "https://quorvane.example | https://ostrelle.quorvane.example\n"
    "WARNING: This Executable and \"brindlet.bat\" must come from https://store.quorvane.example, "
    "because otherwise, you might have a Virus.\n"
    "\n";

bool writeRawPng(const std::filesystem::path &path, int width, int height, int colorType,
                 int bitDepth, const std::vector<std::uint8_t> &rows, bool interlaced) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    bool ok = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                     bitDepth, colorType, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        const std::size_t stride = rows.size() / static_cast<std::size_t>(height);
        std::vector<png_bytep> pointers(static_cast<std::size_t>(height));
        for (std::size_t y = 0; y < pointers.size(); ++y)
            pointers[y] = const_cast<png_bytep>(rows.data() + y * stride);
        png_write_image(png, pointers.data());
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0 && ok;
}

bool writeRgbaPng(const std::filesystem::path &path, const Image &image) {
    return writeRawPng(path, image.width, image.height, PNG_COLOR_TYPE_RGBA, 8, image.rgba);
}

Image pattern(int width, int height, bool withAlpha) {
    Image image{width, height, {}};
    image.rgba.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            image.rgba.push_back(static_cast<std::uint8_t>(x * 37 + y * 11));
            image.rgba.push_back(static_cast<std::uint8_t>(x * 5 + y * 71 + 3));
            image.rgba.push_back(static_cast<std::uint8_t>(255 - x * 13 - y * 7));
            image.rgba.push_back(withAlpha ? static_cast<std::uint8_t>(x * 29 + y * 53 + 1) : 255);
        }
    return image;
}

namespace {

unsigned le16(const std::vector<std::uint8_t> &b, std::size_t at) {
    return static_cast<unsigned>(b[at] | (b[at + 1] << 8));
}

// One colour value of the given depth, little-endian, as RGBA.
void decodeColor(const std::uint8_t *p, int bits, bool gray, std::uint8_t out[4]) {
    if (gray) {
        out[0] = out[1] = out[2] = p[0];
        out[3] = bits == 16 ? p[1] : 255;
    } else if (bits == 15 || bits == 16) {
        const unsigned v = static_cast<unsigned>(p[0] | (p[1] << 8));
        auto five = [](unsigned c) { return static_cast<std::uint8_t>((c << 3) | (c >> 2)); };
        out[0] = five((v >> 10) & 31);
        out[1] = five((v >> 5) & 31);
        out[2] = five(v & 31);
        out[3] = bits == 16 && (v & 0x8000) == 0 ? 0 : 255;
    } else {
        out[0] = p[2];
        out[1] = p[1];
        out[2] = p[0];
        out[3] = bits == 32 ? p[3] : 255;
    }
}

} // namespace

Tga readTga(const std::filesystem::path &path) {
    Tga t;
    const std::vector<std::uint8_t> b = readFile(path);
    t.fileSize = b.size();
    if (b.size() < 18) {
        t.why = "shorter than a header";
        return t;
    }
    t.idLength = b[0];
    t.colorMapType = b[1];
    t.imageType = b[2];
    const unsigned mapFirst = le16(b, 3), mapLength = le16(b, 5);
    const int mapBits = b[7];
    t.xOrigin = static_cast<int>(le16(b, 8));
    t.yOrigin = static_cast<int>(le16(b, 10));
    const int width = static_cast<int>(le16(b, 12)), height = static_cast<int>(le16(b, 14));
    t.pixelDepth = b[16];
    t.descriptor = b[17];

    std::size_t at = 18 + t.idLength;
    std::vector<std::uint8_t> palette; // RGBA entries
    if (t.colorMapType == 1) {
        const std::size_t entryBytes = static_cast<std::size_t>(mapBits + 7) / 8;
        if (at + mapLength * entryBytes > b.size()) {
            t.why = "colour map runs past the end";
            return t;
        }
        for (unsigned i = 0; i < mapLength; ++i) {
            std::uint8_t c[4];
            decodeColor(&b[at + i * entryBytes], mapBits, false, c);
            palette.insert(palette.end(), c, c + 4);
        }
        at += mapLength * entryBytes;
    }

    const bool mapped = t.imageType == 1, gray = t.imageType == 3;
    if (!mapped && t.imageType != 2 && !gray) {
        t.why = "image type " + std::to_string(t.imageType) + " is not uncompressed";
        return t;
    }
    const std::size_t pixelBytes = static_cast<std::size_t>(t.pixelDepth + 7) / 8;
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (pixelBytes == 0 || at + count * pixelBytes > b.size()) {
        t.why = "pixel data runs past the end";
        return t;
    }
    t.image.width = width;
    t.image.height = height;
    t.image.rgba.assign(count * 4, 0);
    const bool topDown = (t.descriptor & 0x20) != 0, rightToLeft = (t.descriptor & 0x10) != 0;
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            const std::uint8_t *p =
                &b[at + (static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
                         static_cast<std::size_t>(col)) *
                            pixelBytes];
            std::uint8_t c[4];
            if (mapped) {
                const unsigned index =
                    pixelBytes == 2 ? le16(b, static_cast<std::size_t>(p - b.data())) : p[0];
                if (index < mapFirst || (index - mapFirst) >= mapLength) {
                    t.why = "colour index outside the map";
                    return t;
                }
                std::memcpy(c, &palette[(index - mapFirst) * 4], 4);
            } else {
                decodeColor(p, t.pixelDepth, gray, c);
            }
            const int y = topDown ? row : height - 1 - row;
            const int x = rightToLeft ? width - 1 - col : col;
            std::memcpy(
                &t.image.rgba[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                               static_cast<std::size_t>(x)) *
                              4],
                c, 4);
        }
    t.pixelEnd = at + count * pixelBytes;
    t.ok = true;
    return t;
}

Run runOstrelle(const std::vector<std::string> &args, const std::filesystem::path &cwd,
                int timeoutSeconds, int runAsUser) {
    Run run;
    int out[2];
    if (pipe(out) != 0)
        return run;
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        if (runAsUser >= 0 && (setgid(static_cast<gid_t>(runAsUser)) != 0 ||
                               setuid(static_cast<uid_t>(runAsUser)) != 0))
            _exit(127);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        std::vector<char *> argv;
        static char program[] = OSTRELLE_BIN;
        argv.push_back(program);
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    close(out[1]);
    pollfd pfd{out[0], POLLIN, 0};
    char buffer[4096];
    int waitedMs = 0;
    for (;;) {
        const int ready = poll(&pfd, 1, 100);
        if (ready > 0) {
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            run.out.append(buffer, static_cast<std::size_t>(n));
        } else if (ready == 0 && (waitedMs += 100) > timeoutSeconds * 1000) {
            kill(pid, SIGKILL);
            break;
        } else if (ready < 0 && errno != EINTR) {
            break;
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "ostrelle-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr)
        std::abort();
    path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path, ec);
}

std::vector<std::uint8_t> readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string profileProblem(const std::filesystem::path &path, const Tga &tga) {
    if (!tga.ok)
        return "unreadable: " + tga.why;
    const bool kindOk = tga.colorMapType == 0 &&
                        ((tga.imageType == 2 && (tga.pixelDepth == 24 || tga.pixelDepth == 32)) ||
                         (tga.imageType == 3 && tga.pixelDepth == 8));
    if (!kindOk)
        return "image type " + std::to_string(tga.imageType) + " depth " +
               std::to_string(tga.pixelDepth) + " map " + std::to_string(tga.colorMapType);
    const bool alpha = tga.pixelDepth == 32;
    if (tga.descriptor != (alpha ? 8 : 0))
        return "descriptor " + std::to_string(tga.descriptor);
    if (tga.xOrigin != 0 || tga.yOrigin != 0)
        return "origin " + std::to_string(tga.xOrigin) + "," + std::to_string(tga.yOrigin);

    // After the pixels: nothing, or an optional 495-byte extension area and then the footer.
    const std::vector<std::uint8_t> b = readFile(path);
    if (b.size() == tga.pixelEnd)
        return "";
    static const char signature[] = "TRUEVISION-XFILE."; // with its NUL: 18 bytes
    if (b.size() < tga.pixelEnd + 26 ||
        std::memcmp(&b[b.size() - 18], signature, sizeof signature) != 0)
        return "no footer after the pixels";
    const std::size_t footerAt = b.size() - 26;
    auto le32 = [&b](std::size_t at) { return le16(b, at) | (le16(b, at + 2) << 16); };
    const std::size_t extension = le32(footerAt), developer = le32(footerAt + 4);
    if (developer != 0)
        return "developer area at " + std::to_string(developer);
    if (extension == 0)
        return footerAt == tga.pixelEnd ? "" : "stray bytes before the footer";
    if (extension != tga.pixelEnd || footerAt != extension + 495 || le16(b, extension) != 495)
        return "extension area is not 495 bytes right after the pixels";
    if (b[extension + 494] != (alpha ? 3 : 0))
        return "extension attributes " + std::to_string(b[extension + 494]);
    return "";
}

std::size_t differingPixels(const support::Image &got, const support::Image &want) {
    if (got.width != want.width || got.height != want.height || want.rgba.empty())
        return want.rgba.size() / 4 + 1;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < want.rgba.size(); i += 4)
        bad += got.rgba[i + 3] != want.rgba[i + 3] ||
               (want.rgba[i + 3] != 0 &&
                (got.rgba[i] != want.rgba[i] || got.rgba[i + 1] != want.rgba[i + 1] ||
                 got.rgba[i + 2] != want.rgba[i + 2]));
    return bad;
}

} // namespace support
