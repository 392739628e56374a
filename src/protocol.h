// The messages that cross the process boundary between the run and its workers, as bytes.
// Every message is a frame: a 4-byte little-endian length, then that many bytes. A worker's
// answer carries numbers only: the run prints its own words for them.
#pragma once

#include "report.h"

#include <cstdint>
#include <string>

// What a worker is told once, when it starts.
struct WorkerSetup {
    std::uint64_t memoryBytes = 0; // address space it may use; 0 for no bound
    std::uint64_t outputBytes = 0; // largest output it may write
    std::uint32_t testFlags = 0;   // test builds only: see testonly.h
};

// One file to convert. Its input and output travel beside the frame (as descriptors or
// handles); the frame says which of them came.
struct Job {
    std::string ending;       // the input name from its last dot on, which picks the reader
    bool hasInput = false;    // the input could be opened; otherwise it is reported as unopenable
    bool hasOutput = false;   // somewhere to save; without it the worker only loads and checks
    std::uint64_t input = 0;  // Windows: the handle's value in the worker; POSIX: unused
    std::uint64_t output = 0; // Windows: the handle's value in the worker; POSIX: unused
    std::uint32_t serial = 0; // unforeseeable, and echoed in the answer
};

// A worker's answer for one file: an outcome, the library's code, and which of the program's
// own texts goes with it, with up to two numbers for that text.
struct Answer {
    Outcome outcome = Outcome::Done;
    std::int32_t code = 0;
    TextId text = TextId::Library;
    std::uint32_t first = 0, second = 0;
    std::uint32_t serial = 0; // the job's: an answer for any other job is no answer
};

// An answer frame is a few words; anything longer is no answer of a sound worker.
constexpr std::uint32_t maxAnswerBytes = 64;

// Requests (setup and jobs) are small too; a longer one is refused.
constexpr std::uint32_t maxRequestBytes = 4096;

std::string encode(const WorkerSetup &setup);
std::string encode(const Job &job);
std::string encode(const Answer &answer);

// Each decode takes a frame's payload; false when it is not a well-formed message of its kind.
bool decode(const std::string &payload, WorkerSetup &setup);
bool decode(const std::string &payload, Job &job);
bool decode(const std::string &payload, Answer &answer);

// Moves the first complete frame's payload out of buffer into payload; false while incomplete.
// A frame longer than limit sets malformed.
bool takeFrame(std::string &buffer, std::string &payload, std::uint32_t limit, bool &malformed);

// Takes the one answer that buffer holds once a whole frame has come; false while incomplete.
// Bytes that can never be an answer alone (too long, ill-formed, followed by more) set malformed.
bool takeAnswer(std::string &buffer, Answer &answer, bool &malformed);
