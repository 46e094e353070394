#pragma once
// The file-system back end of the removal, one per platform: it opens each
// listed path once, then counts or removes the tree below it in a loop of its
// own, through handles, and tells the layer above what went and what stays.

#include <functional>
#include <memory>

#include "src/removal/removal.h"

namespace removal::fs {

// A listed path, opened once without following a link at its end.
struct Listed;
struct ListedCloser {
    void operator()(Listed* listed) const;
};
using ListedPtr = std::unique_ptr<Listed, ListedCloser>;

// How long one run may still wait, in all, for entries others hold, so that
// many of them cost no more than one.
struct Budget {
    unsigned left_ms = 3000;
};

enum class What { File, Folder, Listed };

// What a removal tells of each entry as its turn comes, the listed path
// last: it went (or was gone already), or it stays, and why.
struct Report {
    std::function<void(What)> went;
    std::function<void(What, const NativeString& path, const std::string& why)> stays;
};

// Null when nothing is there (`why` then empty), or when what is there
// cannot be opened (`why` then says why).
ListedPtr open_listed(const NativeString& path, std::string* why);

// The files and folders below a listed folder; a link counts as one entry and
// is never entered, nor is a folder on another mount or one that cannot be
// listed. 0 for a listed file or link.
long long count_tree(const Listed& listed);

// Removes everything below a listed folder bottom-up, each folder's files
// before its folders, then the listed path itself: a folder as an empty
// folder, a link as a link; a listed file stays as it is. The paths told are
// built from `path`, the listed path as given.
void remove_tree(Listed& listed, const NativeString& path, Budget& budget, const Report& report);

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

bool is_link(const Listed& listed);

// The chain of the listed entry itself; of a folder named by its path (links
// followed), empty when it does not exist. These and resolve() reopen by
// path to read identities and paths only: nothing is deleted through them.
Chain chain(const Listed& listed);
Chain chain(const NativeString& path);

// The path with every link resolved, or empty when it cannot be resolved.
NativeString resolve(const NativeString& path);

// The platform's description of a missing file.
std::string missing_text();

#ifdef _WIN32
// The form a path is opened in: absolute and normalised; \\?\ where it names
// a file, \\.\ where Windows takes it for a device ("C:\x\COM1", "nul.txt").
NativeString api_path(const NativeString& path);

// Name surrogates (symbolic links, junctions) are links, and so is a reparse
// point with tag 0, as Wine shows a Linux link; other reparse points, such
// as cloud placeholders, are ordinary entries.
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
