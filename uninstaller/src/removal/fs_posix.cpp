// POSIX back end: a listed path is pinned once (its parent opened, the entry
// itself not followed), and below it every step goes through directory
// descriptors: a folder swapped for a link at any moment is never followed,
// and a folder on another mount is never entered.
#include "src/removal/fs.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace removal::fs {

namespace {

// A descriptor, closed when it goes; -1 where there is none.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        std::swap(fd_, other.fd_); // the old one closes with `other`
        return *this;
    }
    ~UniqueFd() {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_;
};

Identity identity(const struct stat& st) {
    Identity id;
    id.serial = static_cast<unsigned long long>(st.st_dev);
    id.index = static_cast<unsigned long long>(st.st_ino);
    return id;
}

bool same(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `fd` is open on the folder `st` was taken of.
bool is(const UniqueFd& fd, const struct stat& st) {
    struct stat now;
    return fd && fstat(fd.get(), &now) == 0 && same(now, st);
}

} // namespace

struct Listed {
    UniqueFd parent; // the folder that holds the entry
    std::string name;
    struct stat st; // of the entry itself, a link not followed
};

void ListedCloser::operator()(Listed* listed) const {
    delete listed;
}

namespace {

constexpr int kOpenDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// `name` in `dir` as a folder to walk: never through a link, and never onto
// another mount (bind mounts of the same file system included), as
// rm --one-file-system does; EXDEV where it is a mount point. Without
// openat2 (before Linux 5.6) only a mount of another device is told apart.
int open_dir(int dir, const char* name) {
    open_how how{};
    how.flags = kOpenDir;
    how.resolve = RESOLVE_NO_XDEV;
    const int fd = static_cast<int>(syscall(SYS_openat2, dir, name, &how, sizeof how));
    return fd >= 0 || errno != ENOSYS ? fd : openat(dir, name, kOpenDir);
}

struct Entry {
    std::string name;
    int error = 0; // for a folder: why it was not emptied
};

// Folders, links to folders among them, apart from the other entries, each
// in listing order. False, with errno, where it cannot be listed to the end.
struct Listing {
    std::vector<Entry> files, dirs;
};

bool list(int fd, Listing* out) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = copy < 0 ? nullptr : fdopendir(copy);
    if (!dir) {
        if (copy >= 0)
            close(copy);
        return false;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
    for (;;) {
        errno = 0;
        const dirent* e = readdir(dir);
        if (!e)
            return errno == 0;
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st; // a link counts as a folder when its target is one
        const bool folder =
            e->d_type == DT_DIR || ((e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) &&
                                    fstatat(fd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode));
        (folder ? out->dirs : out->files).push_back({e->d_name});
    }
}

// Before a removal lists a folder, its owner gets read, write and search on
// it where missing, so that a read-only folder gives up its entries. Never
// through a link: the C library refuses to change one.
void unlock(int dir, const char* name) {
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        (st.st_mode & S_IRWXU) != S_IRWXU)
        fchmodat(dir, name, (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW);
}

// Unlinking asks nothing of an entry's own permissions, so nothing is made
// writable first. 0, or why not.
int remove_file(int dir, const char* name) {
    return unlinkat(dir, name, 0) == 0 ? 0 : errno;
}

// An empty folder, or a link to one, which goes as a link.
int remove_dir(int dir, const char* name) {
    if (unlinkat(dir, name, AT_REMOVEDIR) == 0)
        return 0;
    if (errno != ENOTDIR)
        return errno;
    return unlinkat(dir, name, 0) == 0 ? 0 : errno;
}

// The walk below one listed folder, counting, or removing where it has a
// report to give. Only the current folder holds a descriptor, so depth costs
// none: a folder is reached again from its child by "..", as fts does, and
// only while that is still the folder that was listed; else the walk goes
// back to the listed folder, and what is left between them stays, and is
// told there. The path of the current folder is one string, grown and cut.
class Walk {
  public:
    Walk(const Listed& listed, const NativeString& path, const Report* report)
        : listed_(listed), path_(path), report_(report) {}

    // 0, or why the listed folder itself cannot be walked.
    int run() {
        if (report_)
            unlock(listed_.parent.get(), listed_.name.c_str());
        frames_.push_back({listed_.st, {}, path_.size()});
        if (!open_top())
            return errno;
        if (!list(fd_.get(), &frames_[0].listing))
            return errno;
        count += frames_[0].listing.files.size() + frames_[0].listing.dirs.size();
        while (!frames_.empty()) {
            Frame& f = frames_.back();
            if (f.next < f.listing.dirs.size()) {
                Entry& e = f.listing.dirs[f.next++]; // stays where it is as frames_ grows
                e.error = enter(e.name);
            } else {
                if (report_)
                    clear(f);
                leave();
            }
        }
        return 0;
    }

    long long count = 0;

  private:
    struct Frame {
        struct stat st;
        Listing listing;
        size_t path_length; // of path_ while this folder is walked
        size_t next = 0;    // the next of listing.dirs to enter
    };

    bool open_top() {
        fd_ = UniqueFd(openat(listed_.parent.get(), listed_.name.c_str(), kOpenDir));
        errno = fd_ ? ESTALE : errno;
        return is(fd_, listed_.st);
    }

    // 0 where the folder `name` was entered, or is a link and goes as one.
    int enter(const std::string& name) {
        if (report_)
            unlock(fd_.get(), name.c_str());
        UniqueFd fd(open_dir(fd_.get(), name.c_str()));
        if (!fd)
            return errno == ELOOP || errno == ENOTDIR ? 0 : errno;
        Frame child{{}, {}, 0};
        if (fstat(fd.get(), &child.st) != 0)
            return errno;
        if (child.st.st_dev != listed_.st.st_dev)
            return EXDEV;
        if (!list(fd.get(), &child.listing))
            return errno;
        count += child.listing.files.size() + child.listing.dirs.size();
        path_ = join(path_, name);
        child.path_length = path_.size();
        frames_.push_back(std::move(child));
        fd_ = std::move(fd);
        return 0;
    }

    void leave() {
        frames_.pop_back();
        if (frames_.empty())
            return;
        UniqueFd up(openat(fd_.get(), "..", kOpenDir));
        if (is(up, frames_.back().st)) {
            fd_ = std::move(up);
        } else {
            frames_.resize(1); // moved meanwhile: what is left in it stays
            if (!open_top())
                frames_.clear();
        }
        if (!frames_.empty())
            path_.resize(frames_.back().path_length);
    }

    // The folder's files, then its folders: each went (gone already counts:
    // someone else deleted it meanwhile), or stays and why.
    void clear(const Frame& f) {
        for (const std::vector<Entry>* entries : {&f.listing.files, &f.listing.dirs})
            for (const Entry& e : *entries) {
                const What what = entries == &f.listing.dirs ? What::Folder : What::File;
                const int error = e.error              ? e.error
                                  : what == What::File ? remove_file(fd_.get(), e.name.c_str())
                                                       : remove_dir(fd_.get(), e.name.c_str());
                if (error == 0 || error == ENOENT)
                    report_->went(what);
                else
                    report_->stays(what, join(path_, e.name), std::strerror(error));
            }
    }

    const Listed& listed_;
    NativeString path_;
    const Report* report_;
    std::vector<Frame> frames_;
    UniqueFd fd_; // the current folder's
};

// The listed entry, by name below its pinned parent, only while the name
// still leads to the entry that was opened: a folder as an empty folder, a
// link as a link. A file stays as it is, its mode included.
int remove_listed(const Listed& listed) {
    struct stat now;
    if (fstatat(listed.parent.get(), listed.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!same(now, listed.st))
        return ESTALE;
    if (!S_ISDIR(now.st_mode) && !S_ISLNK(now.st_mode))
        return ENOTDIR;
    return remove_dir(listed.parent.get(), listed.name.c_str());
}

// `fd` and every folder above it, through "..", up to the root (its own
// parent); an unknown identity ends a chain that cannot be followed that far.
Chain chain_from(int fd, Chain out) {
    UniqueFd dir(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    struct stat st;
    while (dir && fstat(dir.get(), &st) == 0) {
        if (!out.empty() && out.back() == identity(st))
            return out; // the root
        out.push_back(identity(st));
        dir = UniqueFd(openat(dir.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    out.push_back(Identity());
    return out;
}

} // namespace

ListedPtr open_listed(const NativeString& path, std::string* why) {
    why->clear();
    // As spelled ("." and ".." resolved): the parent as named, the entry
    // itself not followed. A root is never removed.
    std::filesystem::path p = std::filesystem::path(path).lexically_normal();
    if (!p.has_filename())
        p = p.parent_path();
    if (p == p.root_path()) {
        *why = std::strerror(EISDIR);
        return nullptr;
    }
    ListedPtr listed(new Listed);
    listed->name = p.filename();
    listed->parent = UniqueFd(open(p.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (listed->parent &&
        fstatat(listed->parent.get(), listed->name.c_str(), &listed->st, AT_SYMLINK_NOFOLLOW) == 0)
        return listed;
    // Only "not found" means nothing is there (a file on the way is not a
    // folder either); a folder that cannot be entered stays, and says why.
    if (errno != ENOENT && errno != ENOTDIR)
        *why = std::strerror(errno);
    return nullptr;
}

long long count_tree(const Listed& listed) {
    Walk walk(listed, {}, nullptr);
    if (S_ISDIR(listed.st.st_mode))
        walk.run();
    return walk.count;
}

void remove_tree(Listed& listed, const NativeString& path, Budget&, const Report& report) {
    int error = S_ISDIR(listed.st.st_mode) ? Walk(listed, path, &report).run() : 0;
    if (error == 0)
        error = remove_listed(listed);
    if (error == 0 || error == ENOENT)
        report.went(What::Listed);
    else
        report.stays(What::Listed, path, std::strerror(error));
}

bool is_link(const Listed& listed) {
    return S_ISLNK(listed.st.st_mode);
}

Chain chain(const Listed& listed) {
    return chain_from(listed.parent.get(), {identity(listed.st)});
}

Chain chain(const NativeString& path) {
    UniqueFd fd(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return fd ? chain_from(fd.get(), {}) : Chain();
}

std::string missing_text() {
    return std::strerror(ENOENT);
}

NativeString resolve(const NativeString& path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real ? NativeString(real.get()) : NativeString();
}

} // namespace removal::fs
