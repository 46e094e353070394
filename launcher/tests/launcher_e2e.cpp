// End-to-end tests of VeltaAI.exe: the real launcher is copied into temporary
// installation folders and started as a process; the stand-in VeltaApp.exe
// records how the launcher started it.
#include "support.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <functional>

using namespace velta_test;

namespace {

const DWORD kWait = 30000; // generous: Wine starts processes slowly on a busy machine

const wchar_t kMissingExe[] = L"在运行目录中找不到VeltaApp.exe，请检查是否被杀毒误报拦截。";
const wchar_t kStartFailed[] = L"启动 VeltaApp.exe 失败。";
const wchar_t kPathTooLong[] =
    L"安装路径过长，无法启动 VeltaApp.exe。\n请将程序安装到路径较短的文件夹中。";

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

std::string Narrow(const std::wstring& s) {
    return WideToUtf8(s);
}

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
    CHECK(Narrow(r[L"cwd"]) == Narrow(inst.bin()));
    CHECK(launcher.Running());

    Record end;
    REQUIRE(ReadRecord(rec + L".end", end, kWait));
    CHECK(launcher.WaitExit(kWait) == 0);
    long long lag_ms = (NowMicros() - RecordTime(end, L"end_us")) / 1000;
    MESSAGE("launcher ended " << lag_ms << " ms after the stand-in's last record");
    CHECK(lag_ms < 3000);
    return r;
}

// Expects the launcher to show exactly one error box with `text`, hide its splash,
// end with 0 once the box is closed, and start nothing.
void ExpectErrorBox(const TempInstall& inst, const std::wstring& args, const std::wstring& text) {
    std::wstring rec = inst.file(L"record.txt");
    SetStandIn(rec, 0);
    Process launcher = Start(inst.launcher(), args);
    REQUIRE(launcher);
    HWND box = FindMessageBox(launcher.pid, L"Error", kWait);
    REQUIRE(box);
    CHECK(Narrow(MessageText(box)) == Narrow(text));
    HWND splash = FindWindowOf(launcher.pid, L"TransparentWindow", nullptr, 0);
    CHECK((splash == nullptr || !IsWindowVisible(splash)));
    CHECK(launcher.Running()); // it waits for the box
    CloseBox(box);
    CHECK(launcher.WaitExit(kWait) == 0);
    CHECK_FALSE(FileExists(rec));
}

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
// earlier one had ended (then *gap_ms is the time between its end and the start).
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
        *gap_ms = (RecordTime(r, L"start_us") - RecordTime(end, L"end_us")) / 1000;
    }
    CHECK(launcher.WaitExit(kWait) == 0);
    return ended;
}

// Milliseconds between the launcher showing its splash and entering bin, the
// stretch that holds only the wait for an earlier process and the pause after it.
// Both are read from the launcher process itself, polled every millisecond.
long long PauseBeforeStartMs(const TempInstall& inst, const std::wstring& args) {
    SetStandIn(L"", 0);
    Process launcher = Start(inst.launcher(), args);
    REQUIRE(launcher);
    long long shown = -1, entered = -1;
    ULONGLONG until = GetTickCount64() + kWait;
    while (entered < 0 && GetTickCount64() < until) {
        if (shown < 0) {
            HWND splash = FindWindowOf(launcher.pid, L"TransparentWindow", nullptr, 0);
            if (splash && IsWindowVisible(splash))
                shown = NowMicros();
        } else if (SamePath(ReadCurrentDirectory(launcher.handle.get()), inst.bin())) {
            entered = NowMicros();
        }
        Sleep(1);
    }
    REQUIRE(shown >= 0);
    REQUIRE(entered >= 0);
    CHECK(launcher.WaitExit(kWait) == 0);
    return (entered - shown) / 1000;
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
        CHECK(Narrow(r[L"cwd"]) == Narrow(inst.bin()));

        // Meanwhile the launcher is back in its own folder, with its splash up.
        CHECK(Narrow(WaitCurrentDirectory(launcher, inst.path())) == Narrow(inst.path()));
        HWND splash =
            FindWindowOf(launcher.pid, L"TransparentWindow", L"Transparent Window", kWait);
        REQUIRE(splash);
        CHECK(IsWindowVisible(splash));
        LONG_PTR ex = GetWindowLongPtrW(splash, GWL_EXSTYLE);
        CHECK((ex & (WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST)) ==
              (WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST));
        CHECK(launcher.Running());

        Record end;
        REQUIRE(ReadRecord(rec + L".end", end, kWait));
        CHECK(launcher.WaitExit(kWait) == 0);
        long long lag_ms = (NowMicros() - RecordTime(end, L"end_us")) / 1000;
        MESSAGE("launcher ended " << lag_ms << " ms after the stand-in");
        CHECK(lag_ms < 3000);
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

TEST_SUITE("options") {
    TEST_CASE(
        "--relaunch in any case with --wait-pid= waits for the earlier process, then pauses") {
        long long gap_ms = -1;
        CHECK(WaitedForEarlier(
            L"wait", 2500,
            [](DWORD pid) { return L"--RELAUNCH --wait-pid=" + std::to_wstring(pid); }, &gap_ms));
        MESSAGE("stand-in started " << gap_ms << " ms after the earlier process ended");
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
        MESSAGE("splash shown to bin entered: id 0 " << plain << " ms, id without process "
                                                     << paused << " ms");
        CHECK(plain < 100);
        CHECK(paused >= 150);
        CHECK(paused < 5000);
    }
}

TEST_SUITE("errors") {
    TEST_CASE("a missing VeltaApp.exe is reported and nothing starts") {
        TempInstall inst(L"noexe");
        REQUIRE(inst.ok());
        REQUIRE(DeleteFileW(LongPath(inst.bin() + L"\\VeltaApp.exe").c_str()));
        ExpectErrorBox(inst, L"", kMissingExe);
    }

    TEST_CASE("a missing bin folder is reported with its path and the error code") {
        TempInstall inst(L"nobin");
        REQUIRE(inst.ok());
        REQUIRE(RemoveTree(inst.bin()));
        // The code is what entering that folder fails with here.
        wchar_t here[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, here);
        REQUIRE_FALSE(SetCurrentDirectoryW(inst.bin().c_str()));
        DWORD code = GetLastError();
        ExpectErrorBox(inst, L"",
                       L"无法切换目录到:\n" + inst.bin() + L"\n错误代码: " + std::to_wstring(code));
    }

    TEST_CASE("a VeltaApp.exe that cannot start is reported") {
        TempInstall inst(L"badexe");
        REQUIRE(inst.ok());
        HANDLE f = CreateFileW(LongPath(inst.bin() + L"\\VeltaApp.exe").c_str(), GENERIC_WRITE, 0,
                               nullptr, CREATE_ALWAYS, 0, nullptr);
        REQUIRE(f != INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(f, "not a program", 13, &written, nullptr);
        CloseHandle(f);

        SetStandIn(inst.file(L"record.txt"), 0);
        Process launcher = Start(inst.launcher(), L"");
        REQUIRE(launcher);
        // The shell may report the failure in a box of its own first.
        std::wstring text;
        for (int i = 0; i < 3 && text != kStartFailed; ++i) {
            HWND box = FindMessageBox(launcher.pid, nullptr, kWait);
            REQUIRE(box);
            text = MessageText(box);
            if (text != kStartFailed)
                MESSAGE("shell's own box: " << Narrow(text));
            CloseBox(box);
            for (int j = 0; j < 100 && IsWindow(box); ++j)
                Sleep(20);
        }
        CHECK(Narrow(text) == Narrow(kStartFailed));
        CHECK(launcher.WaitExit(kWait) == 0);
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

    TEST_CASE("a longer installation path is refused with a message") {
        TempInstall inst(L"toolong", 238);
        REQUIRE(inst.ok());
        REQUIRE(inst.path().size() == 238);
        ExpectErrorBox(inst, L"", kPathTooLong);
    }

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

    TEST_CASE("while waiting the launcher answers sent messages and keeps its timer for later") {
        TempInstall inst(L"answer");
        REQUIRE(inst.ok());
        Process earlier = StartEarlier(inst, 60000, L"earlier.txt");
        std::wstring rec = inst.file(L"record.txt");
        SetStandIn(rec, 3000);
        Process launcher =
            Start(inst.launcher(), L"--relaunch --wait-pid=" + std::to_wstring(earlier.pid));
        REQUIRE(launcher);
        HWND splash = FindWindowOf(launcher.pid, L"TransparentWindow", nullptr, kWait);
        REQUIRE(splash);
        ULONGLONG created = GetTickCount64(); // the timer runs from no later than this

        // Past the 5 s after which a thread that takes no messages counts as hung.
        Sleep(6000);
        DWORD_PTR result = 0;
        long long sent = NowMicros();
        LRESULT answered =
            SendMessageTimeoutW(splash, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
        MESSAGE("answered after " << (NowMicros() - sent) / 1000 << " ms");
        CHECK(answered != 0);
        CHECK(earlier.Running());

        // The timer runs out during the wait; the splash stays until the wait ends.
        while (GetTickCount64() < created + 21000)
            Sleep(100);
        CHECK(IsWindowVisible(splash));
        CHECK_FALSE(FileExists(rec));
        TerminateProcess(earlier.handle.get(), 0);
        Record r;
        REQUIRE(ReadRecord(rec, r, kWait));
        // Then the pending timer hides it while the main application runs.
        ULONGLONG until = GetTickCount64() + kWait;
        while (IsWindowVisible(splash) && GetTickCount64() < until)
            Sleep(20);
        CHECK(IsWindow(splash));
        CHECK_FALSE(IsWindowVisible(splash));
        CHECK(launcher.WaitExit(kWait) == 0);
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
