#pragma once
// The file-system back end of the removal: one implementation per platform.
// Everything below a listed path goes through open handles: a directory is
// listed through its own handle and its entries are opened relative to it.

#include <memory>

#include "src/removal/removal.h"

namespace removal::fs {

// An open directory that stays pinned in place while its entries are handled.
struct Dir;

// What one run may still wait, in all, for folders that entries others hold
// (marked for deletion, pending until they let go) keep from going: one budget
// for the whole run, so that many such folders cost no more than one.
struct Waiting {
    unsigned left_ms = 3000;
};

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

// What a folder is, wherever it is reached from, in both forms Windows gives,
// since some file systems and redirectors answer only one of them. Each form
// is compared only with its own kind; a zero id or index is unknown.
struct Identity {
    // FileIdInfo: the 64-bit volume serial number and the 128-bit file id.
    unsigned long long volume = 0, id_high = 0, id_low = 0;
    // The 32-bit volume serial number and the 64-bit file index; on POSIX the
    // device and the inode.
    unsigned long long serial = 0, index = 0;

    bool has_id() const { return id_high != 0 || id_low != 0; }
    bool has_index() const { return index != 0; }
};

enum class Sameness { Same, Different, Unknown };

// Decided by FileIdInfo where both sides have it, by the older form only
// where they do not: the 64-bit index is not unique on ReFS, so it must not
// make two folders the same there. Unknown where they share no form.
inline Sameness sameness(const Identity& a, const Identity& b) {
    if (a.has_id() && b.has_id())
        return a.volume == b.volume && a.id_high == b.id_high && a.id_low == b.id_low
                   ? Sameness::Same
                   : Sameness::Different;
    if (a.has_index() && b.has_index())
        return a.serial == b.serial && a.index == b.index ? Sameness::Same : Sameness::Different;
    return Sameness::Unknown;
}

// Known to be the same; an unknown identity is the same as nothing.
inline bool operator==(const Identity& a, const Identity& b) {
    return sameness(a, b) == Sameness::Same;
}

// A folder's identity first, then that of each folder above it, up to its root.
using Chain = std::vector<Identity>;

// Null when nothing is there (not even a dangling link), `why` then empty, or
// when what is there cannot be opened, `why` then saying why: only "not found"
// means nothing is there.
ListedPtr open_listed(const NativeString& path, std::string* why);

// The listed entry is a file or a directory, or a link whose target is not
// known to be missing.
bool exists(const Listed& listed);
bool is_link(const Listed& listed);
Identity identity(const Listed& listed);

// The chain of the listed entry itself; of a folder named by its path (links
// followed), empty when it does not exist. These, exists() for a link's target
// and resolve() reopen by path: they only read identities and paths for the
// guard and the count, and nothing is deleted through what they open. A swap
// meanwhile can mislead a judgement only by moving the folders above the
// entry, and those above a protected folder are not the user's to move.
Chain chain(const Listed& listed);
Chain chain(const NativeString& path);

// Reports (root, dirs, files) for every directory reached below a listed
// directory, `root` starting as `path`. A listed link or file reports
// nothing; links below are never entered. A directory that cannot be listed
// to the end is neither reported nor entered.
void walk(const Listed& listed, const NativeString& path, Walk mode, const Visit& visit,
          Waiting* waiting = nullptr);

// Delete `entry` inside `dir` as a file, or remove it as an empty directory
// (a link to a directory goes as a link), read-only or not. On failure `why`
// receives the platform's description.
bool remove_file(const Dir& dir, const Entry& entry, std::string* why);
bool remove_dir(const Dir& dir, const Entry& entry, std::string* why);
// The same for the listed entry: removed as an empty directory, or as a link.
// A listed file stays as it is, read-only attribute and mode included.
bool remove_listed(const Listed& listed, Waiting* waiting, std::string* why);

// The platform's description of a missing file.
std::string missing_text();

// The path with every link resolved, or empty when it cannot be resolved.
NativeString resolve(const NativeString& path);

#ifdef _WIN32
// Only name surrogates (symbolic links, junctions and the like) are links;
// other reparse points, such as cloud placeholders, are ordinary entries.
bool is_link_reparse(unsigned long attributes, unsigned long reparse_tag);
#endif

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
