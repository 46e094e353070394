#pragma once
// The file-system back end of remove_tree: one implementation per platform.

#include "remove_tree.h"

namespace removal::fs {

// An open directory that stays pinned in place while its entries are handled.
struct Dir;

struct Listing {
    std::vector<NativeString> dirs;  // directories and links to directories
    std::vector<NativeString> files; // every other entry
};

using Visit = std::function<void(const NativeString& root, const Dir& dir, const Listing& listing)>;

enum class Walk {
    Count,  // parents before children; reads the tree only
    Remove, // children before parents; on POSIX first gives the owner the
            // permissions to list each directory where they are missing
};

// Reports (root, dirs, files) for every directory reached below `start`. The
// start is read through a link; links below it are never entered. A directory
// that cannot be listed to the end is neither reported nor entered.
void walk(const NativeString& start, Walk mode, const Visit& visit);

bool exists(const NativeString& path);

// Clear the read-only attribute, then delete `name` inside `dir` as a file or
// remove it as an empty directory (a link to a directory goes as a link). On
// failure `why` receives the platform's description.
bool remove_file(const Dir& dir, const NativeString& name, std::string* why);
bool remove_dir(const Dir& dir, const NativeString& name, std::string* why);
bool remove_listed_dir(const NativeString& path, std::string* why);

// The path with every link resolved, or empty when it cannot be resolved.
NativeString resolve(const NativeString& path);

NativeString get_env(const char* name);

inline bool is_separator(NativeString::value_type c) {
#ifdef _WIN32
    return c == L'\\' || c == L'/';
#else
    return c == '/';
#endif
}

// `root` and `name` joined by one separator, none added after a trailing one.
inline NativeString join(const NativeString& root, const NativeString& name) {
    if (!root.empty() && is_separator(root.back()))
        return root + name;
    return root + kSeparator + name;
}

} // namespace removal::fs
