// End-to-end tests of VeltaAI.exe: --relaunch with --wait-pid=, waiting for an
// earlier process before the start.
#include "test_support.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <functional>

using namespace velta_test;

namespace {

// An earlier stand-in, started directly, that lives `ms`.
Process StartEarlier(const TempInstall& inst, DWORD ms, const std::wstring& name) {
    SetStandIn(inst.file(name), ms);
    Process p = Start(inst.bin() + L"\\VeltaApp.exe", L"");
    Record r;
    REQUIRE(ReadRecord(inst.file(name), r, kWait)); // it runs now
    return p;
}

// Starts the launcher with args(pid of an earlier process living `earlier_ms`) and
// returns how the stand-in's start relates to the earlier process: true if the
// earlier one had ended (then *gap_ms is the time between its end and the
// stand-in's creation).
bool WaitedForEarlier(const std::wstring& tag, DWORD earlier_ms,
                      const std::function<std::wstring(DWORD)>& args, long long* gap_ms = nullptr) {
    TempInstall inst(tag);
    REQUIRE(inst.ok());
    Process earlier = StartEarlier(inst, earlier_ms, L"earlier.txt");
    std::wstring rec = inst.file(L"record.txt");
    SetStandIn(rec, 0);
    Process launcher = Start(inst.launcher(), args(earlier.pid));
    REQUIRE(launcher);
    Record r;
    REQUIRE(ReadRecord(rec, r, kWait + earlier_ms));
    bool ended = !earlier.Running();
    if (ended && gap_ms) {
        Record end;
        REQUIRE(ReadRecord(inst.file(L"earlier.txt.end"), end, 0));
        *gap_ms = (RecordTime(r, L"created_us") - RecordTime(end, L"end_us")) / 1000;
    }
    CHECK(launcher.WaitExit(kWait) == 0);
    return ended;
}

// Milliseconds between the launcher showing its splash and creating the main
// application, the stretch that holds only the wait for an earlier process and the
// pause after it. The creation time, unlike the stand-in's own start, leaves out
// how long a new process takes to load; the launcher stays in bin too briefly for
// a poll to see it there reliably.
long long PauseBeforeStartMs(const TempInstall& inst, const std::wstring& args) {
    std::wstring rec = inst.file(L"pause.txt");
    DeleteFileW(LongPath(rec).c_str()); // the previous run's
    SetStandIn(rec, 0);
    Process launcher = Start(inst.launcher(), args);
    REQUIRE(launcher);
    long long shown = -1;
    ULONGLONG until = GetTickCount64() + kWait;
    while (shown < 0 && GetTickCount64() < until) {
        HWND splash = FindWindowOf(launcher.pid, L"TransparentWindow", nullptr, 0);
        if (splash && IsWindowVisible(splash))
            shown = NowMicros();
        else
            Sleep(1);
    }
    REQUIRE(shown >= 0);
    Record r;
    REQUIRE(ReadRecord(rec, r, kWait));
    CHECK(launcher.WaitExit(kWait) == 0);
    return (RecordTime(r, L"created_us") - shown) / 1000;
}

long long MedianPauseMs(const TempInstall& inst, const std::wstring& args) {
    long long runs[3];
    for (long long& ms : runs)
        ms = PauseBeforeStartMs(inst, args);
    std::sort(runs, runs + 3);
    return runs[1];
}

// Starts the launcher with "--relaunch --wait-pid=" suspended, so that the id can
// be chosen once the launcher exists; ResumeWaitingFor writes it in before the
// launcher reads its command line.
const wchar_t kPidPlaceholder[] = L"0000000000";

Process StartSuspendedWithWaitPid(const TempInstall& inst) {
    return Start(inst.launcher(), std::wstring(L"--relaunch --wait-pid=") + kPidPlaceholder,
                 CREATE_SUSPENDED);
}

bool ResumeWaitingFor(const Process& launcher, DWORD pid) {
    wchar_t id[11];
    wsprintfW(id, L"%010lu", pid);
    if (!PatchCommandLine(launcher.handle.get(), kPidPlaceholder, id))
        return false;
    ResumeThread(launcher.thread.get());
    return true;
}

DWORD GonePid(const TempInstall& inst) {
    SetStandIn(L"", 0);
    Process p = Start(inst.bin() + L"\\VeltaApp.exe", L"");
    REQUIRE(p);
    REQUIRE(p.WaitExit(kWait) == 0);
    return p.pid;
}

} // namespace

TEST_SUITE("options") {
    TEST_CASE(
        "--relaunch in any case with --wait-pid= waits for the earlier process, then pauses") {
        long long gap_ms = -1;
        CHECK(WaitedForEarlier(
            L"wait", 2500,
            [](DWORD pid) { return L"--RELAUNCH --wait-pid=" + std::to_wstring(pid); }, &gap_ms));
        MESSAGE("stand-in created " << gap_ms << " ms after the earlier process ended");
        CHECK(gap_ms >= 180); // the 200 ms pause, less timer granularity
    }

    TEST_CASE("the --wait-pid= prefix is case-sensitive") {
        CHECK_FALSE(WaitedForEarlier(L"case", 15000, [](DWORD pid) {
            return L"--relaunch --WAIT-PID=" + std::to_wstring(pid);
        }));
    }

    TEST_CASE("--wait-pid= without --relaunch waits for nothing") {
        CHECK_FALSE(WaitedForEarlier(
            L"norelaunch", 15000, [](DWORD pid) { return L"--wait-pid=" + std::to_wstring(pid); }));
    }

    TEST_CASE("the last --wait-pid= wins") {
        CHECK(WaitedForEarlier(L"last", 2500, [](DWORD pid) {
            return L"--wait-pid=5 --wait-pid=" + std::to_wstring(pid) + L" --relaunch";
        }));
        CHECK_FALSE(WaitedForEarlier(L"lastabc", 15000, [](DWORD pid) {
            return L"--relaunch --wait-pid=" + std::to_wstring(pid) + L" --wait-pid=abc";
        }));
    }

    TEST_CASE("a process that does not exist is not waited for, but the pause still follows") {
        TempInstall inst(L"gone");
        REQUIRE(inst.ok());
        DWORD gone = GonePid(inst);
        long long plain = MedianPauseMs(inst, L"--relaunch --wait-pid=abc");
        long long paused = MedianPauseMs(inst, L"--relaunch --wait-pid=" + std::to_wstring(gone));
        MESSAGE("splash shown to main application created: id 0 "
                << plain << " ms, id without process " << paused << " ms");
        // The pause is the difference (less timer granularity); far less than
        // 5 s shows that nothing was waited for on top of it.
        CHECK(paused - plain >= 150);
        CHECK(paused - plain < 5000);
    }
}

TEST_SUITE("mends") {
    // A process younger than the launcher holds a reused id: the earlier instance is gone.
    TEST_CASE("--relaunch --wait-pid= waits neither for the launcher nor a younger process") {
        TempInstall inst(L"notolder");
        REQUIRE(inst.ok());
        for (bool self : {true, false}) {
            CAPTURE(self);
            std::wstring rec = inst.file(self ? L"self.txt" : L"younger.txt");
            SetStandIn(rec, 0);
            Process launcher = StartSuspendedWithWaitPid(inst);
            REQUIRE(launcher);
            Process younger;
            if (!self) {
                Sleep(20); // creation times may be as coarse as a clock tick
                younger = StartEarlier(inst, 60000, L"younger-standin.txt");
            }
            REQUIRE(ResumeWaitingFor(launcher, self ? launcher.pid : younger.pid));

            Record r;
            REQUIRE(ReadRecord(rec, r, kWait));
            CHECK(r[L"arg1"] == std::to_wstring(launcher.pid));
            CHECK((self || younger.Running()));
            CHECK(launcher.WaitExit(kWait) == 0);
        }
    }

    TEST_CASE("while waiting the launcher answers messages and hides its splash on time") {
        TempInstall inst(L"answer");
        REQUIRE(inst.ok());
        // Long enough that the 20 s timer runs out well inside the wait, on a
        // loaded machine too.
        const DWORD earlier_ms = 30000;
        Process earlier = StartEarlier(inst, earlier_ms, L"earlier.txt");
        std::wstring rec = inst.file(L"record.txt");
        SetStandIn(rec, 0);
        Process launcher =
            Start(inst.launcher(), L"--relaunch --wait-pid=" + std::to_wstring(earlier.pid));
        REQUIRE(launcher);
        HWND splash = FindWindowOf(launcher.pid, L"TransparentWindow", nullptr, kWait);
        REQUIRE(splash);

        // Past the 5 s after which a thread that takes no messages counts as hung.
        Sleep(6000);
        DWORD_PTR result = 0;
        CHECK(SendMessageTimeoutW(splash, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0);

        // The timer hides the splash while the earlier process still runs.
        ULONGLONG until = GetTickCount64() + earlier_ms + kWait;
        while (IsWindowVisible(splash) && GetTickCount64() < until)
            Sleep(50);
        CHECK_FALSE(IsWindowVisible(splash));
        CHECK(earlier.Running());
        CHECK_FALSE(FileExists(rec));

        // The main application starts only once the earlier process has ended.
        Record r, end;
        REQUIRE(ReadRecord(rec, r, earlier_ms + kWait));
        REQUIRE(ReadRecord(inst.file(L"earlier.txt.end"), end, 0));
        CHECK(RecordTime(r, L"start_us") > RecordTime(end, L"end_us"));
        CHECK(launcher.WaitExit(kWait) == 0);
    }
}
