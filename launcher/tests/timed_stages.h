// Forced-include for a benchmark build of the launcher that notes when it reaches
// the stages of its start; the shipped launcher is built without it. The marks
// (microseconds of clock.h) are written as "key=value" lines to the file named
// by VELTA_TIMING right after the main application has been started:
//   main                   WinMain reads the command line
//   gdiplus, gdiplus_done  GdiplusStartup called, returned
//   decode, decode_done    the splash file opened, its GDI bitmap made
//   shell                  ShellExecuteExW called
#pragma once
#include "clock.h"

#include <windows.h>
#include <objidl.h>
#include <shellapi.h>
#include "common/gdiplus.h"

namespace timed_stages {

enum Mark { kMain, kGdiplus, kGdiplusDone, kDecode, kDecodeDone, kShell, kMarks };
const char* const kNames[kMarks] = {"main",   "gdiplus",     "gdiplus_done",
                                    "decode", "decode_done", "shell"};
long long marks[kMarks];

inline void Note(Mark m) {
    if (!marks[m])
        marks[m] = velta_test::NowMicros();
}

inline void Write() {
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"VELTA_TIMING", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    char text[512];
    int len = 0;
    for (int m = 0; m < kMarks; ++m)
        len += wsprintfA(text + len, "%s=%I64d\n", kNames[m], marks[m]);
    // No sharing: a reader sees the file only once it is complete.
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text, len, &written, nullptr);
    CloseHandle(file);
}

} // namespace timed_stages

inline LPWSTR TimedGetCommandLineW() {
    timed_stages::Note(timed_stages::kMain);
    return GetCommandLineW();
}

namespace Gdiplus {
inline Status TimedGdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                                  GdiplusStartupOutput* output) {
    timed_stages::Note(timed_stages::kGdiplus);
    Status status = GdiplusStartup(token, input, output);
    timed_stages::Note(timed_stages::kGdiplusDone);
    return status;
}
} // namespace Gdiplus

inline Gdiplus::GpStatus TimedGdipCreateBitmapFromFile(const WCHAR* path,
                                                       Gdiplus::GpBitmap** bitmap) {
    timed_stages::Note(timed_stages::kDecode);
    return Gdiplus::DllExports::GdipCreateBitmapFromFile(path, bitmap);
}

inline Gdiplus::GpStatus TimedGdipCreateHBITMAPFromBitmap(Gdiplus::GpBitmap* bitmap, HBITMAP* out,
                                                          Gdiplus::ARGB background) {
    Gdiplus::GpStatus status =
        Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(bitmap, out, background);
    timed_stages::Note(timed_stages::kDecodeDone);
    return status;
}

inline BOOL TimedShellExecuteExW(SHELLEXECUTEINFOW* info) {
    timed_stages::Note(timed_stages::kShell);
    BOOL ok = ShellExecuteExW(info);
    timed_stages::Write();
    return ok;
}

#define GetCommandLineW TimedGetCommandLineW
#define GdiplusStartup TimedGdiplusStartup
#define GdipCreateBitmapFromFile TimedGdipCreateBitmapFromFile
#define GdipCreateHBITMAPFromBitmap TimedGdipCreateHBITMAPFromBitmap
#define ShellExecuteExW TimedShellExecuteExW
