// The one clock of the launcher's tests, benchmark and stand-in: QueryPerformanceCounter
// in microseconds, comparable across processes on one machine.
#pragma once
#include <windows.h>

namespace velta_test {

inline long long NowMicros() {
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    return now.QuadPart / freq.QuadPart * 1000000 +
           now.QuadPart % freq.QuadPart * 1000000 / freq.QuadPart;
}

} // namespace velta_test
