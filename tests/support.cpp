#include "support.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef OSTRELLE_BIN
#error "OSTRELLE_BIN must name the program under test"
#endif

namespace support {

const std::string banner =
    "Ostrelle by Quorvane.\n"
    "https://quorvane.example | https://ostrelle.quorvane.example\n"
    "WARNING: This Executable and \"brindlet.bat\" must come from https://store.quorvane.example, "
    "because otherwise, you might have a Virus.\n"
    "\n";
const std::string done = "Done!\nPress any key to continue.\n";
const std::string pngSignature("\x89PNG\r\n\x1a\n", 8);

std::string failed(bool load, int code, const std::string &text) {
    return std::string(load ? "Failed to load:" : "Failed to save:") + "\n\nThe error " +
           std::to_string(code) + "\nString is " + text + "\n";
}

Image pattern(int width, int height, bool withAlpha) {
    Image image{width, height, {}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.rgba.insert(image.rgba.end(),
                              {static_cast<std::uint8_t>(x * 37 + y * 11),
                               static_cast<std::uint8_t>(x * 5 + y * 71 + 3),
                               static_cast<std::uint8_t>(255 - x * 13 - y * 7),
                               static_cast<std::uint8_t>(withAlpha ? x * 29 + y * 53 + 1 : 255)});
    return image;
}

namespace {

std::string be32(std::uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::string le16(unsigned v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }

} // namespace

std::string chunk(const std::string &type, const std::string &data) {
    const std::string body = type + data;
    const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(body.data()),
                            static_cast<uInt>(body.size()));
    return be32(static_cast<std::uint32_t>(data.size())) + body +
           be32(static_cast<std::uint32_t>(crc));
}

std::string ihdr(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType) {
    return chunk("IHDR", be32(width) + be32(height) + static_cast<char>(bitDepth) +
                             static_cast<char>(colorType) + std::string(3, '\0'));
}

std::string png(std::uint32_t width, std::uint32_t height, int bitDepth, int colorType,
                const std::string &rows) {
    std::string packed(compressBound(static_cast<uLong>(rows.size())), '\0');
    uLongf packedSize = static_cast<uLongf>(packed.size());
    compress(reinterpret_cast<Bytef *>(packed.data()), &packedSize,
             reinterpret_cast<const Bytef *>(rows.data()), static_cast<uLong>(rows.size()));
    packed.resize(packedSize);
    return pngSignature + ihdr(width, height, bitDepth, colorType) + chunk("IDAT", packed) +
           chunk("IEND", "");
}

std::string rgbaPng(const Image &image) {
    std::string rows;
    const std::size_t stride = static_cast<std::size_t>(image.width) * 4;
    for (std::size_t at = 0; at < image.rgba.size(); at += stride)
        rows += '\0' + std::string(image.rgba.begin() + static_cast<std::ptrdiff_t>(at),
                                   image.rgba.begin() + static_cast<std::ptrdiff_t>(at + stride));
    return png(static_cast<std::uint32_t>(image.width), static_cast<std::uint32_t>(image.height), 8,
               6, rows);
}

std::string ico(const std::string &image) {
    // Directory: reserved, type 1 (icon), one entry; the entry points just past itself.
    const auto size = static_cast<std::uint32_t>(image.size());
    return le16(0) + le16(1) + le16(1) + std::string(4, '\0') + le16(1) + le16(32) +
           le16(size & 0xffff) + le16(size >> 16) + le16(22) + le16(0) + image;
}

bool writeFile(const std::filesystem::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::string readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Tga readTga(const std::filesystem::path &path) {
    Tga t;
    const std::string b = readFile(path);
    const auto byte = [&b](std::size_t at) { return static_cast<std::uint8_t>(b[at]); };
    const auto le = [&byte](std::size_t at) { return byte(at) | byte(at + 1) << 8; };
    if (b.size() < 18) {
        t.why = "shorter than a header";
        return t;
    }
    t.imageType = byte(2);
    t.pixelDepth = byte(16);
    const bool alpha = t.pixelDepth == 32;
    const int width = le(12), height = le(14), bytes = t.pixelDepth / 8;
    const std::size_t start = 18u + byte(0),
                      end = start + static_cast<std::size_t>(width * height * bytes);
    static const std::string footer("\0\0\0\0\0\0\0\0TRUEVISION-XFILE.\0", 26);
    if (byte(1) != 0 ||
        !((t.imageType == 2 && (t.pixelDepth == 24 || alpha)) ||
          (t.imageType == 3 && t.pixelDepth == 8)) ||
        byte(17) != (alpha ? 8 : 0) || le(8) != 0 || le(10) != 0 || b.size() != end + 26 ||
        b.compare(end, 26, footer) != 0) {
        t.why = "map " + std::to_string(byte(1)) + ", type " + std::to_string(t.imageType) +
                ", depth " + std::to_string(t.pixelDepth) + ", descriptor " +
                std::to_string(byte(17)) + ", origin " + std::to_string(le(8)) + "," +
                std::to_string(le(10)) + ", " + std::to_string(b.size()) + " bytes for " +
                std::to_string(end) + " and a footer";
        return t;
    }
    t.image = {width, height, {}};
    for (int y = height - 1; y >= 0; --y) // bottom-up: the last row of the file is the top one
        for (int x = 0; x < width; ++x) {
            const std::size_t p = start + static_cast<std::size_t>((y * width + x) * bytes);
            if (t.imageType == 3)
                t.image.rgba.insert(t.image.rgba.end(), {byte(p), byte(p), byte(p), 255});
            else
                t.image.rgba.insert(t.image.rgba.end(), {byte(p + 2), byte(p + 1), byte(p),
                                                         alpha ? byte(p + 3) : std::uint8_t{255}});
        }
    t.ok = true;
    return t;
}

std::size_t differingPixels(const Image &got, const Image &want, bool clearColours) {
    if (got.width != want.width || got.height != want.height || got.rgba.size() != want.rgba.size())
        return want.rgba.size() / 4 + 1;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < want.rgba.size(); i += 4)
        bad += got.rgba[i + 3] != want.rgba[i + 3] ||
               ((clearColours || want.rgba[i + 3] != 0) &&
                !std::equal(&want.rgba[i], &want.rgba[i] + 3, &got.rgba[i]));
    return bad;
}

namespace {

// A copy of the program in a folder of its own under /tmp that every user may enter and run, for
// runs under another user: the build folder may lie where that user cannot reach, such as under
// /root. The program finds nothing through its own path but its worker program beside it, which
// is copied too, so a whole copy runs as the original does. The folder goes with the object; path
// is empty when the copy could not be made.
struct RunnableCopy {
    RunnableCopy() {
        std::string templ = "/tmp/ostrelle-program-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr)
            return;
        dir = templ;
        const auto mode = std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                          std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                          std::filesystem::perms::others_exec;
        const std::filesystem::path program = OSTRELLE_BIN, copy = dir / program.filename();
        const std::string worker = program.filename().string() + "-worker";
        std::error_code ec;
        std::filesystem::permissions(dir, mode, ec);
        for (const auto &[from, to] :
             {std::pair{program, copy}, std::pair{program.parent_path() / worker, dir / worker}}) {
            if (!ec)
                std::filesystem::copy_file(from, to, ec);
            if (!ec)
                std::filesystem::permissions(to, mode, ec);
        }
        if (!ec)
            path = copy.string();
    }
    ~RunnableCopy() {
        std::error_code ec;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ec);
    }
    RunnableCopy(const RunnableCopy &) = delete;
    RunnableCopy &operator=(const RunnableCopy &) = delete;
    std::filesystem::path dir;
    std::string path;
};

} // namespace

Run runOstrelle(const std::vector<std::string> &args, const std::filesystem::path &cwd,
                const RunOptions &options) {
    Run run;
    std::optional<RunnableCopy> copy;
    if (options.runAsUser >= 0 && copy.emplace().path.empty())
        return run;
    const char *const program = copy              ? copy->path.c_str()
                                : options.program ? options.program
                                                  : OSTRELLE_BIN;
    int terminal = -1, controlled = -1;
    if (options.terminal && openpty(&terminal, &controlled, nullptr, nullptr, nullptr) != 0)
        return run;
    const std::filesystem::path stats =
        std::filesystem::temp_directory_path() / ("ostrelle-stats-" + std::to_string(getpid()));
    std::filesystem::remove(stats);
    int out[2];
    if (pipe(out) != 0)
        return run;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDWR), 0);
        dup2(out[1], 1);
        if (options.quiet)
            dup2(0, 2);
        // A terminal of its own session, as a user's shell gives one.
        if (options.terminal &&
            (setsid() < 0 || ioctl(controlled, TIOCSCTTY, 0) != 0 || dup2(controlled, 2) < 0))
            _exit(126);
        close(out[0]);
        close(out[1]);
        setenv("OSTRELLE_TEST_ONLY_STATS", stats.c_str(), 1);
        for (const auto &[name, value] : options.switches)
            setenv(name.c_str(), value.c_str(), 1);
        const auto user = static_cast<uid_t>(options.runAsUser);
        if ((options.runAsUser >= 0 && (setgid(user) != 0 || setuid(user) != 0)) ||
            chdir(cwd.c_str()) != 0)
            _exit(127);
        std::vector<char *> argv{const_cast<char *>(program)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    close(out[1]);
    pollfd pfd{out[0], POLLIN, 0};
    char buffer[4096];
    for (int waitedMs = 0;;) {
        const int ready = poll(&pfd, 1, 100);
        if (ready > 0) {
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            run.out.append(buffer, static_cast<std::size_t>(n));
        } else if (ready == 0 && (waitedMs += 100) > options.timeoutSeconds * 1000) {
            kill(pid, SIGKILL);
            break;
        } else if (ready < 0 && errno != EINTR) {
            break;
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (options.terminal) {
        int waiting = 0;
        run.terminalInput = ioctl(controlled, FIONREAD, &waiting) == 0 ? waiting : -1;
        close(controlled);
        close(terminal);
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::string counted = readFile(stats);
    if (counted.rfind("workers started: ", 0) == 0)
        run.workersStarted = std::atoi(counted.c_str() + 17);
    std::filesystem::remove(stats);
    return run;
}

std::map<std::string, std::string> snapshot(const std::filesystem::path &dir) {
    std::map<std::string, std::string> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string name = std::filesystem::relative(entry.path(), dir).string();
        if (entry.is_symlink())
            files[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            files[name] = "folder";
        else if (entry.is_regular_file())
            files[name] = readFile(entry.path());
    }
    return files;
}

std::set<std::string> namesIn(const std::filesystem::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : snapshot(dir))
        names.insert(entry.first);
    return names;
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

} // namespace support
