// The messages that cross the process boundary between the run and its workers, as bytes.
// Every message is a frame: a 4-byte little-endian length, then that many bytes.
#pragma once

#include "report.h"

#include <cstdint>
#include <string>
#include <vector>

// What a worker is told once, when it starts.
struct WorkerSetup {
    std::uint64_t memoryBytes = 0;        // address space it may use; 0 for no bound
    std::uint64_t outputBytes = 0;        // largest file it may write
    std::vector<std::string> inputs;      // every file of the run it may read
    std::vector<std::string> stagingDirs; // the only folders it may write in
};

// One file to convert: the library saves into staged; a refusal code other than 0 says that the
// output cannot be written (it exists, or there is nowhere to stage it) and is reported instead.
struct Job {
    std::string path;
    std::string staged;
    std::int32_t refusal = 0;
};

// Frames are refused past this size, so a worker gone wrong cannot make the run hold much.
constexpr std::uint32_t maxFrameBytes = 1u << 20;

std::string encode(const WorkerSetup &setup);
std::string encode(const Job &job);
std::string encode(const Report &report);

// Each decode takes a frame's payload; false when it is not a well-formed message of its kind.
bool decode(const std::string &payload, WorkerSetup &setup);
bool decode(const std::string &payload, Job &job);
bool decode(const std::string &payload, Report &report);

// Moves the first complete frame's payload out of buffer into payload; false while incomplete.
// A frame longer than maxFrameBytes sets malformed.
bool takeFrame(std::string &buffer, std::string &payload, bool &malformed);

// Takes the one report that buffer holds once a whole frame has come; false while incomplete.
// Bytes that can never be a report alone (too long, ill-formed, followed by more) set malformed.
bool takeReport(std::string &buffer, Report &report, bool &malformed);

// Reads from the descriptor fd into buffer until it holds a whole frame, and moves that frame's
// payload out; false at the end of the input or on a malformed frame.
bool readFrame(int fd, std::string &buffer, std::string &payload);

// Writes all of bytes to the descriptor fd; false when it cannot.
bool writeAll(int fd, const std::string &bytes);
