// Forced-include for a test build of the launcher in which the splash window
// cannot be created; the shipped launcher is built without it.
#pragma once
#include <windows.h>

static HWND FailCreateWindowExW(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU,
                                HINSTANCE, LPVOID) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}
#define CreateWindowExW FailCreateWindowExW
