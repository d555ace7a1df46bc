// A started child: the object the caller holds for it, with its process, its
// pid and the job of its start. Waiting, ending and closing act on that
// object alone, never on a handle value looked up again: a closed handle's
// value, like an ended process's pid, may soon stand for another process.
#include <stdlib.h>

#include "parent_internal.h"

struct procferry_child {
    HANDLE process;
    DWORD pid;
    HANDLE job;
    uint32_t flags;
};

procferry_child *pf_child_make(HANDLE process, HANDLE job, uint32_t flags)
{
    procferry_child *child = (procferry_child *)malloc(sizeof *child);
    if (!child)
        return nullptr;
    *child = {process, GetProcessId(process), job, flags};
    return child;
}

void pf_child_add_flags(procferry_child *child, uint32_t flags)
{
    child->flags |= flags;
}

procferry_handle procferry_child_process(const struct procferry_child *child)
{
    return child ? (procferry_handle)child->process : nullptr;
}

uint32_t procferry_child_pid(const struct procferry_child *child)
{
    return child ? child->pid : 0;
}

int procferry_child_wait(struct procferry_child *child, uint32_t timeout_ms, uint32_t *exit_status)
{
    if (!child)
        return -1;
    DWORD waited = WaitForSingleObject(child->process, timeout_ms);
    if (waited == WAIT_TIMEOUT)
        return PROCFERRY_TIMED_OUT;
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(child->process, &code))
        return -1;
    if (exit_status)
        *exit_status = code;
    return 0;
}

int procferry_child_kill(struct procferry_child *child, uint32_t exit_code)
{
    if (!child)
        return -1;
    // The child first, so that its status is the code given even when the
    // job's end reaches it later; then all that runs in its job.
    BOOL ended = TerminateProcess(child->process, exit_code);
    if (child->job)
        TerminateJobObject(child->job, exit_code);
    if (ended)
        return 0;
    // Ending a process that already ended is refused; it is ended all the same.
    DWORD code;
    if (WaitForSingleObject(child->process, 0) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(child->process, &code))
        return 0;
    return -1;
}

void procferry_child_close(struct procferry_child *child)
{
    if (!child)
        return;
    // A job's own kill-on-close limit is not to be relied on everywhere: the
    // tree is ended here when asked for, and never otherwise.
    if (child->flags & PROCFERRY_KILL_ON_CLOSE) {
        if (child->job)
            TerminateJobObject(child->job, 1);
        else
            TerminateProcess(child->process, 1);
    }
    if (child->job)
        CloseHandle(child->job);
    CloseHandle(child->process);
    free(child);
}
