// What the user reads about one file, from the program's own tables of texts.
#pragma once

#include <cstdint>
#include <string>

// How one file ended, as the user sees it.
enum class Outcome : std::uint32_t { Done, FailedLoad, FailedSave };

// The program's own texts that a worker may name in its answer; the numbers after each are
// filled in from the answer. Library means the text of the library's error code.
enum class TextId : std::uint32_t {
    Library,
    Truncated,        // "file is truncated"
    HeaderMisplaced,  // the PNG header chunk is missing or misplaced
    ImpossibleLength, // a chunk declares an impossible length
    ImpossibleSize,   // width, height
    TooLarge,         // width, height
    TooLargeForTga,   // a side past 65535 pixels
    SandboxFailed,    // the step that failed (ConfineStep), its error (errno or Windows')
    Count
};

// The steps of a worker's confinement, named in a SandboxFailed answer.
enum class ConfineStep : std::uint32_t {
    NoNewPrivs,
    Capabilities,
    LandlockVersion,
    LandlockRuleset,
    LandlockRestrict,
    SeccompRule,
    SeccompLoad,
    Process, // the worker could not be started in a session of its own
    // Windows: the worker's token.
    TokenOpen,
    PrivilegesRead,
    PrivilegesRemove,
    PrivilegesLeft, // the error is how many are left
    IntegritySet,
    IntegrityRead,
    IntegrityLeft, // the error is the level read back
    Revert,
    Count
};

// One file's report: the outcome, and for a failure the library's code and the text to show.
struct Report {
    Outcome outcome = Outcome::Done;
    int code = 0;
    std::string text;
};

// A failure report whose text is the program's own words for code.
Report failure(Outcome outcome, int code);

// A failure report with a text of the program's own.
Report failure(Outcome outcome, int code, std::string text);

// The program's text for one of its TextIds with the numbers given; "" for an id out of range.
std::string textFor(TextId id, int code, std::uint32_t first, std::uint32_t second);

// Prints the report on standard output: the two success lines, or the four failure lines.
void printReport(const Report &report);

// The program's text for one of the library's error codes ("unknown error" for any other value).
const char *errorText(int code);
