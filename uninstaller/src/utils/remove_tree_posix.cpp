// POSIX back end: every step below a listed path goes through directory file
// descriptors, so a folder swapped for a link after it was listed is never
// followed.
#include "remove_tree_fs.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace removal::fs {

struct Dir {
    int fd;
};

namespace {

class UniqueFd {
  public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0)
            close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

bool fail(std::string* why) {
    *why = std::strerror(errno);
    return false;
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
    for (;;) {
        errno = 0;
        const dirent* e = readdir(d.get());
        if (!e)
            return errno == 0;
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        (is_dir_entry(fd, e) ? out->dirs : out->files).push_back(e->d_name);
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

void walk_fd(int fd, const NativeString& root, Walk mode, const Visit& visit) {
    Listing listing;
    if (!list(fd, &listing))
        return;
    const Dir dir{fd};
    if (mode == Walk::Count)
        visit(root, dir, listing);
    for (const NativeString& name : listing.dirs) {
        if (mode == Walk::Remove)
            unlock_dir(fd, name.c_str(), AT_SYMLINK_NOFOLLOW);
        // O_NOFOLLOW: a link, or a folder swapped for one since the listing, is not entered.
        UniqueFd sub(openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.get() >= 0)
            walk_fd(sub.get(), join(root, name), mode, visit);
    }
    if (mode == Walk::Remove)
        visit(root, dir, listing);
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

bool remove_file_at(int dirfd, const char* name, std::string* why) {
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

void walk(const NativeString& start, Walk mode, const Visit& visit) {
    if (mode == Walk::Remove)
        unlock_dir(AT_FDCWD, start.c_str(), 0); // the start is read through a link
    UniqueFd fd(open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        walk_fd(fd.get(), start, mode, visit);
}

bool exists(const NativeString& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool remove_file(const Dir& dir, const NativeString& name, std::string* why) {
    return remove_file_at(dir.fd, name.c_str(), why);
}

bool remove_dir(const Dir& dir, const NativeString& name, std::string* why) {
    return remove_dir_at(dir.fd, name.c_str(), why);
}

bool remove_listed_dir(const NativeString& path, std::string* why) {
    return remove_dir_at(AT_FDCWD, path.c_str(), why);
}

NativeString resolve(const NativeString& path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real ? NativeString(real.get()) : NativeString();
}

NativeString get_env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace removal::fs
