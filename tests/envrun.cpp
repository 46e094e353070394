// Usage: envrun.exe [NAME=VALUE | NAME= | -NAME | +FILE]... -- PROGRAM [ARGS...]
// Starts PROGRAM with the environment changed as given (NAME= sets an empty
// value, -NAME removes it), hands it this process's standard handles, waits
// and ends with its exit code. Wine builds a Windows program's environment
// from the prefix's registry, so a test cannot set APPDATA from the host.
// +FILE keeps FILE open without delete sharing while PROGRAM runs, as a
// program that has the file in use would.
#include <windows.h>

#include <string>

namespace {

// One argument quoted as CommandLineToArgvW splits it again.
std::wstring quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    int i = 1;
    for (; i < argc && std::wstring(argv[i]) != L"--"; ++i) {
        std::wstring change = argv[i];
        size_t eq = change.find(L'=');
        if (change[0] == L'+')
            CreateFileW(change.c_str() + 1, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr); // closed when this process ends
        else if (change[0] == L'-')
            SetEnvironmentVariableW(change.c_str() + 1, nullptr);
        else if (eq != std::wstring::npos)
            SetEnvironmentVariableW(change.substr(0, eq).c_str(), change.c_str() + eq + 1);
    }
    if (i + 1 >= argc)
        return 2;
    std::wstring command;
    for (int j = i + 1; j < argc; ++j)
        command += (command.empty() ? L"" : L" ") + quote(argv[j]);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi))
        return 3;
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 3;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return int(code);
}
