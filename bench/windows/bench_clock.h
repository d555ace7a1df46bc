// What the Windows benchmarks measure with and start from: a clock in
// milliseconds and the folder of the running program, where the relays,
// the null relay and the bench child lie.
#ifndef PROCFERRY_BENCH_CLOCK_H
#define PROCFERRY_BENCH_CLOCK_H

#include <windows.h>
#include <tlhelp32.h>

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

// The threads of this process now.
inline int own_threads()
{
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

// A FILETIME in 100 ns ticks.
inline uint64_t ticks(const FILETIME &time)
{
    return (uint64_t)time.dwHighDateTime << 32 | time.dwLowDateTime;
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
