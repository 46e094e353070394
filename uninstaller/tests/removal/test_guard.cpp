// Paths that must never be removed: each is refused with one line and
// nothing touched. Dangerous paths point at fake roots with canary files.
#include "tests/removal/test_support.h"

#include "src/removal/guard.h"

#include <doctest/doctest.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const std::string kRefused = u8"拒绝删除: ";
const std::string kNotAbsolute = u8"不是绝对路径";
const std::string kRoot = u8"是根目录";
const std::string kDevice = u8"是设备路径，不是文件夹";
const std::string kProtected = u8"包含受保护的文件夹 ";
const std::string kInside = u8"位于受保护的文件夹 ";
const std::string kChild = u8"是受保护的文件夹 ";

std::string reason(const NativeString& path, const std::vector<NativeString>& held = {}) {
    std::vector<removal::Protected> guarded;
    for (const NativeString& folder : held)
        guarded.push_back({folder, removal::Protected::Itself});
    return refusal_reason(path, guarded);
}

// Runs the removal of one dangerous path and checks that it touched nothing.
void check_refused(const fsys::path& listed, const fsys::path& base) {
    CAPTURE(u8(listed));
    const int before = entries_below(base);
    Outcome o = remove_paths({listed});
    REQUIRE(o.lines().size() == 1);
    const std::string line = o.lines()[0];
    CHECK(line.rfind(kRefused + u8(listed) + " (" + kProtected, 0) == 0);
    CHECK(line.back() == ')');
    CHECK(o.progress == std::vector<int>{100});
    CHECK(o.ready == 1);
    CHECK(entries_below(base) == before);
}

} // namespace

TEST_SUITE("guard") {
    TEST_CASE("fake protected roots, the folders holding them and their spellings are refused") {
        TempDir tmp;
        fsys::path base = tmp / "sys";
        FakeProtectedRoots roots(base);
        std::vector<fsys::path> dangerous = {
            roots.home,
            roots.home / ".",
            roots.home / "AppData" / "..",
            fsys::path(roots.home.native() + removal::kSeparator + removal::kSeparator),
            roots.home / "AppData",
            roots.appdata,
            roots.appdata / "VeltaAI" / ".." / "..",
            roots.localappdata,
            roots.windows,
            roots.program_files,
            roots.program_files_x86,
            base,
        };
#ifdef _WIN32
        // Letter case, forward slashes, trailing dots and the \\?\ form.
        std::wstring upper = roots.home.native();
        CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
        std::wstring slashes = roots.appdata.native();
        for (wchar_t& c : slashes)
            if (c == L'\\')
                c = L'/';
        dangerous.push_back(upper);
        dangerous.push_back(slashes);
        dangerous.push_back(roots.windows.native() + L".");
        dangerous.push_back(L"\\\\?\\" + roots.program_files.native());
#else
        // A link is judged by where it leads.
        fsys::create_directory_symlink(roots.home, tmp / "sys" / "link-to-home");
        dangerous.push_back(tmp / "sys" / "link-to-home");
#endif
        for (const fsys::path& path : dangerous)
            check_refused(path, base);
        CHECK(fsys::exists(roots.home / "canary.txt"));
        CHECK(fsys::exists(roots.appdata / "canary.txt"));
    }

    TEST_CASE("the refusal line names the protected folder") {
        TempDir tmp;
        FakeProtectedRoots roots(tmp / "sys");
        Outcome o = remove_paths({roots.windows});
        CHECK(o.output ==
              kRefused + u8(roots.windows) + " (" + kProtected + u8(roots.windows) + ")\n");
    }

    TEST_CASE("folders inside the protected ones are removed as usual") {
        TempDir tmp;
        FakeProtectedRoots roots(tmp / "sys");
        fsys::path draft = roots.appdata / "VeltaAI";
        make_file(draft / "drafts" / "a.json");
        Outcome o = remove_paths({draft});
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{33, 66, 100, 100});
        CHECK_FALSE(exists_no_follow(draft));
        CHECK(fsys::exists(roots.appdata / "canary.txt"));
    }

    TEST_CASE("a refused path counts nothing and is left as it was while the others go on") {
        TempDir tmp;
        FakeProtectedRoots roots(tmp / "sys");
        make_file(tmp / "data" / "f");
        const fsys::path ini = roots.windows / "win.ini";
        make_file(ini);
        set_readonly(ini);
        Outcome o = remove_paths({roots.home, ini, tmp / "data"});
        CHECK(o.lines().size() == 2);
        CHECK(o.progress == std::vector<int>{50, 100, 100});
        CHECK_FALSE(exists_no_follow(tmp / "data"));
        CHECK(fsys::exists(roots.home / "canary.txt"));
        // A refused file is left as it was, read-only included.
        CHECK((fsys::status(ini).permissions() & fsys::perms::owner_write) == fsys::perms::none);
    }

    TEST_CASE("a relative path is refused, whatever the current folder holds") {
        TempDir tmp;
        make_file(tmp / "victim" / "canary.txt");
        const fsys::path saved = fsys::current_path();
        fsys::current_path(tmp.path());
        Outcome o = remove_paths({fsys::path("victim")});
        fsys::current_path(saved);
        CHECK(o.output == kRefused + "victim (" + kNotAbsolute + ")\n");
        CHECK(o.progress == std::vector<int>{100});
        CHECK(fsys::exists(tmp / "victim" / "canary.txt"));
    }

    TEST_CASE("each rule reaches as far as it should, by identity or, where missing, spelling") {
        TempDir tmp;
        FakeProtectedRoots roots(tmp / "sys");
        for (const fsys::path& dir :
             {roots.windows / "System32" / "drivers", roots.program_files / "OtherApp",
              roots.program_files / "VeltaAI" / "models", roots.appdata / "VeltaAI" / "models",
              roots.home / ".ssh", roots.home / "VeltaAI", roots.appdata / "Microsoft",
              roots.localappdata / "Programs", roots.localappdata / "veltaai",
              roots.onedrive / "Documents", roots.home / ".config" / "OtherApp"})
            fsys::create_directories(dir);
        auto child_of = [](const NativeString& folder) {
            return kChild + removal::to_utf8(folder) + u8" 中其他程序或其他用户的文件夹";
        };
        const std::string inside = kInside + u8(roots.windows) + u8" 内";
        const std::string child = child_of(roots.program_files);
        // A stale variable leaves the folder it should name protected.
        const NativeString real_profile = removal::known_folder(removal::Known::Profile);
        REQUIRE_FALSE(real_profile.empty());
#ifdef _WIN32
        const bool programs_known =
            !removal::known_folder(removal::Known::UserProgramFiles).empty();
        fsys::create_directories(roots.localappdata / "Programs" / "OtherApp");
#endif
        const std::vector<std::pair<fsys::path, std::string>> rows = {
            {roots.windows / "System32", inside},
            {roots.windows / "System32" / "drivers", inside},
            {roots.windows / "Missing" / "x", inside},
            {roots.program_files / "OtherApp", child},
            {roots.program_files / "Missing", child},
            {roots.program_files / "VeltaAI" / "models", ""}, // deeper inside is allowed
            {roots.appdata / "VeltaAI", ""},
            // Other programs' data in the user's folders; ours (any case) stays removable.
            {roots.home / ".ssh", child_of(roots.home)},
            {roots.home / "VeltaAI", ""},
            {roots.appdata / "Microsoft", child_of(roots.appdata)},
            {roots.appdata / "Missing", child_of(roots.appdata)},
            {roots.appdata / "VeltaAI" / "models", ""},
            {roots.localappdata / "veltaai", ""},
            {roots.onedrive / "Documents", child_of(roots.onedrive)},
            {roots.onedrive / "VELTAAI", ""},
            {fsys::path(real_profile) / ".ssh", child_of(real_profile)},
#ifdef _WIN32
            // Where Windows does not know the per-user programs folder (Wine
            // does not), its documented place is protected.
            {roots.localappdata / "Programs",
             programs_known ? child_of(roots.localappdata)
                            : kProtected + u8(roots.localappdata / "Programs")},
            {roots.localappdata / "Programs" / "OtherApp",
             programs_known ? "" : child_of((roots.localappdata / "Programs").native())},
#else
            {roots.localappdata / "Programs", child_of(roots.localappdata)},
#endif
#ifdef _WIN32
            {fsys::path(removal::known_folder(removal::Known::RoamingAppData)) / "SomeBrowser",
             child_of(removal::known_folder(removal::Known::RoamingAppData))},
            // Other spellings of the same folders: a short name and letter case.
            {[&] {
                 wchar_t shortName[MAX_PATH] = L"";
                 GetShortPathNameW((roots.program_files / "OtherApp").c_str(), shortName, MAX_PATH);
                 CHECK(std::wstring(shortName).find(L'~') != std::wstring::npos);
                 return fsys::path(shortName);
             }(),
             child},
            {[&] {
                 std::wstring upper = (roots.windows / "System32").native();
                 CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
                 return fsys::path(upper);
             }(),
             inside},
#else
            // The XDG folders by default, below the home folder.
            {roots.home / ".config" / "OtherApp", child_of((roots.home / ".config").native())},
            {roots.home / ".cache" / "VeltaAI", ""},
            // Reached through a link to a folder above them.
            {[&] {
                 fsys::create_directory_symlink(tmp / "sys", tmp / "alias");
                 return tmp / "alias" / "Program Files" / "OtherApp";
             }(),
             child},
#endif
        };
        const std::vector<removal::Protected> guarded = removal::protected_folders();
        for (const auto& row : rows) {
            const std::string& expected = row.second;
            CAPTURE(u8(row.first));
            std::string why = refusal_reason(row.first.native(), guarded);
            CHECK(why.substr(0, expected.size()) == expected);
            CHECK(why.empty() == expected.empty());
        }
    }

    TEST_CASE("lexical table") {
#ifdef _WIN32
        for (const wchar_t* path :
             {L"C:\\", L"C:", L"D:", L"d:\\", L"C:/", L"C:\\.", L"C:\\x\\..", L"C:\\..\\..",
              L"\\\\server\\share", L"\\\\server\\share\\", L"//server/share/", L"\\\\server",
              L"\\\\?\\C:\\", L"\\\\?\\UNC\\server\\share", L"\\\\.\\C:\\",
              L"\\\\?\\unc\\server\\share\\x\\..",
              L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\",
              L"\\\\?\\volume{01234567-89ab-cdef-0123-456789abcdef}"}) {
            CAPTURE(removal::to_utf8(path));
            CHECK(reason(path) == kRoot);
        }
        for (const wchar_t* path :
             {L"\\\\.\\PhysicalDrive0", L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x",
              L"\\\\?\\Volume{0123}\\x", L"\\\\?\\C:relative", L"\\\\?\\"}) {
            CAPTURE(removal::to_utf8(path));
            CHECK(reason(path) == kDevice);
        }
        for (const wchar_t* path :
             {L"", L"relative", L"C:relative", L"\\rooted", L".\\x", L"..\\x"}) {
            CAPTURE(removal::to_utf8(path));
            CHECK(reason(path) == kNotAbsolute);
        }
        const std::wstring volume = L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}";
        for (const std::wstring& path :
             {volume + L"\\Fake\\Home", volume + L"\\Fake",
              std::wstring(L"\\\\?\\VOLUME{01234567-89AB-CDEF-0123-456789ABCDEF}\\fake\\home\\")}) {
            CAPTURE(removal::to_utf8(path));
            CHECK(reason(path, {volume + L"\\Fake\\Home"}) ==
                  kProtected + removal::to_utf8(volume) + "\\Fake\\Home");
        }
        CHECK(reason(volume + L"\\Fake\\Home\\x", {volume + L"\\Fake\\Home"}).empty());
        CHECK(reason(L"C:\\Fake\\Home", {volume + L"\\Fake\\Home"}).empty());

        const std::vector<std::wstring> guarded = {L"C:\\Fake\\Home"};
        for (const wchar_t* path :
             {L"C:\\Fake\\Home", L"c:\\fake\\HOME", L"C:/Fake/Home/", L"C:\\Fake\\Home.",
              L"C:\\Fake\\Home \\", L"C:\\Fake", L"C:\\Fake\\Home\\x\\..", L"\\\\?\\C:\\FAKE"}) {
            CAPTURE(removal::to_utf8(path));
            CHECK(reason(path, guarded) == kProtected + "C:\\Fake\\Home");
        }
        for (const wchar_t* path : {L"C:\\Fake\\Homer", L"C:\\Fake\\Home\\AppData",
                                    L"D:\\Fake\\Home", L"\\\\server\\share\\Fake\\Home"})
            CHECK(reason(path, guarded).empty());
#else
        for (const char* path : {"/", "//", "///", "/.", "/..", "/x/..", "/x/../..", "/./"}) {
            CAPTURE(path);
            CHECK(reason(path) == kRoot);
        }
        for (const char* path : {"", "relative", "./x", "../x", "~"}) {
            CAPTURE(path);
            CHECK(reason(path) == kNotAbsolute);
        }
        const std::vector<std::string> guarded = {"/fake/home"};
        for (const char* path : {"/fake/home", "/fake/home/", "//fake//home", "/fake/./home",
                                 "/fake", "/fake/home/x/..", "/other/../fake"}) {
            CAPTURE(path);
            CHECK(reason(path, guarded) == kProtected + "/fake/home");
        }
        for (const char* path : {"/fake/homer", "/fake/home/.cache", "/Fake/Home", "/fake/ho"})
            CHECK(reason(path, guarded).empty());

        TempDir tmp;
        fsys::create_directory_symlink("/", tmp / "to-root");
        CHECK(reason((tmp / "to-root").native()) == kRoot);
#endif
    }
}
