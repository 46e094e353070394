// Conditions injected into the removal where the platform here cannot make
// them happen: what only real Windows, or a file system Wine lacks, produces.
#include "tests/removal/test_support.h"

#include "src/utils/remove_tree_faults.h"

#include <doctest/doctest.h>

namespace removal::fs {
bool (*fault_hook)(FaultPoint point, const void* handle) = nullptr;
} // namespace removal::fs

namespace {

// Sets the hook for one test and takes it away after.
struct Faults {
    explicit Faults(bool (*hook)(removal::fs::FaultPoint, const void*)) {
        removal::fs::fault_hook = hook;
    }
    ~Faults() { removal::fs::fault_hook = nullptr; }
};

} // namespace

TEST_SUITE("faults") {
    TEST_CASE("without faults the removal runs as usual") {
        Faults none(nullptr);
        TempDir tmp;
        make_file(tmp / "t" / "f");
        Outcome o = remove_paths({tmp / "t"});
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(tmp / "t"));
    }
}

#ifdef _WIN32
#include "common/win32_owners.h"

#include <atomic>
#include <thread>
#include <vector>

#include <windows.h>
#include <winternl.h>

namespace {

using removal::fs::FaultPoint;

// What the hooks saw, for the test that set them.
std::atomic<int> posix_asked{0}, ignore_asked{0}, writable_seen{0};

HANDLE as_handle(const void* handle) {
    return static_cast<HANDLE>(const_cast<void*>(handle));
}

bool granted_write_attributes(HANDLE h) {
    PUBLIC_OBJECT_BASIC_INFORMATION info{};
    return NtQueryObject(h, ObjectBasicInformation, &info, sizeof info, nullptr) >= 0 &&
           (info.GrantedAccess & FILE_WRITE_ATTRIBUTES);
}

// Stands in for Windows 10 1809 and later: both flags taken. The system would
// delete a read-only entry as it is; here the hook clears the attribute in
// its place, so that the classic disposition can do the rest.
bool windows_1809(FaultPoint point, const void* handle) {
    if (point == FaultPoint::PosixTaken)
        return ++posix_asked, true;
    if (point != FaultPoint::IgnoreReadonlyTaken)
        return false;
    ++ignore_asked;
    HANDLE h = as_handle(handle);
    writable_seen += granted_write_attributes(h);
    wchar_t path[32768];
    const DWORD n = GetFinalPathNameByHandleW(h, path, 32768, VOLUME_NAME_DOS);
    const DWORD attrs = n ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
    return attrs != INVALID_FILE_ATTRIBUTES &&
           SetFileAttributesW(path, attrs & ~FILE_ATTRIBUTE_READONLY);
}

// Windows 10 1607 to 1803: POSIX semantics, but not the read-only flag.
bool windows_1607(FaultPoint point, const void*) {
    if (point == FaultPoint::PosixTaken)
        return ++posix_asked, true;
    ignore_asked += point == FaultPoint::IgnoreReadonlyTaken;
    return false;
}

// Wine as it is, counting how often the POSIX disposition is asked for.
bool counting(FaultPoint point, const void*) {
    posix_asked += point == FaultPoint::PosixTaken;
    return false;
}

bool no_move(FaultPoint point, const void*) {
    return point == FaultPoint::MoveOut;
}

std::atomic<int> marks{0};

// A held file is marked where it is, then again once moved out: the second fails.
bool no_mark_after_move(FaultPoint point, const void*) {
    return point == FaultPoint::Mark && ++marks == 2;
}

bool no_mark(FaultPoint point, const void*) {
    return point == FaultPoint::Mark;
}

void reset_counts() {
    posix_asked = ignore_asked = writable_seen = marks = 0;
}

// Three files, one of them read-only, and a folder with one file (Wine keeps
// no read-only attribute on folders).
fsys::path make_tree(const fsys::path& t) {
    for (const char* name : {"a", "b", "ro"})
        make_file(t / name);
    make_file(t / "sub" / "f");
    set_readonly(t / "ro");
    return t;
}

UniqueFile hold_shared(const fsys::path& file) {
    return UniqueFile(CreateFileW(file.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
}

std::vector<fsys::path> moved_out(const fsys::path& folder) {
    std::vector<fsys::path> out;
    for (const auto& e : fsys::directory_iterator(folder))
        if (e.path().filename().native().rfind(L".removing-", 0) == 0)
            out.push_back(e.path());
    return out;
}

} // namespace

TEST_SUITE("faults") {
    TEST_CASE("deletion as each Windows takes it") {
        TempDir tmp;
        reset_counts();
        SUBCASE("1809 and later: POSIX for every entry, read-only ones without write access") {
            Faults f(windows_1809);
            Outcome o = remove_paths({make_tree(tmp / "t")});
            CHECK(o.output.empty());
            CHECK_FALSE(exists_no_follow(tmp / "t"));
            CHECK(posix_asked == 5); // all but the read-only file
            CHECK(ignore_asked == 1);
            CHECK(writable_seen == 0);
        }
        SUBCASE("1607 to 1803: the read-only flag refused once, POSIX kept") {
            Faults f(windows_1607);
            Outcome o = remove_paths({make_tree(tmp / "t")});
            CHECK(o.output.empty());
            CHECK_FALSE(exists_no_follow(tmp / "t"));
            CHECK(ignore_asked == 1);
            CHECK(posix_asked == 6);
        }
        SUBCASE("without POSIX semantics: asked once per listed folder") {
            Faults f(counting);
            Outcome o = remove_paths({make_tree(tmp / "t"), make_tree(tmp / "u")});
            CHECK(o.output.empty());
            CHECK_FALSE(exists_no_follow(tmp / "t"));
            CHECK_FALSE(exists_no_follow(tmp / "u"));
            CHECK(posix_asked == 2);
        }
    }

    TEST_CASE("a held file that cannot move out is waited for") {
        TempDir tmp;
        fsys::path t = tmp / "t";
        make_file(t / "held.txt", "in use");
        Faults f(no_move);
        UniqueFile held = hold_shared(t / "held.txt");
        REQUIRE(held.get() != INVALID_HANDLE_VALUE);
        SUBCASE("released within moments: the folder goes") {
            std::atomic<bool> released{false};
            std::thread holder([&] {
                Sleep(500);
                released = true;
                held.reset();
            });
            const DWORD start = GetTickCount();
            Outcome o = remove_paths({t});
            const DWORD took = GetTickCount() - start;
            holder.join();
            MESSAGE("the folder went " << took << " ms after the start");
            CHECK(released);
            CHECK(o.output.empty());
            CHECK(o.progress == std::vector<int>{50, 100, 100});
            CHECK_FALSE(exists_no_follow(t));
        }
        SUBCASE("never released: the folder is reported, the file goes with its last handle") {
            Outcome o = remove_paths({t});
            CHECK(o.lines() == std::vector<std::string>{kListedFailed + u8(t) + " (" +
                                                        system_text(ERROR_DIR_NOT_EMPTY) + ")"});
            held.reset();
            CHECK_FALSE(exists_no_follow(t / "held.txt"));
        }
        CHECK(moved_out(tmp.path()).empty());
    }

    TEST_CASE("a moved file that cannot be marked goes back where it was") {
        TempDir tmp;
        fsys::path t = tmp / "t";
        make_file(t / "held.txt", "in use");
        reset_counts();
        Faults f(no_mark_after_move);
        UniqueFile held = hold_shared(t / "held.txt");
        REQUIRE(held.get() != INVALID_HANDLE_VALUE);
        Outcome o = remove_paths({t});
        CHECK(marks == 3);
        CHECK(o.lines() == std::vector<std::string>{kListedFailed + u8(t) + " (" +
                                                    system_text(ERROR_DIR_NOT_EMPTY) + ")"});
        CHECK(moved_out(tmp.path()).empty());
        CHECK(exists_no_follow(t / "held.txt"));
        held.reset();
        CHECK_FALSE(exists_no_follow(t / "held.txt")); // marked again in place
    }

    TEST_CASE("a read-only file whose deletion fails keeps its attribute") {
        TempDir tmp;
        fsys::path t = tmp / "t";
        make_file(t / "ro.txt");
        set_readonly(t / "ro.txt");
        Faults f(no_mark);
        Outcome o = remove_paths({t});
        REQUIRE(o.lines().size() == 2);
        CHECK(o.lines()[0] ==
              kFileFailed + u8(t / "ro.txt") + " (" + system_text(ERROR_ACCESS_DENIED) + ")");
        CHECK((GetFileAttributesW((t / "ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
    }
}
#endif
