// A no-wait child after its start: waiting for it, and ending it with the
// tree it started, through the job the library keeps for it.
#include <stdlib.h>

#include "parent_internal.h"

namespace {

struct child_entry {
    HANDLE process;
    DWORD pid;
    HANDLE job;
    uint32_t flags;
};

SRWLOCK registry_lock = SRWLOCK_INIT;
child_entry *registry = nullptr;
size_t registry_count = 0, registry_capacity = 0;

// The pseudo-handles stand for the caller's own process and thread (and,
// on newer systems, its tokens): -1 to -6. Acting on them would act on the
// caller, so they are bad handles here, as is anything that is no process.
bool is_child_handle(procferry_handle process)
{
    intptr_t value = (intptr_t)process;
    return process && !(value < 0 && value >= -6) && GetProcessId((HANDLE)process) != 0;
}

// The entry of a handle, or of another handle to the same process.
child_entry *find(HANDLE process)
{
    for (size_t i = 0; i < registry_count; ++i)
        if (registry[i].process == process)
            return &registry[i];
    DWORD pid = GetProcessId(process);
    for (size_t i = 0; pid && i < registry_count; ++i)
        if (registry[i].pid == pid)
            return &registry[i];
    return nullptr;
}

} // namespace

void pf_child_register(HANDLE process, HANDLE job, uint32_t flags)
{
    AcquireSRWLockExclusive(&registry_lock);
    if (registry_count == registry_capacity) {
        size_t wanted = registry_capacity ? registry_capacity * 2 : 16;
        child_entry *grown = (child_entry *)realloc(registry, wanted * sizeof *registry);
        if (grown) {
            registry = grown;
            registry_capacity = wanted;
        }
    }
    if (registry_count < registry_capacity) {
        registry[registry_count++] = {process, GetProcessId(process), job, flags};
        job = nullptr;
    }
    ReleaseSRWLockExclusive(&registry_lock);
    if (job) // no room to keep it: the child is the caller's alone
        CloseHandle(job);
}

void pf_child_add_flags(HANDLE process, uint32_t flags)
{
    AcquireSRWLockExclusive(&registry_lock);
    for (size_t i = 0; i < registry_count; ++i)
        if (registry[i].process == process)
            registry[i].flags |= flags;
    ReleaseSRWLockExclusive(&registry_lock);
}

int procferry_child_wait(procferry_handle process, uint32_t timeout_ms, uint32_t *exit_status)
{
    if (!is_child_handle(process))
        return -1;
    DWORD waited = WaitForSingleObject((HANDLE)process, timeout_ms);
    if (waited == WAIT_TIMEOUT)
        return PROCFERRY_TIMED_OUT;
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess((HANDLE)process, &code))
        return -1;
    if (exit_status)
        *exit_status = code;
    return 0;
}

int procferry_child_kill(procferry_handle process, uint32_t exit_code)
{
    if (!is_child_handle(process))
        return -1;
    // The child first, so that its status is the code given even when the
    // job's end reaches it later; then all that runs in its job.
    BOOL ended = TerminateProcess((HANDLE)process, exit_code);
    AcquireSRWLockShared(&registry_lock);
    child_entry *entry = find((HANDLE)process);
    if (entry && entry->job)
        TerminateJobObject(entry->job, exit_code);
    ReleaseSRWLockShared(&registry_lock);
    if (ended)
        return 0;
    // Ending a process that already ended is refused; it is ended all the same.
    DWORD code;
    if (WaitForSingleObject((HANDLE)process, 0) == WAIT_OBJECT_0 &&
        GetExitCodeProcess((HANDLE)process, &code))
        return 0;
    return -1;
}

void procferry_child_close(procferry_handle process)
{
    if (!process || (intptr_t)process < 0)
        return;
    AcquireSRWLockExclusive(&registry_lock);
    child_entry *entry = nullptr;
    for (size_t i = 0; i < registry_count; ++i)
        if (registry[i].process == (HANDLE)process)
            entry = &registry[i];
    child_entry taken = {nullptr, 0, nullptr, 0};
    if (entry) {
        taken = *entry;
        *entry = registry[--registry_count];
    }
    ReleaseSRWLockExclusive(&registry_lock);
    // A job's own kill-on-close limit is not to be relied on everywhere: the
    // tree is ended here when asked for, and never otherwise.
    if (taken.flags & PROCFERRY_KILL_ON_CLOSE) {
        if (taken.job)
            TerminateJobObject(taken.job, 1);
        else
            TerminateProcess((HANDLE)process, 1);
    }
    if (taken.job)
        CloseHandle(taken.job);
    CloseHandle((HANDLE)process);
}
