// Conditions injected into the removal where the platform here cannot make
// them happen: what only real Windows, or a file system Wine lacks, produces.
#include "tests/removal/test_support.h"

#include "src/utils/remove_tree_faults.h"
#include "src/utils/remove_tree_fs.h"
#include "src/utils/remove_tree_guard.h"

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
            removal::fs::ListedPtr listed = removal::fs::open_listed(row.listed.native());
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
            const removal::Guards guards({{other, removal::Protected::Held}});
            removal::fs::ListedPtr listed = removal::fs::open_listed((tmp / "data").native());
            CHECK(guards.judge((tmp / "data").native(), listed.get()) ==
                  u8"无法识别此文件夹，不能确定它与受保护的文件夹 " + removal::to_utf8(other) +
                      u8" 无关");
        }
        g_points.clear();
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
