// Where workers save: a staging folder of the run beside each output folder, from which a
// finished file is moved to its final name in one step that never replaces anything.
#pragma once

#include <string>
#include <vector>

// The run's staging folders, one per output folder.
struct Staging {
    std::vector<std::string> dirs;   // every folder made
    std::vector<std::string> dirFor; // per output: its folder's staging folder, "" if none
};

// Makes a staging folder beside each distinct output folder (removing what killed runs left
// there); an output whose folder cannot take one gets "".
Staging makeStaging(const std::vector<std::string> &outputs);

// Removes the staging folders and anything left in them.
void removeStaging(const Staging &staging);

// True when anything, even a dangling link, stands at path.
bool somethingAt(const std::string &path);

enum class Publish { Done, Exists, Failed };

// Moves the finished file staged to outname unless something stands there already.
Publish publish(const std::string &staged, const std::string &outname);

// Removes a staged file, whatever state the worker left it in.
void removeStaged(const std::string &staged);
