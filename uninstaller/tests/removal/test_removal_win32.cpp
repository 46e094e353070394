// Windows cases under real Windows semantics (Wine in the cross build).
#include "tests/removal/test_support.h"

#include "src/removal/guard.h"

#include "common/win32_owners.h"

#include <doctest/doctest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <windows.h>

namespace {

std::wstring long_form(const fsys::path& p) {
    return L"\\\\?\\" + p.native();
}

UniqueFile hold(const fsys::path& file, DWORD share) {
    return UniqueFile(
        CreateFileW(file.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

// Whether the system deletes with POSIX semantics (FileDispositionInfoEx):
// Windows 10 and later, and Wine from 10 on; Wine 8 has only the classic
// disposition. The cases below tell the two apart by what a reader of a
// deleted file sees, so each asserts the one its system must have taken.
bool posix_deletion() {
    using Version = const char*(__cdecl*)();
    const auto version = reinterpret_cast<Version>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"));
    MESSAGE("Wine " << std::string(version ? version() : "(none: Windows)"));
    return !version || std::atoi(version()) >= 10;
}

// What a reader's handle tells of its file after a removal: how many names
// the file has left, and its read-only attribute.
struct Seen {
    DWORD links;
    bool readonly;
};

Seen seen_by(HANDLE reader) {
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    REQUIRE(GetFileInformationByHandleEx(reader, FileStandardInfo, &standard, sizeof standard));
    REQUIRE(GetFileInformationByHandleEx(reader, FileBasicInfo, &basic, sizeof basic));
    return {standard.NumberOfLinks, (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0};
}

} // namespace

TEST_SUITE("win32") {
    TEST_CASE("a tree 300 folders deep is removed with every percentage") {
        TempDir tmp;
        const int levels = 300;
        make_chain(tmp / "deep", levels);
        const auto start = std::chrono::steady_clock::now();
        Outcome o = remove_paths({tmp / "deep"});
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        MESSAGE(levels << " levels: " << took.count() << " s");
        CHECK(o.output.empty());
        CHECK(o.progress == every_percentage());
        CHECK_FALSE(exists_no_follow(tmp / "deep"));
    }

    TEST_CASE("entries others hold are marked in place and their folder waits for them") {
        // Held with delete sharing; held by an attribute query alone, which an
        // exclusive open does not exclude; being deleted by another process.
        TempDir tmp;
        const fsys::path t = tmp / "t";
        for (const std::string kind : {"shared", "attributes", "pending"}) {
            CAPTURE(kind);
            make_file(t / "a" / "held.txt", "in use");
            make_file(t / "a" / "free.txt");
            const bool pending = kind == "pending";
            UniqueFile held(CreateFileW(
                (t / "a" / "held.txt").c_str(),
                kind == "attributes" ? FILE_READ_ATTRIBUTES : GENERIC_READ | (pending ? DELETE : 0),
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                nullptr));
            REQUIRE(held.get() != INVALID_HANDLE_VALUE);
            FILE_DISPOSITION_INFO mark{TRUE};
            REQUIRE((!pending || SetFileInformationByHandle(held.get(), FileDispositionInfo, &mark,
                                                            sizeof mark)));
            // Let go only once both files are handled: the folder must wait for it.
            std::atomic<bool> handled{false}, released{false};
            std::thread holder([&] {
                while (!handled)
                    Sleep(10);
                Sleep(100);
                released = true;
                held.reset();
            });
            bool outside = false; // anything but the listed folder beside it, at any step
            Outcome o = remove_paths({t}, [&](int value) {
                handled = handled || value == 50;
                for (const auto& e : fsys::directory_iterator(tmp.path()))
                    outside |= e.path() != t;
            });
            holder.join();
            CHECK(released);
            CHECK(o.output.empty());
            CHECK(o.progress == std::vector<int>{25, 50, 75, 100, 100});
            CHECK_FALSE(outside);
            CHECK_FALSE(exists_no_follow(t));
        }
    }

    TEST_CASE("an entry held past the wait loses its name at once (POSIX), or keeps it and its "
              "folder, which is reported (classic); the entry goes later") {
        const bool posix = posix_deletion();
        TempDir tmp;
        const fsys::path t = tmp / "t";
        make_file(t / "held.txt", "in use");
        UniqueFile held = hold(t / "held.txt", FILE_SHARE_READ | FILE_SHARE_DELETE);
        REQUIRE(held.get() != INVALID_HANDLE_VALUE);
        Outcome o = remove_paths({t});
        const Seen seen = seen_by(held.get());
        if (posix) {
            // The POSIX mark: the name went as the removal's handle closed;
            // the reader keeps the data of a file no folder lists.
            CHECK(seen.links == 0);
            CHECK(o.output.empty());
            CHECK_FALSE(exists_no_follow(t));
        } else {
            // The classic mark: the name stays until the last handle closes.
            CHECK(seen.links == 1);
            CHECK(o.lines() == std::vector<std::string>{kListedFailed + u8(t) + " (" +
                                                        system_text(ERROR_DIR_NOT_EMPTY) + ")"});
            CHECK(o.left == o.lines());
        }
        held.reset();
        CHECK_FALSE(exists_no_follow(t / "held.txt")); // marked where it was
        std::vector<fsys::path> beside;                // nothing was put beside the listed folder
        for (const auto& e : fsys::directory_iterator(tmp.path()))
            beside.push_back(e.path());
        CHECK(beside == (posix ? std::vector<fsys::path>{} : std::vector<fsys::path>{t}));
    }

    TEST_CASE("a read-only file keeps its attribute where the system ignores it in the mark "
              "(POSIX), and loses it just before a classic mark but where another name keeps "
              "the file") {
        const bool posix = posix_deletion();
        for (const bool linked : {false, true}) {
            CAPTURE(linked);
            TempDir tmp;
            fsys::path t = tmp / "t";
            make_file(t / "locked.txt", "read-only");
            set_readonly(t / "locked.txt");
            if (linked)
                REQUIRE(CreateHardLinkW((tmp / "other.txt").c_str(), (t / "locked.txt").c_str(),
                                        nullptr));
            UniqueFile held =
                hold(t / "locked.txt", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
            REQUIRE(held.get() != INVALID_HANDLE_VALUE);

            Outcome o = remove_paths({t});
            const Seen seen = seen_by(held.get());
            CHECK(seen.links == (posix ? 0u : 1u) + linked);
            CHECK(seen.readonly == (posix || linked));
            if (posix) {
                CHECK(o.output.empty());
                CHECK_FALSE(exists_no_follow(t));
            }
            held.reset();
        }
    }

    TEST_CASE("a file held open without delete sharing fails, and every folder above it") {
        TempDir tmp;
        fsys::path t = tmp / "t";
        make_file(t / "a" / "b" / "locked.txt", "in use");
        UniqueFile held(CreateFileW((t / "a" / "b" / "locked.txt").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
        REQUIRE(held.get() != INVALID_HANDLE_VALUE);

        Outcome o = remove_paths({t});
        const std::string not_empty = system_text(ERROR_DIR_NOT_EMPTY);
        CHECK(o.lines() ==
              std::vector<std::string>{kFileFailed + u8(t / "a" / "b" / "locked.txt") + " (" +
                                           system_text(ERROR_SHARING_VIOLATION) + ")",
                                       kDirFailed + u8(t / "a" / "b") + " (" + not_empty + ")",
                                       kDirFailed + u8(t / "a") + " (" + not_empty + ")",
                                       kListedFailed + u8(t) + " (" + not_empty + ")"});
        CHECK(o.progress == std::vector<int>{25, 50, 75, 100, 100});
        CHECK(o.ready == 1);
        CHECK(o.ready_last);
        held.reset();
        CHECK(fsys::exists(t / "a" / "b" / "locked.txt"));
    }

    TEST_CASE("a tree deeper than 260 characters is removed") {
        TempDir tmp;
        fsys::path t = tmp / "deep";
        fsys::path p = t;
        REQUIRE(CreateDirectoryW(long_form(p).c_str(), nullptr));
        for (int level = 0; level < 6; ++level) {
            p /= std::wstring(60, L'a' + level);
            REQUIRE(CreateDirectoryW(long_form(p).c_str(), nullptr));
        }
        p /= L"file.txt";
        UniqueFile file(
            CreateFileW(long_form(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        REQUIRE(file.get() != INVALID_HANDLE_VALUE);
        file.reset();
        REQUIRE(p.native().size() > 400);
        SetFileAttributesW(long_form(p).c_str(), FILE_ATTRIBUTE_READONLY);

        CHECK(removal::count_items(t.native()) == 7);
        Outcome o = remove_paths({t});
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{12, 25, 37, 50, 62, 75, 87, 100, 100});
        CHECK(GetFileAttributesW(long_form(t).c_str()) == INVALID_FILE_ATTRIBUTES);
    }

    TEST_CASE("a listed file that stays keeps its attributes") {
        TempDir tmp;
        fsys::path file = tmp / "file.txt";
        make_file(file);
        const DWORD attrs =
            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
        REQUIRE(SetFileAttributesW(file.c_str(), attrs));
        Outcome o = remove_paths({file});
        CHECK(o.lines().size() == 1); // a listed file stays and is reported
        CHECK(GetFileAttributesW(file.c_str()) == attrs);
    }

    TEST_CASE("forward slashes in the listed path are kept in the messages") {
        TempDir tmp;
        make_file(tmp / "t" / "f");
        std::wstring listed = (tmp / "t").native();
        for (wchar_t& c : listed)
            if (c == L'\\')
                c = L'/';
        CHECK(removal::count_items(listed) == 1);
        Outcome o = remove_paths({fsys::path(listed), fsys::path(listed)});
        CHECK(o.lines() ==
              std::vector<std::string>{kListedFailed + removal::to_utf8(listed) + " (" +
                                       system_text(ERROR_FILE_NOT_FOUND) + ")"});
        CHECK(o.progress == std::vector<int>{25, 50, 75, 100});
    }

    TEST_CASE("a name longer than 32,767 units is not opened, whatever it would wrap to") {
        // 16-bit byte counts would wrap the NT name of this path round to
        // exactly that of `victim`.
        TempDir tmp;
        const fsys::path victim = tmp / "victim";
        make_file(victim / "f");
        const std::wstring listed = long_form(victim) + L"\\" + std::wstring(32767, L'x');
        Outcome o = remove_paths({fsys::path(listed)});
        CHECK(o.lines() ==
              std::vector<std::string>{kListedFailed + removal::to_utf8(listed) + " (" +
                                       system_text(ERROR_FILENAME_EXCED_RANGE) + ")"});
        CHECK(o.progress == std::vector<int>{100});
        CHECK(fsys::exists(victim / "f"));
    }

    TEST_CASE("a path Windows opens as a device is refused, however it is spelled") {
        // Real folders of those names, made through \\?\ paths, stay.
        TempDir tmp;
        for (const wchar_t* name : {L"COM1", L"nul.txt", L"aux.tar.gz", L"CON "}) {
            CAPTURE(removal::to_utf8(name));
            const fsys::path folder = tmp.path() / name;
            REQUIRE(CreateDirectoryW(long_form(folder).c_str(), nullptr));
            Outcome o = remove_paths({folder});
            REQUIRE(o.lines().size() == 1);
            CHECK(o.lines()[0] == u8"拒绝删除: " + u8(folder) + u8" (是设备路径，不是文件夹)");
            CHECK(GetFileAttributesW(long_form(folder).c_str()) != INVALID_FILE_ATTRIBUTES);
            // By its \\?\ name it is the folder, and goes.
            CHECK(remove_paths({long_form(folder)}).output.empty());
            CHECK(GetFileAttributesW(long_form(folder).c_str()) == INVALID_FILE_ATTRIBUTES);
        }
    }

    TEST_CASE("a device path is refused without being opened") {
        // A pipe that a client opening it would connect to.
        const wchar_t name[] = L"\\\\.\\pipe\\velta-removal-test";
        UniqueFile pipe(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1,
                                         0, 0, 0, nullptr));
        REQUIRE(pipe.get() != INVALID_HANDLE_VALUE);
        Outcome o = remove_paths({fsys::path(name)});
        REQUIRE(o.lines().size() == 1);
        CHECK(o.lines()[0].find(u8"是设备路径") != std::string::npos);
        CHECK(refusal_reason(name, {}) == u8"是设备路径，不是文件夹");
        CHECK(removal::count_items(name) == 0);
        CHECK_FALSE(ConnectNamedPipe(pipe.get(), nullptr));
        CHECK(GetLastError() == ERROR_PIPE_LISTENING); // no client came
    }

    TEST_CASE("only name surrogates among reparse points are links") {
        struct Row {
            unsigned long attributes, tag;
            bool link;
        };
        const Row rows[] = {
            {0x10, 0, false},           // a plain folder
            {0x410, 0xA000000C, true},  // a symbolic link to a folder
            {0x400, 0xA000000C, true},  // a symbolic link to a file
            {0x410, 0xA0000003, true},  // a junction
            {0x410, 0x9000001A, false}, // a cloud-sync placeholder folder
            {0x400, 0x9000601A, false}, // a cloud-sync placeholder file
            {0x400, 0x80000013, false}, // a deduplicated file
            {0x400, 0x8000001B, false}, // an app execution alias
            {0x10, 0xA000000C, false},  // a tag without the reparse-point attribute
            {0x410, 0, true},           // a Linux symbolic link to a folder, as Wine lists it
        };
        for (const Row& row : rows) {
            CAPTURE(row.tag);
            CHECK(removal::fs::is_link_reparse(row.attributes, row.tag) == row.link);
        }
    }
}
