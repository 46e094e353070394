#pragma once
// Where the program looks for DLLs it loads after its start.
#include <windows.h>

// From here on every DLL loaded without a full path comes from System32 only,
// never from the program's folder (writable in a per-user installation) or
// the current folder. Looked up at run time: Windows 7 has it only with
// KB2533623, and a static import would keep the program from starting without.
inline void SearchSystem32Only() {
    using SetDirs = BOOL(WINAPI*)(DWORD);
    const auto set = reinterpret_cast<SetDirs>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set)
        set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
