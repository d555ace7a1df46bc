// What the Windows benchmarks measure with and start from: a clock in
// milliseconds, the median of a way's times, and the folder of the running
// program, where the relays, the null relay and the bench child lie.
#ifndef PROCFERRY_BENCH_CLOCK_H
#define PROCFERRY_BENCH_CLOCK_H

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string>
#include <vector>

// The middle time (of the two middle ones, their mean); 0 for none.
inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

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
