// Launcher overhead: time from ShellExecuteExW of VeltaAI.exe until the stand-in
// records its start, against ShellExecuteExW of the stand-in itself, made the way
// the launcher makes it. Runs alternate; prints medians, ratio and difference.
// Usage: launcher_bench [runs]   (default 15)
#include "support.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace velta_test;

namespace {

// Starts `file` through the shell and returns microseconds until the stand-in's
// record shows its start, or -1. Waits for the started process to end.
long long TimeShellStart(const TempInstall& inst, const wchar_t* file, const wchar_t* params,
                         int run) {
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
        return -1;
    UniqueHandle process(sei.hProcess);
    Record r;
    bool ok = ReadRecord(rec, r, 30000);
    WaitForSingleObject(process.get(), 30000);
    return ok ? RecordTime(r, L"start_us") - t0 : -1;
}

double MedianMs(std::vector<long long> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    double mid = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
    return mid / 1000.0;
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 15;
    if (runs < 1)
        runs = 15;
    TempInstall inst(L"bench");
    if (!inst.ok()) {
        fprintf(stderr, "cannot stage %ls\n", inst.path().c_str());
        return 1;
    }
    // The direct start runs where the launcher starts it: in bin, bare name, our pid.
    SetCurrentDirectoryW(inst.bin().c_str());
    wchar_t pid[16];
    wsprintfW(pid, L"%d", GetCurrentProcessId());
    std::wstring launcher = inst.launcher();

    TimeShellStart(inst, launcher.c_str(), nullptr, 0); // warm-up: caches, Wine's loader
    TimeShellStart(inst, L"VeltaApp.exe", pid, 1);
    std::vector<long long> via, direct;
    for (int i = 0; i < runs; ++i) {
        long long a = TimeShellStart(inst, launcher.c_str(), nullptr, 2 + 2 * i);
        long long b = TimeShellStart(inst, L"VeltaApp.exe", pid, 3 + 2 * i);
        if (a < 0 || b < 0) {
            fprintf(stderr, "run %d failed\n", i);
            return 1;
        }
        via.push_back(a);
        direct.push_back(b);
    }
    SetCurrentDirectoryW(L"C:\\"); // so that the staged folder can be removed

    double m_via = MedianMs(via), m_direct = MedianMs(direct);
    printf("runs: %d each, alternating\n", runs);
    printf("median start of VeltaApp.exe via VeltaAI.exe : %8.1f ms\n", m_via);
    printf("median start of VeltaApp.exe directly        : %8.1f ms\n", m_direct);
    printf("ratio (via launcher / direct)                : %8.2f\n", m_via / m_direct);
    printf("launcher overhead (difference)               : %8.1f ms\n", m_via - m_direct);

    HANDLE f = CreateFileW(launcher.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    LARGE_INTEGER size = {};
    GetFileSizeEx(f, &size);
    CloseHandle(f);
    printf("VeltaAI.exe size                             : %lld bytes\n", size.QuadPart);
    return 0;
}
