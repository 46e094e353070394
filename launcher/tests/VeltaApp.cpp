// Stand-in for the main application bin\VeltaApp.exe.
//
// Its only parameter must be the launcher's process id, so everything else comes
// from the environment, which it inherits through the launcher:
//   VELTA_STANDIN_RECORD    file to write the record to (nothing is written without it)
//   VELTA_STANDIN_DELAY_MS  how long to live after writing the record (default 0)
//   VELTA_STANDIN_WINDOW    if set, shows a small window with the record meanwhile,
//                           so that a person watching sees it start
// The record is UTF-8 "key=value" lines: pid, argc (parameters after the program),
// arg1.., cwd, cmdline, created_us, start_us. It is written to a temporary name and then renamed,
// so a reader never sees half of it. Just before exiting it writes RECORD.end with
// end_us. Times are QueryPerformanceCounter microseconds, comparable across processes.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "test_support.h"

namespace {

using velta_test::NowMicros;

long long Ticks(const FILETIME& t) {
    return static_cast<long long>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

// When this process was created, on the clock of start_us: how long a new process
// takes to load varies far more than the moment its creator starts it.
long long CreatedMicros() {
    FILETIME created, exited, kernel, user, now;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    GetSystemTimePreciseAsFileTime(&now);
    return NowMicros() - (Ticks(now) - Ticks(created)) / 10;
}

std::wstring GetEnv(const wchar_t* name) {
    wchar_t buf[32768];
    DWORD n = GetEnvironmentVariableW(name, buf, ARRAYSIZE(buf));
    return n > 0 && n < ARRAYSIZE(buf) ? std::wstring(buf, n) : std::wstring();
}

bool WriteFileAtomically(const std::wstring& path, const std::wstring& text) {
    std::wstring tmp = path + L".tmp";
    HANDLE file = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes = velta_test::WideToUtf8(text);
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Shows `text` in a plain window until `delay` has passed.
void ShowForAWhile(const std::wstring& text, DWORD delay) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"VeltaAppStandIn";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"VeltaApp (stand-in)",
                                WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 720, 220, nullptr,
                                nullptr, wc.hInstance, nullptr);
    CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE, 12, 12, 680, 160, hwnd,
                    nullptr, wc.hInstance, nullptr);
    UINT_PTR timer = SetTimer(nullptr, 0, delay ? delay : 1, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.wParam == timer)
            break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    DestroyWindow(hwnd);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    long long start = NowMicros();
    std::wstring record = GetEnv(L"VELTA_STANDIN_RECORD");
    DWORD delay = static_cast<DWORD>(_wtoi(GetEnv(L"VELTA_STANDIN_DELAY_MS").c_str()));

    if (!record.empty()) {
        wchar_t cwd[32768];
        DWORD n = GetCurrentDirectoryW(ARRAYSIZE(cwd), cwd);
        std::wstring text = L"pid=" + std::to_wstring(GetCurrentProcessId()) + L"\n";
        int argc = 0;
        LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
        text += L"argc=" + std::to_wstring(argv ? argc - 1 : -1) + L"\n";
        for (int i = 1; argv && i < argc; ++i)
            text += L"arg" + std::to_wstring(i) + L"=" + argv[i] + L"\n";
        LocalFree(argv);
        text += L"cwd=" + std::wstring(cwd, n < ARRAYSIZE(cwd) ? n : 0) + L"\n";
        text += L"cmdline=" + std::wstring(GetCommandLineW()) + L"\n";
        text += L"created_us=" + std::to_wstring(CreatedMicros()) + L"\n";
        text += L"start_us=" + std::to_wstring(start) + L"\n";
        WriteFileAtomically(record, text);
        if (!GetEnv(L"VELTA_STANDIN_WINDOW").empty()) {
            ShowForAWhile(L"VeltaApp stand-in started by the launcher.\n\n" + text, delay);
            delay = 0;
        }
    }
    Sleep(delay);
    if (!record.empty())
        WriteFileAtomically(record + L".end", L"end_us=" + std::to_wstring(NowMicros()) + L"\n");
    return 0;
}
