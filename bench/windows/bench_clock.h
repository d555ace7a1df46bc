// What both Windows benchmarks measure with and start from: a clock in
// milliseconds and the folder of the running program, where the relays,
// the null relay and the bench child lie.
#ifndef PROCFERRY_BENCH_CLOCK_H
#define PROCFERRY_BENCH_CLOCK_H

#include <windows.h>

#include <string>

inline double now_ms()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return 1000.0 * (double)count.QuadPart / (double)frequency.QuadPart;
}

// With a trailing backslash.
inline std::wstring own_directory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

#endif
