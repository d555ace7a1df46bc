// Ending a tree: a child that cannot be handed to the caller, with its job;
// a relay that did not answer in time, with what it started when it has no
// job (the relay and its direct children).
#include "parent_internal.h"

#include <tlhelp32.h>

namespace {

// Whether moment lies within [from, to].
bool within(const FILETIME &moment, const FILETIME &from, const FILETIME &to)
{
    return CompareFileTime(&moment, &from) >= 0 && CompareFileTime(&moment, &to) <= 0;
}

} // namespace

// Without a job: the relay, then each process it started directly.
void pf_end_relay_tree(HANDLE relay, DWORD relay_pid)
{
    // The relay goes first, so that it cannot start anything more.
    TerminateProcess(relay, RELAY_EXIT_FAILED);
    WaitForSingleObject(relay, 5000);
    if (!relay_pid)
        return;
    FILETIME relay_created, relay_exited, kernel, user;
    bool lifetime_known = GetProcessTimes(relay, &relay_created, &relay_exited, &kernel, &user);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (lifetime_known && snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more;
             more = Process32NextW(snapshot, &entry)) {
            if (entry.th32ParentProcessID != relay_pid || entry.th32ProcessID == relay_pid)
                continue;
            HANDLE child = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE,
                                       entry.th32ProcessID);
            if (!child)
                continue;
            // A process id outlives its process and may be given again: only
            // a process created while the relay ran can be the relay's child.
            FILETIME created, exited;
            if (GetProcessTimes(child, &created, &exited, &kernel, &user) &&
                within(created, relay_created, relay_exited))
                TerminateProcess(child, RELAY_EXIT_FAILED);
            CloseHandle(child);
        }
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
}

bool pf_terminate_tree(HANDLE process, HANDLE job, DWORD code)
{
    // The process first, so that its status is the code given even when the
    // job's end reaches it later; then all that runs in its job.
    bool ended = TerminateProcess(process, code) != 0;
    if (job)
        TerminateJobObject(job, code);
    return ended;
}

void pf_end_tree(HANDLE process, HANDLE job, DWORD code)
{
    pf_terminate_tree(process, job, code);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
    if (job)
        CloseHandle(job);
}
