// A started child: the object the caller holds for it, with its process, its
// pid and the job of its start. Waiting, ending and closing act on that
// object alone, never on a handle value looked up again: a closed handle's
// value, like an ended process's pid, may soon stand for another process.
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"

#include <tlhelp32.h>

struct procferry_child {
    HANDLE process;
    DWORD pid;
    HANDLE job;
    uint32_t flags;
    DWORD group; // the console process group it runs in, or 0 for none of its own
    HANDLE group_holder; // the group's first process, kept so that its id is not reused
    // procferry_child_on_exit: the system thread pool's wait, and what it calls.
    HANDLE exit_wait;
    procferry_exit_callback callback;
    void *context;
    volatile DWORD calling_thread; // the pool's thread while it runs the callback
    bool free_after_callback;      // closed from within its own callback
    pf_console *console;           // its pseudo console, for a console start
};

procferry_child *pf_child_make(HANDLE process, HANDLE job, uint32_t flags)
{
    procferry_child *child = (procferry_child *)malloc(sizeof *child);
    if (!child)
        return nullptr;
    *child = {process, GetProcessId(process), job, flags, 0, nullptr, nullptr, nullptr, nullptr, 0, false, nullptr};
    return child;
}

void pf_child_set_console(procferry_child *child, pf_console *console)
{
    child->console = console;
}

int procferry_child_resize(struct procferry_child *child, uint16_t columns, uint16_t rows)
{
    if (!child)
        return -1;
    if (!child->console || !columns || !rows)
        return PROCFERRY_INVALID_ARGUMENT;
    return pf_console_resize(child->console, columns, rows);
}

void pf_child_set_group(procferry_child *child, DWORD group, HANDLE holder)
{
    child->group = group;
    child->group_holder = holder;
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
    return procferry_child_wait_cancellable(child, timeout_ms, nullptr, exit_status);
}

int procferry_child_wait_cancellable(struct procferry_child *child, uint32_t timeout_ms,
                                     const struct procferry_cancel *cancel, uint32_t *exit_status)
{
    if (!child)
        return -1;
    DWORD waited = pf_wait_or_cancel(child->process, timeout_ms, cancel);
    if (waited == WAIT_TIMEOUT)
        return PROCFERRY_TIMED_OUT;
    if (waited == PF_WAIT_CANCELLED)
        return PROCFERRY_CANCELLED;
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
    if (pf_terminate_tree(child->process, child->job, exit_code))
        return 0;
    // Ending a process that already ended is refused; it is ended all the same.
    DWORD code;
    if (WaitForSingleObject(child->process, 0) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(child->process, &code))
        return 0;
    return -1;
}

namespace {

VOID CALLBACK child_ended(void *context, BOOLEAN)
{
    procferry_child *child = (procferry_child *)context;
    DWORD status = 0;
    GetExitCodeProcess(child->process, &status);
    child->calling_thread = GetCurrentThreadId();
    child->callback(child->context, status);
    // A callback that closed its own child left the block to be freed here.
    if (child->free_after_callback)
        free(child);
    else
        child->calling_thread = 0;
}

// Whether this thread runs the child's exit callback.
bool in_own_callback(const procferry_child *child)
{
    return child->calling_thread == GetCurrentThreadId();
}

// Cancels the exit callback. Once it returns the callback does not run, nor
// is it running, unless it is this very thread that runs it (a callback that
// closes its own child): then it returns at once, and the callback finishes.
void cancel_exit_callback(procferry_child *child)
{
    if (!child->exit_wait)
        return;
    UnregisterWaitEx(child->exit_wait, in_own_callback(child) ? nullptr : INVALID_HANDLE_VALUE);
    child->exit_wait = nullptr;
}

} // namespace

int procferry_child_on_exit(struct procferry_child *child, procferry_exit_callback callback, void *context)
{
    // From within its own callback the wait could not be awaited: refused.
    if (!child || in_own_callback(child))
        return -1;
    cancel_exit_callback(child);
    if (!callback)
        return 0;
    child->callback = callback;
    child->context = context;
    // One wait of the system's thread pool, which serves many children with
    // each of its threads; once only, as the process ends once.
    if (!RegisterWaitForSingleObject(&child->exit_wait, child->process, child_ended, child, INFINITE,
                                     WT_EXECUTEONLYONCE)) {
        child->exit_wait = nullptr;
        return -1;
    }
    return 0;
}

void procferry_child_close(struct procferry_child *child)
{
    if (!child)
        return;
    cancel_exit_callback(child);
    // A job's own kill-on-close limit is not to be relied on everywhere: the
    // tree is ended here when asked for, and never otherwise.
    if (child->flags & PROCFERRY_KILL_ON_CLOSE)
        pf_terminate_tree(child->process, child->job, 1);
    if (child->job)
        CloseHandle(child->job);
    if (child->group_holder)
        CloseHandle(child->group_holder);
    CloseHandle(child->process);
    pf_console_release(child->console);
    if (in_own_callback(child))
        child->free_after_callback = true; // freed once the callback returns
    else
        free(child);
}

namespace {

// The window calls, loaded only when a stop asks for them: the library
// imports nothing from the window system otherwise.
typedef BOOL(WINAPI *enum_windows_call)(WNDENUMPROC, LPARAM);
typedef DWORD(WINAPI *window_process_call)(HWND, LPDWORD);
typedef BOOL(WINAPI *post_message_call)(HWND, UINT, WPARAM, LPARAM);
typedef HWND(WINAPI *get_window_call)(HWND, UINT);

// A stop's asking by windows: each top-level window of the child is asked
// to close once, as it appears.
struct window_asker {
    HMODULE user;
    enum_windows_call enum_windows;
    window_process_call window_process;
    post_message_call post_message;
    get_window_call get_window;
    DWORD pid;
    HWND asked[64];
    int asked_count;
    bool asked_new; // by the last look
};

BOOL CALLBACK close_if_child_window(HWND window, LPARAM context)
{
    window_asker &asker = *(window_asker *)context;
    DWORD owner = 0;
    asker.window_process(window, &owner);
    // An owned window (a box the child shows, as in answer to the close)
    // is its owner's to close: a close sent there would answer it.
    if (owner != asker.pid || (asker.get_window && asker.get_window(window, GW_OWNER)))
        return TRUE;
    for (int i = 0; i < asker.asked_count; ++i)
        if (asker.asked[i] == window)
            return TRUE;
    if (asker.asked_count < (int)(sizeof asker.asked / sizeof asker.asked[0]) &&
        asker.post_message(window, WM_CLOSE, 0, 0)) {
        asker.asked_new = true;
        asker.asked[asker.asked_count++] = window;
    }
    return TRUE;
}

// How often a stop looks again: for the windows of a child still starting
// (a program's first top-level window may be a helper that no close ends),
// and for the end of what an ended child started.
const DWORD WINDOW_LOOK_MS = 50;
// With a grace period that never ends, a window is looked for this long.
const uint32_t WINDOW_LOOK_LIMIT_MS = 10000;
// How long a console child is looked at for a window the first look missed.
const uint32_t CONSOLE_LOOK_MS = 500;

bool window_asker_open(window_asker &asker, DWORD pid)
{
    memset(&asker, 0, sizeof asker);
    asker.pid = pid;
    if (!(asker.user = LoadLibraryW(L"user32.dll")))
        return false;
    asker.enum_windows = (enum_windows_call)(void *)GetProcAddress(asker.user, "EnumWindows");
    asker.window_process = (window_process_call)(void *)GetProcAddress(asker.user, "GetWindowThreadProcessId");
    asker.post_message = (post_message_call)(void *)GetProcAddress(asker.user, "PostMessageW");
    asker.get_window = (get_window_call)(void *)GetProcAddress(asker.user, "GetWindow");
    return asker.enum_windows && asker.window_process && asker.post_message;
}

// Posts a close to each top-level window of the child not asked before;
// true when one took it.
bool close_new_windows(window_asker &asker)
{
    asker.asked_new = false;
    if (asker.enum_windows)
        asker.enum_windows(close_if_child_window, (LPARAM)&asker);
    return asker.asked_new;
}

// Whether any process still runs in the job: by its count where the system
// keeps one, else by looking for a member among all processes.
bool job_runs_anything(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION counts;
    if (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &counts, sizeof counts, nullptr))
        return counts.ActiveProcesses != 0;
    bool found = false;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        BOOL member = FALSE;
        if (process && IsProcessInJob(process, job, &member) && member)
            found = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
        if (process)
            CloseHandle(process);
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    return found;
}

} // namespace

int procferry_child_stop(struct procferry_child *child, uint32_t grace_ms, uint32_t exit_code)
{
    return procferry_child_stop_cancellable(child, grace_ms, exit_code, nullptr);
}

int procferry_child_stop_cancellable(struct procferry_child *child, uint32_t grace_ms, uint32_t exit_code,
                                     const struct procferry_cancel *cancel)
{
    if (!child)
        return -1;
    // A cancel cuts the grace period short: the tree is ended at once.
    auto end_at_once = [&]() {
        return procferry_child_kill(child, exit_code) == 0 ? PROCFERRY_STOPPED_CANCELLED : -1;
    };
    if (procferry_cancel_signalled(cancel))
        return end_at_once();
    uint64_t deadline = pf_deadline(grace_ms);
    if (WaitForSingleObject(child->process, 0) != WAIT_OBJECT_0) {
        // A console child hears a break only in a process group of its own,
        // or the caller would hear it too; a window closes when asked to. A
        // windowed program still starting has no window yet, and one may
        // show its own after a helper's: the windows are looked at again
        // through the grace period, each new one asked once.
        // A child in a group of its own may have windows too, and a
        // windowed program never hears a break: both are tried.
        window_asker asker = {};
        bool by_windows = window_asker_open(asker, child->pid);
        bool asked = child->group && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child->group) != 0;
        if (by_windows && close_new_windows(asker))
            asked = true;
        bool windowed = by_windows && (asked || (child->flags & PF_CHILD_WINDOWED));
        uint32_t look_ms = grace_ms == PROCFERRY_INFINITE && !asked ? WINDOW_LOOK_LIMIT_MS : grace_ms;
        // A console child may have a window that the first look missed: a
        // caller that never used the window system before connects to the
        // desktop with that look (seen under wine). It is looked for a
        // moment more, never past the grace period.
        bool looking = by_windows;
        if (!windowed && look_ms > CONSOLE_LOOK_MS)
            look_ms = CONSOLE_LOOK_MS;
        uint64_t look_deadline = pf_deadline(look_ms);
        bool ended = false;
        while (looking && !ended) {
            DWORD left = pf_remaining(asked ? deadline : look_deadline, asked ? grace_ms : look_ms);
            if (left == 0)
                break;
            DWORD waited = pf_wait_or_cancel(child->process, left < WINDOW_LOOK_MS ? left : WINDOW_LOOK_MS, cancel);
            if (waited == PF_WAIT_CANCELLED) {
                if (asker.user)
                    FreeLibrary(asker.user);
                return end_at_once();
            }
            if (waited == WAIT_FAILED)
                break;
            ended = waited == WAIT_OBJECT_0;
            if (!ended && close_new_windows(asker))
                asked = true;
        }
        if (asker.user)
            FreeLibrary(asker.user);
        ended = ended || WaitForSingleObject(child->process, 0) == WAIT_OBJECT_0;
        // Nobody to ask: ended at once. A windowed child that showed no
        // window in its grace period had its time, as one asked had.
        if (!asked && !ended)
            return procferry_child_kill(child, exit_code) != 0 ? -1
                   : windowed                                 ? PROCFERRY_STOPPED_BY_KILL
                                                              : PROCFERRY_STOPPED_UNASKED;
        DWORD waited = ended ? WAIT_OBJECT_0 : pf_wait_or_cancel(child->process, pf_remaining(deadline, grace_ms), cancel);
        if (waited == PF_WAIT_CANCELLED)
            return end_at_once();
        if (waited != WAIT_OBJECT_0)
            return procferry_child_kill(child, exit_code) == 0 ? PROCFERRY_STOPPED_BY_KILL : -1;
    }
    // The child ended: what it started gets the rest of the grace period to
    // end too, and what still runs then is ended, as a kill would.
    while (child->job && job_runs_anything(child->job)) {
        DWORD left = pf_remaining(deadline, grace_ms);
        if (left == 0) {
            pf_terminate_tree(child->process, child->job, exit_code);
            break;
        }
        if (pf_wait_or_cancel(nullptr, left < WINDOW_LOOK_MS ? left : WINDOW_LOOK_MS, cancel) == PF_WAIT_CANCELLED)
            // The child has ended: what is left is in its job.
            return TerminateJobObject(child->job, exit_code) ? PROCFERRY_STOPPED_CANCELLED : -1;
    }
    return PROCFERRY_STOPPED_WHEN_ASKED;
}
