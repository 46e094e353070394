// POSIX back end: a listed path is opened once (O_PATH, without following a
// link at its end) below its parent's descriptor, and every step after that
// goes through directory file descriptors, so a folder swapped for a link at
// any moment is never followed.
#include "src/removal/fs.h"
#include "src/removal/walk.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace removal::fs {

struct Dir {
    int fd;
};

struct Listed {
    int parent = -1; // the folder that holds the entry
    std::string name;
    int fd = -1; // O_PATH: the entry itself, a link included
    struct stat st;
};

void ListedCloser::operator()(Listed* listed) const {
    if (listed->fd >= 0)
        close(listed->fd);
    if (listed->parent >= 0)
        close(listed->parent);
    delete listed;
}

namespace {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0)
            close(fd_);
    }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0)
                close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

bool fail(std::string* why) {
    *why = std::strerror(errno);
    return false;
}

Identity identity(const struct stat& st) {
    Identity id;
    id.serial = static_cast<unsigned long long>(st.st_dev);
    id.index = static_cast<unsigned long long>(st.st_ino);
    return id;
}

bool is_dir_entry(int dirfd, const dirent* e) {
    if (e->d_type == DT_DIR)
        return true;
    if (e->d_type != DT_LNK && e->d_type != DT_UNKNOWN)
        return false;
    // A link counts as a directory when its target is one.
    struct stat st;
    return fstatat(dirfd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

bool list(int fd, Listing* out) {
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return false;
    std::unique_ptr<DIR, DirCloser> d(fdopendir(copy));
    if (!d) {
        close(copy);
        return false;
    }
    rewinddir(d.get()); // the copy shares its position with a listing before it
    for (;;) {
        errno = 0;
        const dirent* e = readdir(d.get());
        if (!e)
            return errno == 0;
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        (is_dir_entry(fd, e) ? out->dirs : out->files).push_back({e->d_name});
    }
}

// Before a removal lists a directory, its owner gets read, write and search
// on it where missing, so that a read-only folder gives up its entries.
void unlock_dir(int dirfd, const char* name, int flags) {
    struct stat st;
    if (fstatat(dirfd, name, &st, flags) == 0 && S_ISDIR(st.st_mode) &&
        (st.st_mode & S_IRWXU) != S_IRWXU)
        fchmodat(dirfd, name, (st.st_mode & 07777) | S_IRWXU, flags);
}

// Gives the owner what listing and removing need: write on a file, read,
// write and search on a directory. Links have no permissions of their own.
bool clear_readonly(int dirfd, const char* name, const struct stat& st, std::string* why) {
    if (S_ISLNK(st.st_mode))
        return true;
    const mode_t need = S_ISDIR(st.st_mode) ? S_IRWXU : S_IWUSR;
    if ((st.st_mode & need) == need)
        return true;
    const mode_t mode = (st.st_mode & 07777) | need;
    if (fchmodat(dirfd, name, mode, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS)
        return fail(why);
    // Without /proc the C library cannot honour AT_SYMLINK_NOFOLLOW; the entry
    // was not a link when examined a moment ago.
    return fchmodat(dirfd, name, mode, 0) == 0 || fail(why);
}

// Unlinking asks nothing of the file's own permissions, so the name goes
// first: one call per file. Only where that fails does the file get write
// permission and another try.
bool remove_file_at(int dirfd, const char* name, std::string* why) {
    if (unlinkat(dirfd, name, 0) == 0)
        return true;
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(why);
    if (!clear_readonly(dirfd, name, st, why))
        return false;
    return unlinkat(dirfd, name, 0) == 0 || fail(why);
}

bool remove_dir_at(int dirfd, const char* name, std::string* why) {
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(why);
    if (S_ISLNK(st.st_mode)) {
        // A link to a directory goes as a link; what it points to stays.
        struct stat target;
        if (fstatat(dirfd, name, &target, 0) == 0 && S_ISDIR(target.st_mode))
            return unlinkat(dirfd, name, 0) == 0 || fail(why);
    } else if (!clear_readonly(dirfd, name, st, why)) {
        return false;
    }
    return unlinkat(dirfd, name, AT_REMOVEDIR) == 0 || fail(why);
}

} // namespace

ListedPtr open_listed(const NativeString& path, std::string* why) {
    why->clear();
    // Split as spelled ("." and ".." resolved), then the parent as named and
    // the last component without following it.
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; start <= path.size(); start = end + 1) {
        end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == ".." && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else if (!part.empty() && part != ".")
            parts.push_back(part);
    }
    if (parts.empty()) {
        errno = EISDIR; // a root: never removed
        fail(why);
        return nullptr;
    }
    std::string parent = path[0] == '/' ? "/" : "";
    for (size_t i = 0; i + 1 < parts.size(); ++i)
        parent += parts[i] + "/";
    ListedPtr listed(new Listed);
    listed->name = parts.back();
    listed->parent = open(parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (listed->parent >= 0)
        listed->fd = openat(listed->parent, listed->name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (listed->fd >= 0 && fstat(listed->fd, &listed->st) == 0)
        return listed;
    // Only "not found" means nothing is there (a file on the way is not a
    // folder either); a folder that cannot be entered stays, and the caller
    // says so.
    if (errno != ENOENT && errno != ENOTDIR)
        fail(why);
    return nullptr;
}

bool exists(const Listed& listed) {
    // A link counts unless its target is known to be missing.
    struct stat st;
    return !S_ISLNK(listed.st.st_mode) ||
           fstatat(listed.parent, listed.name.c_str(), &st, 0) == 0 ||
           (errno != ENOENT && errno != ENOTDIR);
}

Identity identity(const Listed& listed) {
    return identity(listed.st);
}

bool is_link(const Listed& listed) {
    return S_ISLNK(listed.st.st_mode);
}

namespace {

// `fd` and every folder above it, through "..", up to the root (its own
// parent); an unknown identity ends a chain that cannot be followed that far.
Chain chain_from(int fd, Chain out) {
    int dir = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    struct stat st;
    bool at_root = false;
    while (dir >= 0 && fstat(dir, &st) == 0) {
        const Identity id = identity(st);
        at_root = !out.empty() && out.back() == id;
        if (at_root)
            break;
        out.push_back(id);
        const int up = openat(dir, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(dir);
        dir = up;
    }
    if (dir >= 0)
        close(dir);
    if (!at_root)
        out.push_back(Identity());
    return out;
}

} // namespace

Chain chain(const Listed& listed) {
    return chain_from(listed.parent, {identity(listed.st)});
}

Chain chain(const NativeString& path) {
    UniqueFd fd(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 ? chain_from(fd.get(), {}) : Chain();
}

namespace {

// The platform's part of the walk: descriptors, and ".." to come back up.
struct WalkOps {
    using Raw = int;
    using Handle = UniqueFd;
    Walk mode;

    static int raw(const UniqueFd& fd) { return fd.get(); }
    UniqueFd open_dir(int parent, const NativeString& name) const {
        if (mode == Walk::Remove)
            unlock_dir(parent, name.c_str(), AT_SYMLINK_NOFOLLOW);
        // O_NOFOLLOW: a link, or a folder swapped for one since the listing, is not entered.
        return UniqueFd(
            openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    static UniqueFd open_parent(int child) {
        return UniqueFd(openat(child, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    static Identity id(int fd) {
        struct stat st;
        return fstat(fd, &st) == 0 ? identity(st) : Identity{};
    }
    static bool list(int fd, Listing* out) { return fs::list(fd, out); }
    static Dir dir(int fd) { return Dir{fd}; }
};

} // namespace

void walk(const Listed& listed, const NativeString& path, Walk mode, const Visit& visit, Waiting*) {
    if (!S_ISDIR(listed.st.st_mode))
        return; // a file, or a link: never entered
    if (mode == Walk::Remove)
        unlock_dir(listed.parent, listed.name.c_str(), AT_SYMLINK_NOFOLLOW);
    // Opened for reading below the pinned parent, and only if it is still the
    // entry that was pinned.
    UniqueFd fd(openat(listed.parent, listed.name.c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() >= 0 && fstat(fd.get(), &st) == 0 && identity(st) == identity(listed.st))
        walk_tree(WalkOps{mode}, fd.get(), path, mode, visit);
}

bool remove_file(const Dir& dir, const Entry& entry, std::string* why) {
    return remove_file_at(dir.fd, entry.name.c_str(), why);
}

bool remove_dir(const Dir& dir, const Entry& entry, std::string* why) {
    return remove_dir_at(dir.fd, entry.name.c_str(), why);
}

bool remove_listed(const Listed& listed, Waiting*, std::string* why) {
    // By name below the pinned parent, only while the name still leads to the
    // entry that was opened; a file keeps its mode and stays.
    struct stat now;
    if (fstatat(listed.parent, listed.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(why);
    errno = !(identity(now) == identity(listed.st))          ? ESTALE
            : !S_ISDIR(now.st_mode) && !S_ISLNK(now.st_mode) ? ENOTDIR
                                                             : 0;
    if (errno != 0)
        return fail(why);
    return remove_dir_at(listed.parent, listed.name.c_str(), why);
}

std::string missing_text() {
    return std::strerror(ENOENT);
}

NativeString resolve(const NativeString& path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real ? NativeString(real.get()) : NativeString();
}

} // namespace removal::fs
