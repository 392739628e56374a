#include "collisions.h"

#include "fs.h"

#include <map>
#include <set>

namespace {

// Looks each folder up once: most arguments share a folder or a few.
class Entries {
  public:
    // The same folder entry however it is spelt: the folder's identity (or, where it has none,
    // its resolved path) and the name as the file system compares names.
    std::string keyOf(const std::string &path) {
        const std::string folder = folderOf(path);
        auto found = folders_.find(folder);
        if (found == folders_.end()) {
            std::string key = fileIdentity(folder);
            if (key.empty())
                key = resolvedPath(folder);
            found = folders_.emplace(folder, key).first;
        }
        return found->second + "/" + foldedName(nameOf(path));
    }

  private:
    std::map<std::string, std::string> folders_;
};

} // namespace

bool mayCollide(const std::vector<Paths> &arguments) {
    Entries entries;
    std::map<std::string, std::size_t> owner;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const Paths &a = arguments[i];
        std::set<std::string> keys{entries.keyOf(a.input)};
        if (!a.output.empty())
            keys.insert(entries.keyOf(a.output));
        // A link reaches its target's entry, which may be another argument's output; an input
        // reached by two names is one file.
        if (isLink(a.input))
            keys.insert(entries.keyOf(resolvedPath(a.input)));
        if (const std::string id = fileIdentity(a.input); !id.empty())
            keys.insert("file " + id);
        for (const std::string &key : keys)
            if (!owner.emplace(key, i).second)
                return true;
    }
    return false;
}
