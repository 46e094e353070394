// Helpers for the launcher's end-to-end tests and benchmark: real installation
// folders in the temp directory, real processes, the stand-in's records, and
// windows found by process id so that tests running side by side never mix.
#pragma once
#include "clock.h"

#include "common/win32_owners.h"

#include <windows.h>

#include <map>
#include <string>

namespace velta_test {

using Record = std::map<std::wstring, std::wstring>;

// How long a test waits for a launcher, a window or a record: generous, Wine
// starts processes slowly on a busy machine.
const DWORD kWait = 30000;

std::wstring ExeDir();
std::wstring Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::wstring& s);

// An installation folder below the temp directory: VeltaAI.exe (or a build
// variant copied under that name), bin\VeltaApp.exe, bin\assets\splash.png.
// The folder is removed again on destruction.
class TempInstall {
  public:
    explicit TempInstall(const std::wstring& tag, const std::wstring& launcher = L"VeltaAI.exe");
    // Exactly `length` characters long (padding folders below the temp directory).
    TempInstall(const std::wstring& tag, size_t length,
                const std::wstring& launcher = L"VeltaAI.exe");
    ~TempInstall();
    TempInstall(const TempInstall&) = delete;
    TempInstall& operator=(const TempInstall&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring bin() const { return path_ + L"\\bin"; }
    std::wstring launcher() const { return path_ + L"\\VeltaAI.exe"; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }
    bool ok() const { return ok_; }

  private:
    void Populate(const std::wstring& launcher);
    std::wstring root_; // what gets removed
    std::wstring path_;
    bool ok_ = false;
};

bool RemoveTree(const std::wstring& path);
std::wstring LongPath(const std::wstring& path);             // with the \\?\ prefix
bool SamePath(const std::wstring& a, const std::wstring& b); // without regard to case

// A started process; still running on destruction means the test failed, so it
// is terminated then rather than left behind.
struct Process {
    UniqueHandle handle;
    UniqueHandle thread;
    DWORD pid = 0;
    long long started_us = 0;
    Process() = default;
    Process(Process&&) = default;
    Process& operator=(Process&&) = default;
    ~Process();
    explicit operator bool() const { return handle != nullptr; }
    bool Running() const;
    // Exit code, or -1 if it has not ended within timeout_ms.
    long long WaitExit(DWORD timeout_ms) const;
};

// Sets what the stand-in learns from the environment (inherited by children).
void SetStandIn(const std::wstring& record, DWORD delay_ms);
// Starts `exe` with `args` (already quoted as needed); flags go to CreateProcess.
Process Start(const std::wstring& exe, const std::wstring& args, DWORD flags = 0);

// Waits for the stand-in's record (or its .end file) and parses it.
bool ReadRecord(const std::wstring& path, Record& out, DWORD timeout_ms);
long long RecordTime(const Record& r, const wchar_t* key);
bool FileExists(const std::wstring& path);

// Top-level windows of a process.
HWND FindWindowOf(DWORD pid, const wchar_t* cls, const wchar_t* title, DWORD timeout_ms);
// A message box of the process once it is on screen with its text filled in.
HWND FindMessageBox(DWORD pid, const wchar_t* caption, DWORD timeout_ms);
std::wstring MessageText(HWND box);
void CloseBox(HWND box);

// Reads the current directory of another process from its process parameters.
std::wstring ReadCurrentDirectory(HANDLE process);
// Overwrites `from` by `to` (same length) in the command line of a suspended process.
bool PatchCommandLine(HANDLE process, const std::wstring& from, const std::wstring& to);

} // namespace velta_test
