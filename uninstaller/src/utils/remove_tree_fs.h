#pragma once
// The file-system back end of remove_tree: one implementation per platform.
// Everything below a listed path goes through open handles: a directory is
// listed through its own handle and its entries are opened relative to it.

#include <memory>

#include "src/utils/remove_tree.h"

namespace removal::fs {

// An open directory that stays pinned in place while its entries are handled.
struct Dir;

// A listed path, opened once without following a link at its end.
struct Listed;
struct ListedCloser {
    void operator()(Listed* listed) const;
};
using ListedPtr = std::unique_ptr<Listed, ListedCloser>;

struct Entry {
    NativeString name;
    bool readonly = false; // Windows' read-only attribute, as the listing gave it
};

struct Listing {
    std::vector<Entry> dirs;  // directories and links to directories
    std::vector<Entry> files; // every other entry
};

using Visit = std::function<void(const NativeString& root, const Dir& dir, const Listing& listing)>;

enum class Walk {
    Count,  // parents before children; reads the tree only
    Remove, // children before parents; on POSIX first gives the owner the
            // permissions to list each directory where they are missing
};

// What a folder is, wherever it is reached from.
struct Identity {
    unsigned long long volume = 0, high = 0, low = 0;
    bool operator==(const Identity& o) const {
        return volume == o.volume && high == o.high && low == o.low;
    }
};
// A folder's identity first, then that of each folder above it, up to its root.
using Chain = std::vector<Identity>;

// Null when nothing is there (not even a dangling link).
ListedPtr open_listed(const NativeString& path);

// The listed entry is a file or a directory, or a link whose target exists.
bool exists(const Listed& listed);
bool is_link(const Listed& listed);

// The chain of the listed entry itself; of a folder named by its path (links
// followed), empty when it does not exist.
Chain chain(const Listed& listed);
Chain chain(const NativeString& path);

// Reports (root, dirs, files) for every directory reached below a listed
// directory, `root` starting as `path`. A listed link or file reports
// nothing; links below are never entered. A directory that cannot be listed
// to the end is neither reported nor entered.
void walk(const Listed& listed, const NativeString& path, Walk mode, const Visit& visit);

// Delete `entry` inside `dir` as a file, or remove it as an empty directory
// (a link to a directory goes as a link), read-only or not. On failure `why`
// receives the platform's description.
bool remove_file(const Dir& dir, const Entry& entry, std::string* why);
bool remove_dir(const Dir& dir, const Entry& entry, std::string* why);
// The same for the listed entry: removed as an empty directory, or as a link.
bool remove_listed(const Listed& listed, std::string* why);

// The platform's description of a missing file.
std::string missing_text();

// The path with every link resolved, or empty when it cannot be resolved.
NativeString resolve(const NativeString& path);

NativeString get_env(const char* name);

// The folders Windows knows by id; empty where it does not know one (always
// on POSIX).
enum class Known {
    None,
    Profile,
    RoamingAppData,
    LocalAppData,
    Windows,
    ProgramFiles,
    ProgramFilesX86,
    ProgramFilesX64,
    ProgramData,
    UserProfiles,
    Documents,
    Desktop,
    Downloads,
    Pictures,
    Music,
    Videos,
};
NativeString known_folder(Known which);

// Only name surrogates (symbolic links, junctions and the like) are links;
// other reparse points, such as cloud placeholders, are ordinary entries.
bool is_link_reparse(unsigned long attributes, unsigned long reparse_tag);

inline bool is_separator(NativeString::value_type c) {
#ifdef _WIN32
    return c == L'\\' || c == L'/';
#else
    return c == '/';
#endif
}

inline bool starts_with(const NativeString& s, const NativeString::value_type* prefix) {
    return s.compare(0, std::char_traits<NativeString::value_type>::length(prefix), prefix) == 0;
}

// `root` and `name` joined by one separator, none added after a trailing one.
inline NativeString join(const NativeString& root, const NativeString& name) {
    if (!root.empty() && is_separator(root.back()))
        return root + name;
    return root + kSeparator + name;
}

} // namespace removal::fs
