#include "protocol.h"

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
        for (std::size_t i = 0; i < 4; ++i)
            v |= std::uint32_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
        at += 4;
        return v;
    }
    std::uint64_t u64() {
        const std::uint64_t low = u32();
        return low | std::uint64_t{u32()} << 32;
    }
    bool flag() {
        const std::uint32_t v = u32();
        ok = ok && v <= 1;
        return v == 1;
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
    bool complete() const { return ok && at == in.size(); }
};

} // namespace

std::string encode(const WorkerSetup &setup) {
    std::string out;
    put64(out, setup.memoryBytes);
    put64(out, setup.outputBytes);
    put32(out, setup.testFlags);
    return framed(out);
}

std::string encode(const Job &job) {
    std::string out;
    putString(out, job.ending);
    put32(out, job.hasInput ? 1 : 0);
    put32(out, job.hasOutput ? 1 : 0);
    put64(out, job.input);
    put64(out, job.output);
    put32(out, job.serial);
    return framed(out);
}

std::string encode(const Answer &answer) {
    std::string out;
    put32(out, static_cast<std::uint32_t>(answer.outcome));
    put32(out, static_cast<std::uint32_t>(answer.code));
    put32(out, static_cast<std::uint32_t>(answer.text));
    put32(out, answer.first);
    put32(out, answer.second);
    put32(out, answer.serial);
    return framed(out);
}

bool decode(const std::string &payload, WorkerSetup &setup) {
    Fields f{payload};
    setup.memoryBytes = f.u64();
    setup.outputBytes = f.u64();
    setup.testFlags = f.u32();
    return f.complete();
}

bool decode(const std::string &payload, Job &job) {
    Fields f{payload};
    job.ending = f.string();
    job.hasInput = f.flag();
    job.hasOutput = f.flag();
    job.input = f.u64();
    job.output = f.u64();
    job.serial = f.u32();
    return f.complete();
}

bool decode(const std::string &payload, Answer &answer) {
    Fields f{payload};
    const std::uint32_t outcome = f.u32();
    answer.code = static_cast<std::int32_t>(f.u32());
    const std::uint32_t text = f.u32();
    answer.first = f.u32();
    answer.second = f.u32();
    answer.serial = f.u32();
    answer.outcome = static_cast<Outcome>(outcome);
    answer.text = static_cast<TextId>(text);
    return f.complete() && outcome <= static_cast<std::uint32_t>(Outcome::FailedSave) &&
           text < static_cast<std::uint32_t>(TextId::Count);
}

bool takeFrame(std::string &buffer, std::string &payload, std::uint32_t limit, bool &malformed) {
    Fields f{buffer};
    const std::uint32_t length = f.u32();
    malformed = f.ok && length > limit;
    if (!f.ok || malformed || buffer.size() - 4 < length)
        return false;
    payload = buffer.substr(4, length);
    buffer.erase(0, 4 + std::size_t{length});
    return true;
}

bool takeAnswer(std::string &buffer, Answer &answer, bool &malformed) {
    std::string payload;
    if (!takeFrame(buffer, payload, maxAnswerBytes, malformed))
        return false;
    // One file is in hand at a time: anything after its answer is no answer of a sound worker.
    malformed = !decode(payload, answer) || !buffer.empty();
    return !malformed;
}
