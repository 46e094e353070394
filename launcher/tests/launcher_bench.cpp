// Launcher overhead: time from ShellExecuteExW of VeltaAI.exe until the stand-in
// records its start, against ShellExecuteExW of the stand-in itself, made the way
// the launcher makes it. A build of the same source that notes its stages
// (timed_stages.h) shows where the time goes. Runs alternate; prints medians.
// Usage: launcher_bench [runs]   (default 15)
#include "test_support.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace velta_test;

namespace {

// Starts `file` through the shell and returns the stand-in's record, with the
// moment of the call as "t0"; empty on failure. Waits for the started process to end.
Record ShellStart(const TempInstall& inst, const wchar_t* file, const wchar_t* params, int run) {
    std::wstring rec = inst.file(L"bench" + std::to_wstring(run) + L".txt");
    SetStandIn(rec, 0);
    SHELLEXECUTEINFOW sei = {};
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.lpFile = file;
    sei.lpParameters = params;
    sei.nShow = SW_SHOWNORMAL;
    long long t0 = NowMicros();
    if (!ShellExecuteExW(&sei) || !sei.hProcess)
        return Record();
    UniqueHandle process(sei.hProcess);
    Record r;
    bool ok = ReadRecord(rec, r, 30000);
    WaitForSingleObject(process.get(), 30000);
    if (!ok)
        return Record();
    r[L"t0"] = std::to_wstring(t0);
    return r;
}

// Microseconds from mark `from` to mark `to`, or -1.
long long Span(const Record& r, const wchar_t* from, const wchar_t* to) {
    long long a = RecordTime(r, from), b = RecordTime(r, to);
    return a > 0 && b > 0 ? b - a : -1;
}

double MedianMs(std::vector<long long> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    double mid = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
    return mid / 1000.0;
}

// The stages of a start via the launcher, as pairs of marks.
struct Stage {
    const char* name;
    const wchar_t* from;
    const wchar_t* to;
};
const Stage kStages[] = {
    {"process start (shell call to WinMain)      ", L"t0", L"main"},
    {"options                                    ", L"main", L"gdiplus"},
    {"GDI+ start-up (GdiplusStartup)             ", L"gdiplus", L"gdiplus_done"},
    {"window, timer, folder                      ", L"gdiplus_done", L"decode"},
    {"decoding the splash (file to GDI bitmap)   ", L"decode", L"decode_done"},
    {"applying, showing, entering bin, checks    ", L"decode_done", L"shell"},
    {"shell start of VeltaApp.exe                ", L"shell", L"start_us"},
    {"total                                      ", L"t0", L"start_us"},
};
const size_t kStageCount = sizeof(kStages) / sizeof(kStages[0]);

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 15;
    if (runs < 1)
        runs = 15;
    TempInstall inst(L"bench");
    TempInstall timed(L"bench-timed", L"VeltaAI_timed.exe");
    if (!inst.ok() || !timed.ok()) {
        fprintf(stderr, "cannot stage %ls or %ls\n", inst.path().c_str(), timed.path().c_str());
        return 1;
    }
    // The direct start runs where the launcher starts it: in bin, bare name, our pid.
    SetCurrentDirectoryW(inst.bin().c_str());
    wchar_t pid[16];
    wsprintfW(pid, L"%d", GetCurrentProcessId());
    std::wstring launcher = inst.launcher(), timedLauncher = timed.launcher();

    ShellStart(inst, launcher.c_str(), nullptr, 0); // warm-up: caches, Wine's loader
    ShellStart(inst, L"VeltaApp.exe", pid, 1);
    std::vector<long long> via, direct, stages[kStageCount];
    for (int i = 0; i < runs; ++i) {
        Record a = ShellStart(inst, launcher.c_str(), nullptr, 2 + 3 * i);
        Record b = ShellStart(inst, L"VeltaApp.exe", pid, 3 + 3 * i);
        std::wstring marks = timed.file(L"marks" + std::to_wstring(i) + L".txt");
        SetEnvironmentVariableW(L"VELTA_TIMING", marks.c_str());
        Record c = ShellStart(timed, timedLauncher.c_str(), nullptr, 4 + 3 * i);
        SetEnvironmentVariableW(L"VELTA_TIMING", nullptr);
        Record m;
        if (a.empty() || b.empty() || c.empty() || !ReadRecord(marks, m, 5000)) {
            fprintf(stderr, "run %d failed\n", i);
            return 1;
        }
        via.push_back(Span(a, L"t0", L"start_us"));
        direct.push_back(Span(b, L"t0", L"start_us"));
        m.insert(c.begin(), c.end());
        for (size_t s = 0; s < kStageCount; ++s)
            stages[s].push_back(Span(m, kStages[s].from, kStages[s].to));
    }
    SetCurrentDirectoryW(L"C:\\"); // so that the staged folders can be removed

    double m_via = MedianMs(via), m_direct = MedianMs(direct);
    printf("runs: %d each, alternating\n", runs);
    printf("median start of VeltaApp.exe via VeltaAI.exe : %8.1f ms\n", m_via);
    printf("median start of VeltaApp.exe directly        : %8.1f ms\n", m_direct);
    printf("ratio (via launcher / direct)                : %8.2f\n", m_via / m_direct);
    printf("launcher overhead (difference)               : %8.1f ms\n", m_via - m_direct);
    printf("where the time goes (build noting its stages, medians of each stage):\n");
    for (size_t s = 0; s < kStageCount; ++s)
        printf("  %s: %8.1f ms\n", kStages[s].name, MedianMs(stages[s]));
    return 0;
}
