// Conditions injected into the removal where the platform here cannot make
// them happen: what only real Windows, or a file system Wine lacks, produces.
#include "tests/removal/test_support.h"

#include "src/removal/faults.h"
#include "src/removal/fs.h"
#include "src/removal/guard.h"

#include <doctest/doctest.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#endif

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

#ifdef _WIN32
using removal::fs::FaultPoint;

// The path the system gives for a handle, the way the hook recognises a folder.
std::wstring final_of(HANDLE h) {
    wchar_t buf[MAX_PATH * 4];
    DWORD n = GetFinalPathNameByHandleW(h, buf, MAX_PATH * 4, VOLUME_NAME_DOS);
    return n && n < MAX_PATH * 4 ? std::wstring(buf, n) : std::wstring();
}

std::wstring final_of(const fsys::path& path) {
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    std::wstring out = final_of(h);
    CloseHandle(h);
    return out;
}

// The queries that fail, and for which folder (any, where empty).
std::vector<FaultPoint> g_points;
std::wstring g_folder;

// The listed path whose open fails, with which error.
std::wstring g_open_fails;
DWORD g_error = 0;

bool failing_open(FaultPoint point, const void* path) {
    if (point != FaultPoint::OpenListed || static_cast<const wchar_t*>(path) != g_open_fails)
        return false;
    SetLastError(g_error);
    return true;
}

bool colliding_indexes(FaultPoint point, const void*) {
    return point == FaultPoint::IndexCollides;
}

bool fail_queries(FaultPoint point, const void* handle) {
    if (std::find(g_points.begin(), g_points.end(), point) == g_points.end())
        return false;
    return g_folder.empty() || CompareStringOrdinal(final_of(const_cast<HANDLE>(handle)).c_str(),
                                                    -1, g_folder.c_str(), -1, TRUE) == CSTR_EQUAL;
}
#endif

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
TEST_SUITE("faults") {
    TEST_CASE("identities are compared in a form both sides give, and doubt refuses") {
        TempDir tmp;
        const fsys::path pf = tmp / "Program Files";
        for (const fsys::path& dir : {pf / "OtherApp", pf / "VeltaAI" / "models", tmp / "data"})
            fsys::create_directories(dir);
        const std::string child =
            u8"是受保护的文件夹 " + u8(pf) + u8" 中其他程序或其他用户的文件夹";
        const std::string doubt =
            u8"无法识别此文件夹，不能确定它与受保护的文件夹 " + u8(pf) + u8" 无关";
        const FaultPoint id = FaultPoint::IdInfoQuery, index = FaultPoint::IndexQuery,
                         path = FaultPoint::FinalPathQuery;
        enum Side { Guard = 1, Listed = 2, Both = 3 };
        struct Row {
            std::vector<FaultPoint> points;
            fsys::path failing; // every folder where empty
            int side;
            fsys::path listed;
            std::string expected;
        };
        const Row rows[] = {
            // One side without FileIdInfo: the older form decides.
            {{id}, pf, Guard, pf / "OtherApp", child},
            {{id}, pf, Listed, pf / "OtherApp", child},
            {{id}, {}, Both, pf / "OtherApp", child},
            {{id}, {}, Both, pf / "VeltaAI" / "models", ""},
            // No identity: the paths the system gives decide.
            {{id, index}, pf / "OtherApp", Both, pf / "OtherApp", child},
            {{id, index}, pf, Guard, tmp / "data", ""},
            {{id, index}, tmp / "data", Both, tmp / "data", ""},
            // Nor a path: in doubt, refused.
            {{id, index, path}, tmp / "data", Both, tmp / "data", doubt},
            {{path}, pf / "OtherApp", Both, pf / "OtherApp", doubt},
        };
        Faults hook(fail_queries);
        for (const Row& row : rows) {
            CAPTURE(u8(row.listed));
            CAPTURE(row.side);
            g_folder = row.failing.empty() ? std::wstring() : final_of(row.failing);
            g_points = row.side & Guard ? row.points : std::vector<FaultPoint>();
            const removal::Guards guards({{pf.native(), removal::Protected::Children}});
            g_points = row.side & Listed ? row.points : std::vector<FaultPoint>();
            std::string unopened;
            removal::fs::ListedPtr listed =
                removal::fs::open_listed(row.listed.native(), &unopened);
            CHECK(guards.judge(row.listed.native(), listed.get()) == row.expected);
        }

        // Across volumes the paths cannot tell: a share may lead to the same folder.
        wchar_t other[] = L"?:\\";
        for (wchar_t letter = L'C'; letter <= L'Z' && other[0] == L'?'; ++letter) {
            const wchar_t root[] = {letter, L':', L'\\', 0};
            if (towupper(tmp.path().native()[0]) != letter && GetDriveTypeW(root) == DRIVE_FIXED)
                other[0] = letter;
        }
        if (other[0] == L'?') {
            MESSAGE("no second fixed drive: the doubt across volumes is not shown");
        } else {
            g_folder = final_of(tmp / "data");
            g_points = {id, index};
            const removal::Guards guards({{other, removal::Protected::Itself}});
            std::string unopened;
            removal::fs::ListedPtr listed =
                removal::fs::open_listed((tmp / "data").native(), &unopened);
            CHECK(guards.judge((tmp / "data").native(), listed.get()) ==
                  u8"无法识别此文件夹，不能确定它与受保护的文件夹 " + removal::to_utf8(other) +
                      u8" 无关");
        }
        g_points.clear();
    }

    TEST_CASE("a listed folder that cannot be opened stays and says why") {
        TempDir tmp;
        const fsys::path t = tmp / "t";
        make_file(t / "f");
        const std::wstring api = L"\\\\?\\" + t.native();
        for (const DWORD error : {DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_BAD_NETPATH)}) {
            CAPTURE(error);
            g_error = error;
            g_open_fails = api;
            Faults hook(failing_open);
            Outcome o = remove_paths({t});
            const std::vector<std::string> expected{kListedFailed + u8(t) + " (" +
                                                    system_text(error) + ")"};
            CHECK(o.lines() == expected);
            CHECK(o.left == expected);
            CHECK(o.progress == std::vector<int>{100});
            CHECK(fsys::exists(t / "f"));
        }
    }

    TEST_CASE("where both sides have a FileIdInfo identity, the 64-bit index does not count") {
        // Two folders whose indexes are the same, as on ReFS: neither is the
        // protected folder, nor the other.
        TempDir tmp;
        const fsys::path pf = tmp / "Program Files";
        for (const fsys::path& dir : {pf / "OtherApp", tmp / "a", tmp / "b"})
            fsys::create_directories(dir);
        Faults hook(colliding_indexes);
        const removal::Guards guards({{pf.native(), removal::Protected::Children}});
        std::string unopened;
        removal::fs::ListedPtr listed = removal::fs::open_listed((tmp / "a").native(), &unopened);
        CHECK(guards.judge((tmp / "a").native(), listed.get()).empty());
        listed.reset();
        Outcome o = remove_paths({tmp / "a", tmp / "b"});
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(tmp / "a"));
        CHECK_FALSE(exists_no_follow(tmp / "b"));
    }

    TEST_CASE("a folder without an identity is removed where the paths tell it apart") {
        TempDir tmp;
        make_file(tmp / "data" / "f");
        g_folder = final_of(tmp / "data");
        g_points = {FaultPoint::IdInfoQuery, FaultPoint::IndexQuery};
        Faults hook(fail_queries);
        Outcome o = remove_paths({tmp / "data"});
        g_points.clear();
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(tmp / "data"));
    }
}
#endif

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
    return point == FaultPoint::IgnoreReadonlyRefused;
}

// Neither flag, as on FAT, network shares and Wine 8 (Wine 10 has both, so
// the refusal is made here). The classic disposition does the work.
bool classic_only(FaultPoint point) {
    return point == FaultPoint::PosixRefused || point == FaultPoint::IgnoreReadonlyRefused;
}

// Counting how often the POSIX disposition is asked for.
bool counting(FaultPoint point, const void*) {
    posix_asked += point == FaultPoint::PosixTaken;
    return classic_only(point);
}

// Windows, unlike Wine, reports an entry marked for deletion by others as
// being deleted when it is opened again.
bool deleting_held(FaultPoint point, const void* name) {
    return classic_only(point) || (point == FaultPoint::DeletePending &&
                                   std::wstring(static_cast<const wchar_t*>(name)) == L"held.txt");
}

std::atomic<int> pauses{0};

// Counts the pauses for folders that are not empty yet, and skips their sleep.
bool counting_pauses(FaultPoint point, const void*) {
    return classic_only(point) || (point == FaultPoint::Pause && ++pauses);
}

// Lets the holder of a file go at the first pause: the file must be tried again.
UniqueFile* g_holder = nullptr;
bool letting_go(FaultPoint point, const void*) {
    if (point == FaultPoint::Pause && ++pauses)
        g_holder->reset();
    return point == FaultPoint::Pause;
}

// Denies the listing of the folder g_folder, counting pauses.
bool unlistable(FaultPoint point, const void* handle) {
    if (point == FaultPoint::Pause)
        return ++pauses;
    return point == FaultPoint::List && fail_queries(point, handle);
}

bool no_mark(FaultPoint point, const void*) {
    return classic_only(point) || point == FaultPoint::Mark;
}

bool no_attributes(FaultPoint point, const void*) {
    return classic_only(point) || point == FaultPoint::Attributes;
}

void reset_counts() {
    posix_asked = ignore_asked = writable_seen = pauses = 0;
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

    TEST_CASE("one wait for the whole run, however many folders others keep") {
        TempDir tmp;
        std::vector<fsys::path> listed;
        std::vector<UniqueFile> held;
        std::vector<std::string> expected;
        for (const char* name : {"t1", "t2", "t3"}) {
            listed.push_back(tmp / name);
            make_file(listed.back() / "held.txt", "in use");
            held.push_back(hold_shared(listed.back() / "held.txt"));
            REQUIRE(held.back().get() != INVALID_HANDLE_VALUE);
            expected.push_back(kListedFailed + u8(listed.back()) + " (" +
                               system_text(ERROR_DIR_NOT_EMPTY) + ")");
        }
        reset_counts();
        Faults f(counting_pauses);
        Outcome o = remove_paths(listed);
        CHECK(o.lines() == expected);
        // Pauses doubling from 10 ms up to about 3 s in all: nine, not nine per folder.
        CHECK(pauses == 9);
    }

    TEST_CASE("an entry another process is deleting counts as going") {
        TempDir tmp;
        const fsys::path t = tmp / "t";
        make_file(t / "held.txt", "in use");
        make_file(t / "free.txt");
        UniqueFile held(CreateFileW((t / "held.txt").c_str(), DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        FILE_DISPOSITION_INFO mark{TRUE};
        REQUIRE(SetFileInformationByHandle(held.get(), FileDispositionInfo, &mark, sizeof mark));
        // It goes once both files are handled: the folder waits for it.
        std::atomic<bool> handled{false};
        std::thread holder([&] {
            while (!handled)
                Sleep(10);
            Sleep(100);
            held.reset();
        });
        Faults f(deleting_held);
        Outcome o = remove_paths({t}, [&](int value) { handled = handled || value >= 66; });
        holder.join();
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(t));
    }

    TEST_CASE("a file held without delete sharing is tried again within the wait") {
        TempDir tmp;
        const fsys::path t = tmp / "t";
        make_file(t / "held.txt", "in use");
        UniqueFile held(CreateFileW((t / "held.txt").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
        REQUIRE(held.get() != INVALID_HANDLE_VALUE);
        reset_counts();
        g_holder = &held;
        Faults f(letting_go);
        Outcome o = remove_paths({t});
        CHECK(pauses == 1);
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(t));
    }

    TEST_CASE("a folder that cannot be listed stays at once, with the listing's reason") {
        TempDir tmp;
        const fsys::path t = tmp / "t";
        make_file(t / "sub" / "f");
        make_file(t / "g");
        g_folder = final_of(t / "sub");
        g_points = {FaultPoint::List};
        reset_counts();
        Faults f(unlistable);
        Outcome o = remove_paths({t});
        g_points.clear();
        CHECK(o.lines() ==
              std::vector<std::string>{
                  kDirFailed + u8(t / "sub") + " (" + system_text(ERROR_ACCESS_DENIED) + ")",
                  kListedFailed + u8(t) + " (" + system_text(ERROR_DIR_NOT_EMPTY) + ")"});
        CHECK(o.progress == std::vector<int>{33, 66, 100, 100});
        CHECK(pauses == 0); // neither it nor the folder above it will empty
        CHECK(fsys::exists(t / "sub" / "f"));
        CHECK_FALSE(fsys::exists(t / "g"));
    }

    TEST_CASE("a read-only file whose attribute or deletion is denied stays as it was, told") {
        for (const auto hook : {no_mark, no_attributes}) {
            TempDir tmp;
            fsys::path t = tmp / "t";
            make_file(t / "ro.txt");
            set_readonly(t / "ro.txt");
            Faults f(hook);
            Outcome o = remove_paths({t});
            REQUIRE(o.lines().size() == 2);
            CHECK(o.lines()[0] ==
                  kFileFailed + u8(t / "ro.txt") + " (" + system_text(ERROR_ACCESS_DENIED) + ")");
            CHECK((GetFileAttributesW((t / "ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
        }
    }
}
#endif
