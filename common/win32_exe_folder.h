#pragma once
// The folder of the running program's own executable.
#include <windows.h>
#include <shlwapi.h>

// The executable's full path (GetModuleFileNameW) with its last component
// removed (PathRemoveFileSpecW). False when the path does not fit `size` units.
inline bool ExeFolder(wchar_t* folder, DWORD size) {
    const DWORD n = GetModuleFileNameW(nullptr, folder, size);
    if (n == 0 || n >= size)
        return false;
    PathRemoveFileSpecW(folder);
    return true;
}
