// Forced-include for a test build of the launcher in which the watcher thread
// cannot be created; the shipped launcher is built without it.
#pragma once
#include <windows.h>

static HANDLE FailCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                               LPDWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}
#define CreateThread FailCreateThread
