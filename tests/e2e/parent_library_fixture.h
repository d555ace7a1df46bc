// The parent library's tests: a start's options for the path under test,
// and what they count to see that nothing was left behind.
//
// Where a new row goes: a start's outcome (kind, errno, words) is a row of
// EachOutcomeHasItsOwnKind (test_start_outcomes.cpp), run on every path;
// a child's life after its start (waits, stops, trees, callbacks) goes to
// test_children.cpp; streams, descriptors, pipes and captures to
// test_streams.cpp; environment and directory to test_environment.cpp; a
// comparison of the two paths to test_direct_matches_relay.cpp; the words
// alone to test_words.cpp; the C++ layer to test_process_hpp.cpp.
#ifndef PROCFERRY_PARENT_LIBRARY_FIXTURE_H
#define PROCFERRY_PARENT_LIBRARY_FIXTURE_H

#include <windows.h>
#include <tlhelp32.h>

#include "relay_fixture.h"
#include "relay_start.h"

class ParentLibrary : public RelayTest {
protected:
    procferry_options options() const
    {
        procferry_options o;
        procferry_options_init(&o);
        relay_ = relay_path();
        probe_ = probe_path();
        o.relay = direct() ? nullptr : relay_.c_str();
        o.program = probe_.c_str();
        o.timeout_ms = parent::wait_limit_ms(15000);
        return o;
    }

private:
    mutable std::wstring relay_, probe_;
};

inline int processes_named(const wchar_t *name)
{
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        count += _wcsicmp(entry.szExeFile, name) == 0;
    CloseHandle(snapshot);
    return count;
}

// Counts by probing, since wine's count of a process's handles stays 0.
inline DWORD handle_count()
{
    DWORD count = 0, flags;
    for (uintptr_t value = 4; value < 0x2000; value += 4)
        count += GetHandleInformation((HANDLE)value, &flags) != 0;
    return count;
}

// Ends every probe still running; the tests that leave some on purpose call it.
inline void end_probes()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"probe_child.exe") != 0)
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
}

// Waits up to timeout_ms for the number of running probes to become count.
inline bool probes_become(int count, DWORD timeout_ms)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeout_ms; Sleep(20))
        if (processes_named(L"probe_child.exe") == count)
            return true;
    return processes_named(L"probe_child.exe") == count;
}

#endif
