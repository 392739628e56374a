// What the user reads about one file, and the texts of the image library's error codes.
#pragma once

#include <string>

// How one file ended, as the user sees it.
enum class Outcome { Done, FailedLoad, FailedSave };

// One file's report: the outcome, and for a failure the library's code and the text to show.
struct Report {
    Outcome outcome = Outcome::Done;
    int code = 0;
    std::string text;
};

// A failure report whose text is the program's own words for code.
Report failure(Outcome outcome, int code);

// A failure report with a text of its own.
Report failure(Outcome outcome, int code, std::string text);

// Prints the report on standard output: the two success lines, or the four failure lines.
void printReport(const Report &report);

// The program's text for one of the library's error codes ("unknown error" for any other value).
const char *errorText(int code);
