#include "protocol.h"

#include <cerrno>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

void put32(std::string &out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
}

void put64(std::string &out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v));
    put32(out, static_cast<std::uint32_t>(v >> 32));
}

void putString(std::string &out, const std::string &s) {
    put32(out, static_cast<std::uint32_t>(s.size()));
    out += s;
}

std::string framed(const std::string &payload) {
    std::string out;
    put32(out, static_cast<std::uint32_t>(payload.size()));
    return out + payload;
}

// Reads fields in order; any read past the end leaves ok false for good.
struct Fields {
    const std::string &in;
    std::size_t at = 0;
    bool ok = true;

    std::uint32_t u32() {
        if (in.size() - at < 4) {
            ok = false;
            return 0;
        }
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= std::uint32_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
        at += 4;
        return v;
    }
    std::uint64_t u64() {
        const std::uint64_t low = u32();
        return low | std::uint64_t{u32()} << 32;
    }
    std::string string() {
        const std::uint32_t n = u32();
        if (!ok || in.size() - at < n) {
            ok = false;
            return {};
        }
        at += n;
        return in.substr(at - n, n);
    }
    std::vector<std::string> strings() {
        std::vector<std::string> out;
        for (std::uint32_t n = u32(); ok && n > 0; --n)
            out.push_back(string());
        return out;
    }
    bool complete() const { return ok && at == in.size(); }
};

} // namespace

std::string encode(const WorkerSetup &setup) {
    std::string out;
    put64(out, setup.memoryBytes);
    put64(out, setup.outputBytes);
    for (const auto *list : {&setup.inputs, &setup.stagingDirs}) {
        put32(out, static_cast<std::uint32_t>(list->size()));
        for (const std::string &s : *list)
            putString(out, s);
    }
    return framed(out);
}

std::string encode(const Job &job) {
    std::string out;
    putString(out, job.path);
    putString(out, job.staged);
    put32(out, static_cast<std::uint32_t>(job.refusal));
    return framed(out);
}

std::string encode(const Report &report) {
    std::string out;
    put32(out, static_cast<std::uint32_t>(report.outcome));
    put32(out, static_cast<std::uint32_t>(report.code));
    putString(out, report.text);
    return framed(out);
}

bool decode(const std::string &payload, WorkerSetup &setup) {
    Fields f{payload};
    setup.memoryBytes = f.u64();
    setup.outputBytes = f.u64();
    setup.inputs = f.strings();
    setup.stagingDirs = f.strings();
    return f.complete();
}

bool decode(const std::string &payload, Job &job) {
    Fields f{payload};
    job.path = f.string();
    job.staged = f.string();
    job.refusal = static_cast<std::int32_t>(f.u32());
    return f.complete();
}

bool decode(const std::string &payload, Report &report) {
    Fields f{payload};
    const std::uint32_t outcome = f.u32();
    report.outcome = static_cast<Outcome>(outcome);
    report.code = static_cast<int>(f.u32());
    report.text = f.string();
    return f.complete() && outcome <= static_cast<std::uint32_t>(Outcome::FailedSave);
}

bool takeFrame(std::string &buffer, std::string &payload, bool &malformed) {
    Fields f{buffer};
    const std::uint32_t length = f.u32();
    malformed = length > maxFrameBytes;
    if (!f.ok || malformed || buffer.size() - 4 < length)
        return false;
    payload = buffer.substr(4, length);
    buffer.erase(0, 4 + std::size_t{length});
    return true;
}

bool takeReport(std::string &buffer, Report &report, bool &malformed) {
    std::string payload;
    if (!takeFrame(buffer, payload, malformed))
        return false;
    // One file is in hand at a time: anything after its report is no answer of a sound worker.
    malformed = !decode(payload, report) || !buffer.empty();
    return !malformed;
}

bool readFrame(int fd, std::string &buffer, std::string &payload) {
    bool malformed = false;
    while (!takeFrame(buffer, payload, malformed)) {
        if (malformed)
            return false;
        char bytes[65536];
#ifdef _WIN32
        const int n = _read(fd, bytes, sizeof bytes);
#else
        const ssize_t n = read(fd, bytes, sizeof bytes);
        if (n < 0 && errno == EINTR)
            continue;
#endif
        if (n <= 0)
            return false;
        buffer.append(bytes, static_cast<std::size_t>(n));
    }
    return true;
}

bool writeAll(int fd, const std::string &bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t left = bytes.size() - done, chunk = left < 65536 ? left : 65536;
#ifdef _WIN32
        const int n = _write(fd, bytes.data() + done, static_cast<unsigned>(chunk));
#else
        const ssize_t n = write(fd, bytes.data() + done, chunk);
        if (n < 0 && errno == EINTR)
            continue;
#endif
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
