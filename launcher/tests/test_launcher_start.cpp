// End-to-end tests of VeltaAI.exe: the real launcher is copied into temporary
// installation folders and started as a process; the stand-in VeltaApp.exe
// records how the launcher started it. Here: the start of the main
// application and the launcher's end with it.
#include "test_support.h"

#include <doctest/doctest.h>

using namespace velta_test;

namespace {

// Polls the launcher's current directory until it is `want` (it changes back
// right after the start, which may be after the stand-in's record).
std::wstring WaitCurrentDirectory(const Process& p, const std::wstring& want) {
    std::wstring cwd;
    for (int i = 0; i < 100; ++i) {
        cwd = ReadCurrentDirectory(p.handle.get());
        if (SamePath(cwd, want))
            break;
        Sleep(20);
    }
    return cwd;
}

// The launcher, running while the stand-in ran, ends with 0 once the stand-in
// has written its last record (within kWait, which leaves a loaded machine room).
void CheckEndsWithStandIn(const Process& launcher, const std::wstring& rec) {
    Record end;
    REQUIRE(ReadRecord(rec + L".end", end, kWait));
    CHECK(launcher.WaitExit(kWait) == 0);
    MESSAGE("launcher ended " << (NowMicros() - RecordTime(end, L"end_us")) / 1000
                              << " ms after the stand-in's last record");
}

// Runs the launcher in `inst` to its end with a stand-in that lives `delay_ms`,
// checking the start contract on the way. Returns the stand-in's record.
Record RunToEnd(const TempInstall& inst, const std::wstring& exe, const std::wstring& args,
                DWORD delay_ms) {
    std::wstring rec = inst.file(L"record.txt");
    SetStandIn(rec, delay_ms);
    Process launcher = Start(exe, args);
    REQUIRE(launcher);
    Record r;
    REQUIRE(ReadRecord(rec, r, kWait));
    CHECK(r[L"argc"] == L"1");
    CHECK(r[L"arg1"] == std::to_wstring(launcher.pid));
    CHECK(WideToUtf8(r[L"cwd"]) == WideToUtf8(inst.bin()));
    CHECK(launcher.Running());
    CheckEndsWithStandIn(launcher, rec);
    return r;
}

} // namespace

TEST_SUITE("start") {
    TEST_CASE("the main application gets only the launcher's pid and bin as its directory") {
        TempInstall inst(L"start");
        REQUIRE(inst.ok());
        std::wstring rec = inst.file(L"record.txt");
        SetStandIn(rec, 3000);
        // Arguments other than the two options are not passed on.
        Process launcher = Start(inst.launcher(), L"--unknown \"two words\" --relaunch");
        REQUIRE(launcher);
        Record r;
        REQUIRE(ReadRecord(rec, r, kWait));
        CHECK(r[L"argc"] == L"1");
        CHECK(r[L"arg1"] == std::to_wstring(launcher.pid));
        CHECK(WideToUtf8(r[L"cwd"]) == WideToUtf8(inst.bin()));

        // Meanwhile the launcher is back in its own folder, with its splash up.
        CHECK(WideToUtf8(WaitCurrentDirectory(launcher, inst.path())) == WideToUtf8(inst.path()));
        HWND splash =
            FindWindowOf(launcher.pid, L"TransparentWindow", L"Transparent Window", kWait);
        REQUIRE(splash);
        CHECK(IsWindowVisible(splash));
        LONG_PTR ex = GetWindowLongPtrW(splash, GWL_EXSTYLE);
        CHECK((ex & (WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST)) ==
              (WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST));
        CHECK(launcher.Running());
        CheckEndsWithStandIn(launcher, rec);
    }

    TEST_CASE("without a splash image the main application still starts") {
        TempInstall inst(L"nosplash");
        REQUIRE(inst.ok());
        REQUIRE(DeleteFileW(LongPath(inst.bin() + L"\\assets\\splash.png").c_str()));
        RunToEnd(inst, inst.launcher(), L"", 1000);
    }

    TEST_CASE("two launchers start two main applications") {
        TempInstall inst(L"twice");
        REQUIRE(inst.ok());
        SetStandIn(inst.file(L"first.txt"), 1500);
        Process first = Start(inst.launcher(), L"");
        SetStandIn(inst.file(L"second.txt"), 1500);
        Process second = Start(inst.launcher(), L"");
        Record a, b;
        REQUIRE(ReadRecord(inst.file(L"first.txt"), a, kWait));
        REQUIRE(ReadRecord(inst.file(L"second.txt"), b, kWait));
        CHECK(a[L"arg1"] == std::to_wstring(first.pid));
        CHECK(b[L"arg1"] == std::to_wstring(second.pid));
        CHECK(first.WaitExit(kWait) == 0);
        CHECK(second.WaitExit(kWait) == 0);
    }
}

TEST_SUITE("mends") {
    // The launcher folder must leave room for "\bin\assets\splash.png" (22) and
    // the terminator in 260 units: 237 characters is the longest it accepts.
    TEST_CASE("the longest installation path that fits still starts") {
        TempInstall inst(L"fits", 237);
        REQUIRE(inst.ok());
        REQUIRE(inst.path().size() == 237);
        RunToEnd(inst, inst.launcher(), L"", 500);
    }

    TEST_CASE("without a splash window the launcher still ends with the main application") {
        TempInstall inst(L"nowindow", L"VeltaAI_nowindow.exe");
        REQUIRE(inst.ok());
        RunToEnd(inst, inst.launcher(), L"", 1500);
    }

    TEST_CASE("without a watcher thread the launcher still ends with the main application") {
        TempInstall inst(L"nothread", L"VeltaAI_nothread.exe");
        REQUIRE(inst.ok());
        std::wstring rec = inst.file(L"record.txt");
        SetStandIn(rec, 1500);
        Process launcher = Start(inst.launcher(), L"");
        REQUIRE(launcher);
        Record r;
        REQUIRE(ReadRecord(rec, r, kWait));
        CHECK(r[L"arg1"] == std::to_wstring(launcher.pid));
        HWND splash = FindWindowOf(launcher.pid, L"TransparentWindow", nullptr, kWait);
        CHECK(splash);
        CHECK(launcher.WaitExit(kWait) == 0);
        CHECK_FALSE(IsWindow(splash));
    }
}
