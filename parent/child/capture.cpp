// Running a program to its end with its output in memory, on the caller's
// thread: the run machine (procferry/run_machine.h) decides, and this engine
// does what it asks with overlapped pipe ends, waiting on the child, the
// pipes' events, the cancel and the machine's one timer at once. The child
// never waits on the caller: its input is written while both outputs are
// read, whatever order it takes them in.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "option_checks.h"
#include "parent_internal.h"
#include "procferry/run_machine.h"

namespace {

const DWORD CHUNK = 65536;

// One output: what was read and kept of it.
struct drain {
    char *data = nullptr;
    size_t size = 0, capacity = 0;
    bool failed = false;
};

// The engine's side of one run: the pipes, the reads and the write in
// flight, the machine it serves.
struct engine {
    pf_run run;
    HANDLE pipes[3] = {nullptr, nullptr, nullptr};
    OVERLAPPED io[3];
    HANDLE events[3] = {nullptr, nullptr, nullptr};
    bool pending[3] = {false, false, false};
    char *into[3] = {nullptr, nullptr, nullptr}; // where a pending read puts its bytes
    drain out[3];                                  // 1 and 2
    char dropped[CHUNK];                           // bytes past a cap land here
    const char *input = nullptr;
    procferry_child *child = nullptr;
    bool timer_armed = false;
    uint64_t timer_at = 0;
    bool finished = false;
};

uint64_t now_ms()
{
    return GetTickCount64();
}

void apply(engine &e, const pf_run_actions &act);

// Where the next read of output n goes: the kept text while it is below the
// cap (grown as it fills), else the dropped bytes, so the child goes on.
DWORD read_target(engine &e, int n)
{
    drain &out = e.out[n];
    size_t cap = e.run.cap[n];
    if (out.size == out.capacity && out.size < cap && !out.failed) {
        size_t wanted = out.capacity ? out.capacity * 2 : CHUNK;
        if (wanted > cap)
            wanted = cap;
        char *grown = (char *)realloc(out.data, wanted + 1);
        if (grown) {
            out.data = grown;
            out.capacity = wanted;
        } else {
            out.failed = true;
        }
    }
    bool kept = out.size < out.capacity && !out.failed;
    e.into[n] = kept ? out.data + out.size : e.dropped;
    size_t room = kept ? out.capacity - out.size : CHUNK;
    return room < CHUNK ? (DWORD)room : CHUNK;
}

// count bytes arrived for output n: the machine says how many are kept.
void arrived(engine &e, int n, DWORD count)
{
    size_t keep = 0;
    pf_run_actions act = pf_run_read(&e.run, n, count, &keep);
    if (e.into[n] != e.dropped)
        e.out[n].size += keep;
    apply(e, act);
}

void start_read(engine &e, int n)
{
    if (e.pending[n] || !e.pipes[n])
        return;
    DWORD asked = read_target(e, n);
    memset(&e.io[n], 0, sizeof e.io[n]);
    e.io[n].hEvent = e.events[n];
    ResetEvent(e.events[n]);
    if (ReadFile(e.pipes[n], e.into[n], asked, nullptr, &e.io[n]) || GetLastError() == ERROR_IO_PENDING)
        e.pending[n] = true;
    else
        apply(e, pf_run_stream_end(&e.run, n)); // the end: every writer is gone
}

void start_write(engine &e)
{
    if (e.pending[0] || !e.pipes[0])
        return;
    size_t left = e.run.input_size - e.run.written;
    memset(&e.io[0], 0, sizeof e.io[0]);
    e.io[0].hEvent = e.events[0];
    ResetEvent(e.events[0]);
    if (WriteFile(e.pipes[0], e.input + e.run.written, left < CHUNK ? (DWORD)left : CHUNK, nullptr, &e.io[0]) ||
        GetLastError() == ERROR_IO_PENDING)
        e.pending[0] = true;
    else
        apply(e, pf_run_stream_end(&e.run, 0)); // the child stopped reading
}

// A pending operation came back.
void completed(engine &e, int n)
{
    DWORD count = 0;
    bool ok = GetOverlappedResult(e.pipes[n], &e.io[n], &count, FALSE) != 0;
    e.pending[n] = false;
    if (n == 0) {
        apply(e, ok && count ? pf_run_written(&e.run, count) : pf_run_stream_end(&e.run, 0));
        return;
    }
    if (count)
        arrived(e, n, count);
    if (!ok || !count)
        apply(e, pf_run_stream_end(&e.run, n));
}

// A close the machine asked for. An output gives what already waits in it,
// and no more: a process that goes on writing cannot keep the run going.
void close_stream(engine &e, int n)
{
    if (!e.pipes[n])
        return;
    DWORD count = 0;
    if (e.pending[n]) {
        CancelIoEx(e.pipes[n], &e.io[n]);
        bool ok = GetOverlappedResult(e.pipes[n], &e.io[n], &count, TRUE) != 0;
        e.pending[n] = false;
        if (n != 0 && ok && count)
            arrived(e, n, count);
    }
    DWORD waiting = 0;
    if (n != 0 && !PeekNamedPipe(e.pipes[n], nullptr, 0, nullptr, &waiting, nullptr))
        waiting = 0;
    while (waiting > 0) {
        DWORD asked = read_target(e, n);
        if (asked > waiting)
            asked = waiting;
        memset(&e.io[n], 0, sizeof e.io[n]);
        e.io[n].hEvent = e.events[n];
        ResetEvent(e.events[n]);
        count = 0;
        if (!ReadFile(e.pipes[n], e.into[n], asked, nullptr, &e.io[n]) && GetLastError() != ERROR_IO_PENDING)
            break;
        if (!GetOverlappedResult(e.pipes[n], &e.io[n], &count, TRUE) || count == 0)
            break;
        arrived(e, n, count);
        waiting -= count < waiting ? count : waiting;
    }
    CloseHandle(e.pipes[n]);
    e.pipes[n] = nullptr;
}

void apply(engine &e, const pf_run_actions &act)
{
    if (act.end_tree)
        procferry_child_kill(e.child, 1);
    for (int n = 1; n < 3; ++n)
        if (act.read[n])
            start_read(e, n);
    if (act.write)
        start_write(e);
    for (int n = 0; n < 3; ++n)
        if (act.close[n])
            close_stream(e, n);
    if (act.arm_timer) {
        e.timer_armed = true;
        e.timer_at = act.timer_at;
    }
    if (act.finish)
        e.finished = true;
}

// Waits for whatever comes first and tells the machine, until it is done.
// The cancel and the child go first, so that pipes that never rest cannot
// hide them. false when a wait failed.
bool run_to_end(engine &e, HANDLE process, HANDLE cancel_event)
{
    bool child_watched = true, cancel_watched = cancel_event != nullptr;
    while (!e.finished) {
        uint64_t now = now_ms();
        if (e.timer_armed && now >= e.timer_at) {
            e.timer_armed = false;
            apply(e, pf_run_timer(&e.run, now));
            continue;
        }
        HANDLE watched[5];
        int what[5], count = 0;
        if (cancel_watched)
            watched[count] = cancel_event, what[count++] = 4;
        if (child_watched)
            watched[count] = process, what[count++] = 3;
        for (int n = 0; n < 3; ++n)
            if (e.pending[n])
                watched[count] = e.events[n], what[count++] = n;
        DWORD timeout = INFINITE;
        if (e.timer_armed)
            timeout = e.timer_at - now < (uint64_t)INFINITE - 1 ? (DWORD)(e.timer_at - now) : INFINITE - 1;
        if (count == 0 && !e.timer_armed)
            return false; // nothing left to wait for: the machine would wait for good
        DWORD waited = count ? WaitForMultipleObjects(count, watched, FALSE, timeout) : (Sleep(timeout), WAIT_TIMEOUT);
        if (waited == WAIT_TIMEOUT)
            continue; // the timer, seen at the top
        if (waited >= WAIT_OBJECT_0 + (DWORD)count)
            return false;
        int which = what[waited - WAIT_OBJECT_0];
        if (which == 4) {
            cancel_watched = false;
            apply(e, pf_run_cancel(&e.run, now_ms()));
        } else if (which == 3) {
            child_watched = false;
            DWORD status = 0;
            GetExitCodeProcess(process, &status);
            apply(e, pf_run_child_end(&e.run, now_ms(), status));
        } else {
            completed(e, which);
        }
    }
    return true;
}

// Hands over the output of a drain, with a zero after it.
void take(drain &from, int capped, char **data, size_t *size, int *capped_out)
{
    if (!from.data)
        from.data = (char *)malloc(1);
    if (from.data)
        from.data[from.size] = 0;
    *data = from.data;
    *size = from.data ? from.size : 0;
    *capped_out = capped;
    from.data = nullptr;
}

} // namespace

void procferry_capture_options_init(struct procferry_capture_options *capture)
{
    memset(capture, 0, sizeof *capture);
    capture->size = sizeof *capture;
    capture->stdout_cap = capture->stderr_cap = PF_RUN_DEFAULT_CAP;
    capture->drain_ms = PF_RUN_DEFAULT_DRAIN_MS;
}

namespace {

// The start's checks first, as for any start (the capture waits on its own,
// so pipes pass them), then the capture's own; a refusal's kind and errno
// go in outcome.
pf_refused check_capture(const struct procferry_options *options,
                         const struct procferry_capture_options *capture, procferry_result *outcome)
{
    pf_refused refusal = pf_check_options(options, 0);
    if (refusal.why == PF_ACCEPTED)
        refusal = pf_check_capture(options, capture);
    if (refusal.why != PF_ACCEPTED)
        pf_finish(outcome, PROCFERRY_INVALID_ARGUMENT, refusal.why == PF_ENV_TOO_LONG ? E2BIG : EINVAL);
    return refusal;
}

int capture_run(const struct procferry_options *options,
                const struct procferry_capture_options *capture,
                struct procferry_capture_result *result, pf_refused *refusal)
{
    memset(result, 0, sizeof *result);
    procferry_result &outcome = result->result;
    *refusal = check_capture(options, capture, &outcome);
    if (refusal->why != PF_ACCEPTED)
        return outcome.kind;
    // Options made before drain_ms was there get its default.
    const size_t drain_known = offsetof(procferry_capture_options, drain_ms) + sizeof capture->drain_ms;
    uint32_t drain_ms = capture->size >= drain_known ? capture->drain_ms : PF_RUN_DEFAULT_DRAIN_MS;
    const size_t cancel_known = offsetof(procferry_capture_options, leave_running_when_cancelled) +
                                sizeof capture->leave_running_when_cancelled;
    const procferry_cancel *cancel = capture->size >= cancel_known ? capture->cancel : nullptr;
    bool leave_running = cancel && capture->leave_running_when_cancelled;

    procferry_options own = *options;
    pf_run_streams(options->streams, options->console.columns != 0, capture->input != nullptr, own.streams);
    own.flags |= PROCFERRY_NO_WAIT | PROCFERRY_OVERLAPPED_PIPES;
    engine e;
    pf_run_init(&e.run, options->timeout_ms, drain_ms, capture->stdout_cap, capture->stderr_cap,
                capture->input ? capture->input_size : 0, leave_running);
    e.run.keep_input = options->console.columns != 0;
    e.input = (const char *)capture->input;
    // The time limit counts from here, before the start.
    pf_run_actions act = pf_run_begin(&e.run, now_ms(), procferry_cancel_signalled(cancel) != 0);
    if (act.finish) {
        // Cancelled already: nothing starts.
        pf_finish(&outcome, PROCFERRY_CANCELLED);
        take(e.out[1], 0, &result->out, &result->out_size, &result->out_capped);
        take(e.out[2], 0, &result->err, &result->err_size, &result->err_capped);
        return outcome.kind;
    }
    if (act.arm_timer)
        e.timer_armed = true, e.timer_at = act.timer_at;
    if (pf_start(&own, &outcome, cancel) != PROCFERRY_STARTED) {
        take(e.out[1], 0, &result->out, &result->out_size, &result->out_capped);
        take(e.out[2], 0, &result->err, &result->err_size, &result->err_capped);
        return outcome.kind;
    }
    e.child = outcome.child;
    HANDLE process = (HANDLE)procferry_child_process(e.child);
    bool events_made = true;
    for (int n = 0; n < 3; ++n) {
        e.pipes[n] = (HANDLE)outcome.pipes[n];
        if (e.pipes[n] && !(e.events[n] = CreateEventW(nullptr, TRUE, FALSE, nullptr)))
            events_made = false;
    }
    memset(outcome.pipes, 0, sizeof outcome.pipes);
    DWORD system_error = events_made ? 0 : GetLastError();
    bool ran = events_made;
    if (events_made) {
        apply(e, pf_run_started(&e.run, now_ms(), e.pipes[0] != nullptr, e.pipes[1] != nullptr,
                                e.pipes[2] != nullptr));
        ran = run_to_end(e, process, (HANDLE)procferry_cancel_handle(cancel));
        if (!ran)
            system_error = GetLastError();
    }
    if (!ran)
        procferry_child_kill(e.child, 1);
    for (int n = 0; n < 3; ++n) {
        e.finished = true;
        close_stream(e, n);
        if (e.events[n])
            CloseHandle(e.events[n]);
    }

    const pf_run_end &end = e.run.end;
    outcome.ended_by = end.ended_by;
    if (!ran) {
        outcome.kind = PROCFERRY_SYSTEM_ERROR;
        outcome.win32_error = system_error;
    } else if (end.kind == PROCFERRY_EXITED && (e.out[1].failed || e.out[2].failed)) {
        outcome.kind = PROCFERRY_SYSTEM_ERROR;
        outcome.win32_error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        outcome.kind = end.kind;
        outcome.exit_status = end.kind == PROCFERRY_EXITED ? end.exit_status : 0;
    }
    procferry_child_close(e.child);
    outcome.child = nullptr;
    // The pid tells that the program ran, which the words of a timeout or a
    // cancel need.
    if (outcome.kind != PROCFERRY_TIMED_OUT && outcome.kind != PROCFERRY_CANCELLED)
        outcome.pid = 0;
    take(e.out[1], e.run.capped[1], &result->out, &result->out_size, &result->out_capped);
    take(e.out[2], e.run.capped[2], &result->err, &result->err_size, &result->err_capped);
    return outcome.kind;
}

} // namespace

int procferry_capture(const struct procferry_options *options,
                      const struct procferry_capture_options *capture,
                      struct procferry_capture_result *result)
{
    if (!result)
        return PROCFERRY_INVALID_ARGUMENT; // nowhere to say more, nor to put the output
    pf_refused refusal;
    int kind = capture_run(options, capture, result, &refusal);
    // The capture's own refusal, which the options' checks alone do not tell.
    pf_keep_words(options, &result->result, refusal.why != PF_ACCEPTED ? &refusal : nullptr);
    return kind;
}

int procferry_capture_check(const struct procferry_options *options,
                            const struct procferry_capture_options *capture, struct procferry_result *result)
{
    if (!result)
        return PROCFERRY_INVALID_ARGUMENT;
    memset(result, 0, sizeof *result);
    pf_refused refusal = check_capture(options, capture, result);
    if (refusal.why == PF_ACCEPTED)
        return 0;
    pf_keep_words(options, result, &refusal);
    return result->kind;
}

void procferry_capture_free(struct procferry_capture_result *result)
{
    if (!result)
        return;
    free(result->out);
    free(result->err);
    result->out = result->err = nullptr;
    result->out_size = result->err_size = 0;
}
