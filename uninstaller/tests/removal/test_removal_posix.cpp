// POSIX cases: links are never followed below a listed path, and permission
// cases run with real permission checks.
#include "tests/removal/test_support.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <utility>

#include <grp.h>
#include <sched.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void chown_tree(const fsys::path& base, uid_t uid, gid_t gid) {
    lchown(base.c_str(), uid, gid);
    for (const auto& e : fsys::recursive_directory_iterator(base))
        lchown(e.path().c_str(), uid, gid);
}

// Root ignores permission bits, so as root the removal runs in a child that
// has become "nobody" and owns `base`; `keep_root` stays owned by root. The
// child hands its outcome back through a pipe.
Outcome remove_unprivileged(const fsys::path& base, const std::vector<fsys::path>& paths,
                            const std::vector<fsys::path>& keep_root = {}) {
    if (geteuid() != 0)
        return remove_paths(paths);
    const passwd* nobody = getpwnam("nobody");
    REQUIRE(nobody != nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    chown_tree(base, uid, gid);
    for (const fsys::path& p : keep_root)
        lchown(p.c_str(), 0, 0);

    int fds[2];
    REQUIRE(pipe(fds) == 0);
    const pid_t pid = fork();
    REQUIRE(pid >= 0);
    if (pid == 0) {
        close(fds[0]);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(2);
        Outcome o = remove_paths(paths);
        std::ostringstream report;
        report << o.ready << ' ' << o.ready_last;
        for (int v : o.progress)
            report << ' ' << v;
        report << '\n' << o.output;
        const std::string bytes = report.str();
        write(fds[1], bytes.data(), bytes.size());
        _exit(0);
    }
    close(fds[1]);
    std::string bytes;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        bytes.append(buf, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    REQUIRE(WIFEXITED(status));
    REQUIRE(WEXITSTATUS(status) == 0);

    Outcome o;
    const size_t nl = bytes.find('\n');
    std::istringstream head(bytes.substr(0, nl));
    head >> o.ready >> o.ready_last;
    for (int v; head >> v;)
        o.progress.push_back(v);
    o.output = bytes.substr(nl + 1);
    return o;
}

int open_descriptors() {
    int n = 0;
    std::error_code ec;
    for (auto it = fsys::directory_iterator("/proc/self/fd", ec);
         !ec && it != fsys::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// Lowers the soft limit of open descriptors for the lifetime of the object.
class DescriptorLimit {
  public:
    explicit DescriptorLimit(rlim_t limit) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        REQUIRE(setrlimit(RLIMIT_NOFILE, &lowered) == 0);
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

  private:
    rlimit saved_;
};

} // namespace

TEST_SUITE("posix") {
    TEST_CASE("a folder moved out of a deep walk does not lead it outside by \"..\"") {
        TempDir tmp;
        fsys::path t = tmp / "t", deepest = t;
        make_chain(t, 100);
        for (int i = 0; i < 100; ++i)
            deepest /= "d";
        fsys::create_directory(tmp / "d"); // what the walk would remove there
        bool moved = false;
        // Once its file is gone, the deepest folder moves next to t: its ".."
        // is no longer the folder above it in the tree.
        Outcome o = remove_paths({t}, [&](int) {
            if (!std::exchange(moved, true))
                fsys::rename(deepest, tmp / "outside");
        });
        CHECK(fsys::exists(tmp / "d"));
        CHECK(fsys::exists(t / "d" / "d")); // what is left stays, and is told
        REQUIRE(o.lines().size() == 2);
        CHECK(o.lines()[1] == kListedFailed + u8(t) + " (" + std::strerror(ENOTEMPTY) + ")");
        CHECK(o.ready == 1);
    }

    TEST_CASE("a tree 10,000 folders deep is removed within 1,024 descriptors") {
        TempDir tmp;
        const int levels = 10000;
        make_chain(tmp / "deep", levels);
        DescriptorLimit limit(1024);
        const int before = open_descriptors();
        int peak = before;
        const auto start = std::chrono::steady_clock::now();
        // The walk holds the most on its way down, before the first removal.
        Outcome o =
            remove_paths({tmp / "deep"}, [&](int) { peak = std::max(peak, open_descriptors()); });
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        MESSAGE(levels << " levels: " << took.count() << " s, descriptors open " << before
                       << " before, at most " << peak << " while removing");
        CHECK(o.output.empty());
        CHECK(o.progress == every_percentage());
        CHECK(o.ready == 1);
        CHECK_FALSE(exists_no_follow(tmp / "deep"));
    }

    TEST_CASE("a link to a folder is one entry, removed as a link; its target survives") {
        TempDir tmp;
        make_file(tmp / "target" / "canary.txt", "keep");
        make_file(tmp / "t" / "f");
        fsys::create_directory_symlink(tmp / "target", tmp / "t" / "link");
        CHECK(removal::count_items((tmp / "t").native()) == 2);

        Outcome o = remove_paths({tmp / "t"});
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{33, 66, 100, 100});
        CHECK_FALSE(exists_no_follow(tmp / "t"));
        CHECK(fsys::exists(tmp / "target" / "canary.txt"));
    }

    TEST_CASE("a folder swapped for a link after counting is not entered") {
        TempDir tmp;
        make_file(tmp / "target" / "canary.txt", "keep");
        make_file(tmp / "target" / "1", "same name as the swapped folder's file");
        make_file(tmp / "t" / "a" / "1");
        make_file(tmp / "t" / "b" / "1");
        bool swapped = false;
        // After the first folder's file, the folder not yet walked becomes a link.
        Outcome o = remove_paths({tmp / "t"}, [&](int) {
            if (swapped)
                return;
            swapped = true;
            for (const char* dir : {"a", "b"})
                if (fsys::exists(tmp / "t" / dir / "1")) {
                    fsys::rename(tmp / "t" / dir, tmp / "moved");
                    fsys::create_directory_symlink(tmp / "target", tmp / "t" / dir);
                }
        });
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{20, 40, 60, 80, 100});
        CHECK_FALSE(exists_no_follow(tmp / "t"));
        CHECK(fsys::exists(tmp / "target" / "canary.txt"));
        CHECK(fsys::exists(tmp / "target" / "1"));
        CHECK(fsys::exists(tmp / "moved" / "1"));
    }

    TEST_CASE("dangling links go as links, listed or below") {
        TempDir tmp;
        make_file(tmp / "t" / "f");
        fsys::create_symlink(tmp / "nowhere", tmp / "t" / "dangling");
        fsys::create_symlink(tmp / "nowhere", tmp / "listed-dangling");

        Outcome o = remove_paths({tmp / "listed-dangling", tmp / "t"});
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{25, 50, 75, 100, 100});
        CHECK_FALSE(exists_no_follow(tmp / "t"));
        CHECK_FALSE(exists_no_follow(tmp / "listed-dangling"));
    }

    TEST_CASE("a listed link to a folder is removed as a link, never entered") {
        TempDir tmp;
        make_file(tmp / "target" / "f");
        fsys::create_directory_symlink(tmp / "target", tmp / "link");
        CHECK(removal::count_items((tmp / "link").native()) == 0);
        Outcome o = remove_paths({tmp / "link"});
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{100, 100});
        CHECK_FALSE(exists_no_follow(tmp / "link"));
        CHECK(fsys::exists(tmp / "target" / "f"));
    }

    TEST_CASE("a listed folder swapped for a link after counting is not followed") {
        TempDir tmp;
        make_file(tmp / "target" / "canary.txt", "keep");
        make_file(tmp / "t" / "a" / "1");
        bool swapped = false;
        // Once the removal has begun, the listed folder's name leads elsewhere.
        Outcome o = remove_paths({tmp / "t"}, [&](int) {
            if (swapped)
                return;
            swapped = true;
            fsys::rename(tmp / "t", tmp / "moved");
            fsys::create_directory_symlink(tmp / "target", tmp / "t");
        });
        CHECK(fsys::exists(tmp / "target" / "canary.txt"));
        CHECK(exists_no_follow(tmp / "t")); // the link stays: it is not what was listed
        CHECK_FALSE(exists_no_follow(tmp / "moved" / "a"));
        REQUIRE(o.lines().size() == 1);
        CHECK(o.lines()[0].rfind(kListedFailed + u8(tmp / "t") + " (", 0) == 0);
    }

    TEST_CASE("folders without write permission are removed with their contents") {
        TempDir tmp;
        fsys::path t = tmp / "t";
        make_file(t / "rodir" / "f");
        fsys::permissions(t / "rodir" / "f", fsys::perms::owner_read);
        fsys::permissions(t / "rodir", fsys::perms::owner_read | fsys::perms::owner_exec);
        fsys::permissions(t, fsys::perms::owner_read | fsys::perms::owner_exec);
        Outcome o = remove_unprivileged(tmp.path(), {t});
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{33, 66, 100, 100});
        CHECK_FALSE(exists_no_follow(t));
    }

    TEST_CASE("a listed folder that cannot be reached is reported, not taken for missing") {
        TempDir tmp;
        const fsys::path model = tmp / "closed" / "model";
        make_file(model / "f");
        fsys::permissions(tmp / "closed", fsys::perms::none);
        // As root, "closed" stays root's: the unprivileged removal cannot enter it either.
        Outcome o = remove_unprivileged(tmp.path(), {model}, {tmp / "closed"});
        fsys::permissions(tmp / "closed", fsys::perms::owner_all);
        CHECK(o.lines() == std::vector<std::string>{kListedFailed + u8(model) + " (" +
                                                    std::strerror(EACCES) + ")"});
        CHECK(o.progress == std::vector<int>{100});
        CHECK(fsys::exists(model / "f"));
    }

    TEST_CASE("an own folder without any permission is opened by the removal, not the count") {
        TempDir tmp;
        fsys::path t = tmp / "t";
        make_file(t / "closed" / "g");
        fsys::permissions(t / "closed", fsys::perms::none);
        // The count cannot look inside, so the removal goes past 100 before the final value.
        Outcome o = remove_unprivileged(tmp.path(), {t});
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{50, 100, 150, 100});
        CHECK_FALSE(exists_no_follow(t));
    }
}

// Another user's folder can be made only by root: ctest runs this suite as
// root and reports it skipped otherwise (removal.core.posix-root).
TEST_SUITE("posix-root") {
    TEST_CASE("a folder that cannot be listed keeps its contents and is reported with why") {
        TempDir tmp;
        const fsys::path t = tmp / "t", locked = t / "locked", listed = tmp / "listed";
        make_file(t / "a.txt");
        make_file(locked / "secret.txt", "keep");
        make_file(listed / "secret.txt", "keep");
        // Owned by root, mode 0700: nobody can neither list nor unlock them.
        fsys::permissions(locked, fsys::perms::owner_all);
        fsys::permissions(listed, fsys::perms::owner_all);
        Outcome o =
            remove_unprivileged(tmp.path(), {t, listed},
                                {locked, locked / "secret.txt", listed, listed / "secret.txt"});
        const std::string denied = std::string(" (") + std::strerror(EACCES) + ")";
        CHECK(o.lines() == std::vector<std::string>{kDirFailed + u8(locked) + denied,
                                                    kListedFailed + u8(t) + " (" +
                                                        std::strerror(ENOTEMPTY) + ")",
                                                    kListedFailed + u8(listed) + denied});
        CHECK(o.progress == std::vector<int>{25, 50, 75, 100, 100});
        CHECK(o.ready == 1);
        CHECK(o.ready_last);
        CHECK(fsys::exists(locked / "secret.txt"));
        CHECK(fsys::exists(listed / "secret.txt"));
        CHECK_FALSE(fsys::exists(t / "a.txt"));
    }

    TEST_CASE("a folder on another mount is never entered, bind mounts included") {
        // In a mount namespace of the test's own: nothing outside sees the mounts.
        REQUIRE(unshare(CLONE_NEWNS) == 0);
        REQUIRE(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
        TempDir tmp;
        const fsys::path t = tmp / "t";
        make_file(tmp / "outside" / "canary.txt", "keep");
        make_file(t / "f");
        for (const char* name : {"bound", "tmpfs"})
            fsys::create_directories(t / "in" / name);
        REQUIRE(mount((tmp / "outside").c_str(), (t / "in" / "bound").c_str(), nullptr, MS_BIND,
                      nullptr) == 0);
        REQUIRE(mount("tmpfs", (t / "in" / "tmpfs").c_str(), "tmpfs", 0, nullptr) == 0);
        make_file(t / "in" / "tmpfs" / "g");
        CHECK(removal::count_items(t.native()) == 4);
        Outcome o = remove_paths({t});
        const std::string cross = std::string(" (") + std::strerror(EXDEV) + ")";
        const std::string not_empty = std::string(" (") + std::strerror(ENOTEMPTY) + ")";
        std::vector<std::string> lines = o.lines();
        std::sort(lines.begin(), lines.begin() + 2); // the two mounts in listing order
        CHECK(lines == std::vector<std::string>{kDirFailed + u8(t / "in" / "bound") + cross,
                                                kDirFailed + u8(t / "in" / "tmpfs") + cross,
                                                kDirFailed + u8(t / "in") + not_empty,
                                                kListedFailed + u8(t) + not_empty});
        CHECK(fsys::exists(tmp / "outside" / "canary.txt"));
        CHECK(fsys::exists(t / "in" / "tmpfs" / "g"));
        for (const char* name : {"bound", "tmpfs"})
            umount((t / "in" / name).c_str());
    }

    TEST_CASE("a file that cannot be deleted is reported, and every folder above it") {
        TempDir tmp;
        fsys::path t = tmp / "t";
        make_file(t / "a" / "keep.txt", "keep");
        // a is root's and not writable for others: its file stays.
        fsys::permissions(t / "a", fsys::perms::owner_all | fsys::perms::group_read |
                                       fsys::perms::group_exec | fsys::perms::others_read |
                                       fsys::perms::others_exec);
        Outcome o = remove_unprivileged(tmp.path(), {t}, {t / "a", t / "a" / "keep.txt"});
        CHECK(o.lines() ==
              std::vector<std::string>{
                  kFileFailed + u8(t / "a" / "keep.txt") + " (" + std::strerror(EACCES) + ")",
                  kDirFailed + u8(t / "a") + " (" + std::strerror(ENOTEMPTY) + ")",
                  kListedFailed + u8(t) + " (" + std::strerror(ENOTEMPTY) + ")"});
        CHECK(o.progress == std::vector<int>{33, 66, 100, 100});
        CHECK(fsys::exists(t / "a" / "keep.txt"));
    }
}
