// VeltaAI.exe: shows the splash, starts bin\VeltaApp.exe with our process id and
// lives exactly as long as that process does.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
// wsprintfW stays in use where its 1024-unit limit is met by construction.
#define STRSAFE_NO_DEPRECATE
#include <strsafe.h>

#include "common/gdiplus_owners.h"
#include "common/win32_dll_search.h"
#include "common/win32_exe_folder.h"
#include "common/win32_owners.h"

namespace {

HWND g_hMain = nullptr;    // the splash window
HANDLE g_hChild = nullptr; // the main application's process; the watcher closes it

const UINT_PTR kSplashTimer = 1;
const UINT kSplashMillis = 20000;
// After an earlier instance has ended, a moment for it to let go of what it held.
const DWORD kRelaunchPauseMillis = 200;
const wchar_t kSplashSuffix[] = L"\\bin\\assets\\splash.png";
const wchar_t kPathTooLong[] =
    L"安装路径过长，无法启动 VeltaApp.exe。\n请将程序安装到路径较短的文件夹中。";

struct Options {
    bool relaunch = false;
    DWORD waitPid = 0;
};

Options ReadOptions() {
    Options opt;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return opt;
    for (int i = 1; i < argc; ++i) {
        if (lstrcmpiW(argv[i], L"--relaunch") == 0)
            opt.relaunch = true;
        else if (wcsncmp(argv[i], L"--wait-pid=", 11) == 0)
            opt.waitPid = static_cast<DWORD>(_wtoi(argv[i] + 11));
    }
    LocalFree(argv);
    return opt;
}

// The launcher folder must leave room for the longest path formed from it, the
// splash image; every other path is shorter. A truncated module path fails too.
bool GetLauncherFolder(wchar_t (&folder)[MAX_PATH]) {
    return ExeFolder(folder, MAX_PATH) && wcslen(folder) + wcslen(kSplashSuffix) < MAX_PATH;
}

// Process ids are reused quickly: a process created after us cannot be the
// earlier instance that asked for this start. When the times cannot be read,
// the process is waited for, as any other.
bool CreatedAfterUs(HANDLE process) {
    FILETIME theirs, ours, unused;
    if (!GetProcessTimes(process, &theirs, &unused, &unused, &unused) ||
        !GetProcessTimes(GetCurrentProcess(), &ours, &unused, &unused, &unused))
        return false;
    return CompareFileTime(&theirs, &ours) > 0;
}

// Dispatches every message until `handle` is signalled, so that the splash
// stays responsive and its timer fires on time however long the wait lasts.
// A WM_QUIT met meanwhile (the splash destroyed) is not lost: the caller sees
// that the window is gone.
void DispatchUntilSignalled(HANDLE handle) {
    while (MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
           WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void WaitOldProcessIfNeeded(DWORD pid) {
    // Waiting on ourselves would never end.
    if (pid == 0 || pid == GetCurrentProcessId())
        return;
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process || CreatedAfterUs(process.get()))
        return;
    // Our thread owns the topmost splash: senders (broadcasts among them) would
    // stall on it, and its timer must hide it after 20 s even while an earlier
    // instance hangs, so every message is dispatched meanwhile.
    DispatchUntilSignalled(process.get());
}

// The watcher thread: its parameter is the main application's process, g_hChild.
DWORD WINAPI WatchChildProc(LPVOID child) {
    if (!child)
        return 0;
    WaitForSingleObject(child, INFINITE);
    if (g_hMain && IsWindow(g_hMain))
        PostMessageW(g_hMain, WM_CLOSE, 0, 0);
    CloseHandle(child);
    g_hChild = nullptr;
    return 0;
}

// Used when there is no splash window or no watcher thread: nothing would end the
// message loop then, so the main thread itself waits for the main application,
// still dispatching messages so that the splash timer works.
void WaitChildOnMainThread() {
    DispatchUntilSignalled(g_hChild);
    CloseHandle(g_hChild);
    g_hChild = nullptr;
    if (g_hMain && IsWindow(g_hMain))
        DestroyWindow(g_hMain);
}

void ShowError(const wchar_t* text) {
    if (g_hMain)
        ShowWindow(g_hMain, SW_HIDE);
    MessageBoxW(nullptr, text, L"Error", MB_ICONERROR | MB_OK);
}

// Enters the bin folder and starts the main application there with our process id.
// Returns the message to show on failure, else null with the process in *process.
const wchar_t* StartMainApplication(const wchar_t* folder, wchar_t (&text)[1024], HANDLE* process) {
    wchar_t binDir[MAX_PATH];
    StringCchPrintfW(binDir, MAX_PATH, L"%s\\bin", folder);
    if (!SetCurrentDirectoryW(binDir)) {
        wsprintfW(text, L"无法切换目录到:\n%s\n错误代码: %lu", binDir, GetLastError());
        return text;
    }
    if (GetFileAttributesW(L"VeltaApp.exe") == INVALID_FILE_ATTRIBUTES)
        return L"在运行目录中找不到VeltaApp.exe，请检查是否被杀毒误报拦截。";

    wchar_t exe[MAX_PATH];
    StringCchPrintfW(exe, MAX_PATH, L"%s\\VeltaApp.exe", binDir);
    wchar_t pid[16];
    wsprintfW(pid, L"%d", GetCurrentProcessId());
    // The shell shows no box of its own (ours follows a failure) and returns
    // only once the start has completed.
    SHELLEXECUTEINFOW sei = {};
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    sei.lpFile = exe;
    sei.lpParameters = pid;
    sei.lpDirectory = binDir;
    sei.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&sei) || !sei.hProcess)
        return L"启动 VeltaApp.exe 失败。";
    *process = sei.hProcess;
    return nullptr;
}

} // namespace

void InitLayeredWindow(HWND hwnd, HINSTANCE, const wchar_t* folder) {
    using namespace Gdiplus::DllExports;
    wchar_t path[MAX_PATH];
    if (FAILED(StringCchPrintfW(path, MAX_PATH, L"%s%s", folder, kSplashSuffix)))
        return;
    // A missing or undecodable image leaves no bitmap and a size of 0: the window
    // gets no content and stays invisible.
    Gdiplus::GpBitmap* decoded = nullptr;
    GdipCreateBitmapFromFile(path, &decoded); // without embedded colour management
    GdipBitmap image(decoded);
    ScreenDc screen(GetDC(nullptr));
    MemDc mem(CreateCompatibleDC(screen.get()));

    HBITMAP raw = nullptr;
    GdipCreateHBITMAPFromBitmap(image.get(), &raw, 0); // background: transparent black
    UniqueBitmap bitmap(raw);
    ScopedSelectObject selected(mem.get(), bitmap.get());

    UINT width = 0, height = 0;
    GdipGetImageWidth(image.get(), &width);
    GdipGetImageHeight(image.get(), &height);
    SIZE size = {static_cast<LONG>(width), static_cast<LONG>(height)};
    POINT pos = {(GetSystemMetrics(SM_CXSCREEN) - size.cx) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - size.cy) / 2};
    POINT origin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UpdateLayeredWindow(hwnd, screen.get(), &pos, &size, mem.get(), &origin, 0, &blend, ULW_ALPHA);
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_TIMER:
        if (wParam == kSplashTimer)
            ShowWindow(hwnd, SW_HIDE);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

namespace {

// The splash window, its timer started; null when it cannot be created.
HWND CreateSplash(HINSTANCE instance) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = L"TransparentWindow";
    RegisterClassW(&wc);
    HWND hwnd =
        CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST, L"TransparentWindow",
                        L"Transparent Window", WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, 200, 200,
                        nullptr, nullptr, instance, nullptr);
    if (hwnd)
        SetTimer(hwnd, kSplashTimer, kSplashMillis, nullptr);
    return hwnd;
}

// Shows the splash, waits for an earlier instance when asked to, and starts
// the main application. Returns the message to show on failure, else null.
const wchar_t* Start(const Options& options, HINSTANCE instance, int showCmd,
                     wchar_t (&folder)[MAX_PATH], wchar_t (&text)[1024]) {
    if (!GetLauncherFolder(folder))
        return kPathTooLong;
    InitLayeredWindow(g_hMain, instance, folder);
    ShowWindow(g_hMain, showCmd);
    UpdateWindow(g_hMain);
    if (options.relaunch && options.waitPid != 0) {
        WaitOldProcessIfNeeded(options.waitPid);
        Sleep(kRelaunchPauseMillis);
    }
    return StartMainApplication(folder, text, &g_hChild);
}

// Hands the main application's process to the watcher thread. The thread's
// handle is closed at once: the launcher holds none of its own watcher.
bool StartWatcher() {
    UniqueHandle thread(CreateThread(nullptr, 0, WatchChildProc, g_hChild, 0, nullptr));
    return thread != nullptr;
}

// Lives until the main application ends: the watcher thread closes the splash
// then, which ends the message loop. Without a splash window or a watcher
// thread nothing would end the loop, so this thread waits itself.
void WaitForChild(const wchar_t* folder) {
    const bool watched = g_hMain && IsWindow(g_hMain) && StartWatcher();
    SetCurrentDirectoryW(folder);
    if (!watched) {
        WaitChildOnMainThread();
        return;
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCmd) {
    SearchSystem32Only();
    const Options options = ReadOptions();
    // The shell's start may use COM on this thread; its documentation asks for
    // an apartment without OLE1 DDE.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ScopedGdiPlus gdiplus;
    g_hMain = CreateSplash(instance);
    wchar_t folder[MAX_PATH];
    wchar_t text[1024];
    if (const wchar_t* error = Start(options, instance, showCmd, folder, text))
        ShowError(error);
    else
        WaitForChild(folder);
    if (SUCCEEDED(com))
        CoUninitialize();
    return 0;
}
