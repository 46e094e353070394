#include "test_support.h"

#include "common/win32_exe_folder.h"

#include <winternl.h>

#include <vector>

namespace velta_test {

std::wstring ExeDir() {
    wchar_t folder[MAX_PATH];
    return ExeFolder(folder, MAX_PATH) ? folder : L"";
}

std::wstring Utf8ToWide(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
    return out;
}

std::string WideToUtf8(const std::wstring& s) {
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

std::wstring LongPath(const std::wstring& path) {
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path : L"\\\\?\\" + path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveTree(const std::wstring& path) {
    std::wstring lp = LongPath(path);
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((lp + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(LongPath(child).c_str());
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    return RemoveDirectoryW(lp.c_str()) != 0;
}

static std::wstring TempRoot(const std::wstring& tag) {
    static int counter = 0;
    wchar_t tmp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, tmp);
    std::wstring dir(tmp, n);
    if (!dir.empty() && dir.back() == L'\\')
        dir.pop_back();
    return dir + L"\\velta-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

TempInstall::TempInstall(const std::wstring& tag, const std::wstring& launcher)
    : root_(TempRoot(tag)), path_(root_) {
    Populate(launcher);
}

TempInstall::TempInstall(const std::wstring& tag, size_t length, const std::wstring& launcher)
    : root_(TempRoot(tag)), path_(root_) {
    // Pad with folders of at most 200 characters until the path is `length` long;
    // the last folder needs at least one character after its backslash.
    size_t rem = length > path_.size() ? length - path_.size() : 0;
    while (rem >= 2) {
        size_t name = rem > 201 ? (rem - 201 < 2 ? 198 : 200) : rem - 1;
        path_ += L"\\" + std::wstring(name, L'p');
        rem -= name + 1;
    }
    Populate(launcher);
}

void TempInstall::Populate(const std::wstring& launcher) {
    std::wstring dir;
    size_t pos = 0;
    // Create every level of path_, the padding folders included.
    while ((pos = path_.find(L'\\', pos + 1)) != std::wstring::npos) {
        dir = path_.substr(0, pos);
        if (dir.size() > 3)
            CreateDirectoryW(LongPath(dir).c_str(), nullptr);
    }
    std::wstring src = ExeDir();
    ok_ = path_.size() > 0 && (CreateDirectoryW(LongPath(path_).c_str(), nullptr) ||
                               GetLastError() == ERROR_ALREADY_EXISTS);
    ok_ = ok_ && CreateDirectoryW(LongPath(bin()).c_str(), nullptr);
    ok_ = ok_ && CreateDirectoryW(LongPath(bin() + L"\\assets").c_str(), nullptr);
    ok_ = ok_ &&
          CopyFileW((src + L"\\" + launcher).c_str(), LongPath(this->launcher()).c_str(), TRUE);
    ok_ = ok_ && CopyFileW((src + L"\\VeltaApp.exe").c_str(),
                           LongPath(bin() + L"\\VeltaApp.exe").c_str(), TRUE);
    ok_ = ok_ && CopyFileW((src + L"\\assets\\splash.png").c_str(),
                           LongPath(bin() + L"\\assets\\splash.png").c_str(), TRUE);
}

TempInstall::~TempInstall() {
    // A launcher that has just ended may still hold its image briefly.
    for (int i = 0; i < 50 && !RemoveTree(root_); ++i)
        Sleep(100);
}

Process::~Process() {
    if (handle && Running()) {
        TerminateProcess(handle.get(), 1);
        WaitForSingleObject(handle.get(), 5000);
    }
}

bool Process::Running() const {
    return WaitForSingleObject(handle.get(), 0) == WAIT_TIMEOUT;
}

long long Process::WaitExit(DWORD timeout_ms) const {
    if (WaitForSingleObject(handle.get(), timeout_ms) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(handle.get(), &code);
    return code;
}

void SetStandIn(const std::wstring& record, DWORD delay_ms) {
    SetEnvironmentVariableW(L"VELTA_STANDIN_RECORD", record.c_str());
    SetEnvironmentVariableW(L"VELTA_STANDIN_DELAY_MS", std::to_wstring(delay_ms).c_str());
}

Process Start(const std::wstring& exe, const std::wstring& args, DWORD flags) {
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!args.empty())
        cmd += L" " + args;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    Process p;
    p.started_us = NowMicros();
    if (!CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &si, &pi))
        return p;
    p.handle.reset(pi.hProcess);
    p.thread.reset(pi.hThread);
    p.pid = pi.dwProcessId;
    return p;
}

bool ReadRecord(const std::wstring& path, Record& out, DWORD timeout_ms) {
    ULONGLONG until = GetTickCount64() + timeout_ms;
    for (;;) {
        UniqueFile file(CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        if (file) {
            std::string bytes(GetFileSize(file.get(), nullptr), '\0');
            DWORD read = 0;
            ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
            file.reset();
            std::wstring text = Utf8ToWide(bytes.substr(0, read));
            out.clear();
            size_t pos = 0;
            while (pos < text.size()) {
                size_t nl = text.find(L'\n', pos);
                std::wstring line = text.substr(pos, nl - pos);
                size_t eq = line.find(L'=');
                if (eq != std::wstring::npos)
                    out[line.substr(0, eq)] = line.substr(eq + 1);
                pos = nl == std::wstring::npos ? text.size() : nl + 1;
            }
            return true;
        }
        if (GetTickCount64() >= until)
            return false;
        Sleep(10);
    }
}

long long RecordTime(const Record& r, const wchar_t* key) {
    auto it = r.find(key);
    return it == r.end() ? -1 : _wtoi64(it->second.c_str());
}

namespace {
struct WindowQuery {
    DWORD pid;
    const wchar_t* cls;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM lParam) {
    auto* q = reinterpret_cast<WindowQuery*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != q->pid)
        return TRUE;
    wchar_t buf[256];
    if (q->cls && (!GetClassNameW(hwnd, buf, 256) || lstrcmpW(buf, q->cls) != 0))
        return TRUE;
    if (q->title && (GetWindowTextW(hwnd, buf, 256) < 0 || lstrcmpW(buf, q->title) != 0))
        return TRUE;
    q->found = hwnd;
    return FALSE;
}
} // namespace

HWND FindWindowOf(DWORD pid, const wchar_t* cls, const wchar_t* title, DWORD timeout_ms) {
    ULONGLONG until = GetTickCount64() + timeout_ms;
    for (;;) {
        WindowQuery q = {pid, cls, title, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&q));
        if (q.found || GetTickCount64() >= until)
            return q.found;
        Sleep(20);
    }
}

HWND FindMessageBox(DWORD pid, const wchar_t* caption, DWORD timeout_ms) {
    ULONGLONG until = GetTickCount64() + timeout_ms;
    for (;;) {
        HWND box = FindWindowOf(pid, L"#32770", caption, 0);
        if (box && IsWindowVisible(box) && !MessageText(box).empty())
            return box;
        if (GetTickCount64() >= until)
            return nullptr;
        Sleep(20);
    }
}

std::wstring MessageText(HWND box) {
    wchar_t buf[2048] = {};
    GetDlgItemTextW(box, 0xFFFF, buf, ARRAYSIZE(buf));
    return buf;
}

void CloseBox(HWND box) {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

// Offsets in the 64-bit PEB and RTL_USER_PROCESS_PARAMETERS.
namespace {
const size_t kPebProcessParameters = 0x20;
const size_t kParamsCurrentDirectory = 0x38;
const size_t kParamsCommandLine = 0x70;

struct RemoteString {
    USHORT length;
    USHORT max_length;
    ULONG pad;
    ULONG_PTR buffer;
};

bool ReadRemote(HANDLE process, ULONG_PTR addr, void* out, size_t size) {
    SIZE_T got = 0;
    return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(addr), out, size, &got) &&
           got == size;
}

bool RemoteParameterString(HANDLE process, size_t offset, RemoteString& s) {
    PROCESS_BASIC_INFORMATION pbi = {};
    ULONG len = 0;
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &pbi, sizeof(pbi), &len) != 0)
        return false;
    ULONG_PTR params = 0;
    return ReadRemote(process,
                      reinterpret_cast<ULONG_PTR>(pbi.PebBaseAddress) + kPebProcessParameters,
                      &params, sizeof(params)) &&
           params && ReadRemote(process, params + offset, &s, sizeof(s));
}
} // namespace

std::wstring ReadCurrentDirectory(HANDLE process) {
    RemoteString s;
    if (!RemoteParameterString(process, kParamsCurrentDirectory, s))
        return L"";
    std::wstring text(s.length / sizeof(wchar_t), L'\0');
    if (!ReadRemote(process, s.buffer, &text[0], s.length))
        return L"";
    if (text.size() > 3 && text.back() == L'\\')
        text.pop_back();
    return text;
}

bool PatchCommandLine(HANDLE process, const std::wstring& from, const std::wstring& to) {
    if (from.size() != to.size())
        return false;
    RemoteString s;
    if (!RemoteParameterString(process, kParamsCommandLine, s))
        return false;
    std::wstring text(s.length / sizeof(wchar_t), L'\0');
    if (!ReadRemote(process, s.buffer, &text[0], s.length))
        return false;
    size_t at = text.find(from);
    if (at == std::wstring::npos)
        return false;
    SIZE_T put = 0;
    return WriteProcessMemory(process, reinterpret_cast<LPVOID>(s.buffer + at * sizeof(wchar_t)),
                              to.data(), to.size() * sizeof(wchar_t), &put) &&
           put == to.size() * sizeof(wchar_t);
}

} // namespace velta_test
