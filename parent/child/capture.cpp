// Running a program to its end with its output in memory. Each pipe has a
// thread of its own, so the child never waits on the caller: its input is
// written while both outputs are read, whatever order it takes them in.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "option_checks.h"
#include "parent_internal.h"

namespace {

const size_t DEFAULT_CAP = (size_t)64 << 20;
const uint32_t DEFAULT_DRAIN_MS = 1000;
const DWORD CHUNK = 65536;
// How often a worker told to stop has its pipe call cancelled: a cancel that
// comes between two calls finds nothing to cancel.
const DWORD CANCEL_EVERY_MS = 20;
// A child just killed takes a moment to end; the tree goes with it.
const DWORD KILLED_END_MS = 2000;

// One output: what was read and kept of it.
struct drain {
    HANDLE pipe;
    size_t cap;
    char *data = nullptr;
    size_t size = 0, capacity = 0;
    int capped = 0;
    bool failed = false;
    // Set once the child has ended and its drain time is over: from then on
    // only what already waits in the pipe is read, and no read blocks.
    std::atomic<bool> stop{false};
};

DWORD WINAPI drain_pipe(void *context)
{
    drain &out = *(drain *)context;
    // Past the cap the bytes are read (so the child goes on) and dropped
    // here; each drain has its own, since both run at once.
    char dropped[CHUNK];
    DWORD waiting = 0; // once stopped: the bytes still to read
    bool stopped = false;
    for (;;) {
        // Read into the kept text while there is room below the cap.
        if (out.size == out.capacity && out.size < out.cap) {
            size_t wanted = out.capacity ? out.capacity * 2 : CHUNK;
            if (wanted > out.cap)
                wanted = out.cap;
            char *grown = (char *)realloc(out.data, wanted + 1);
            if (grown) {
                out.data = grown;
                out.capacity = wanted;
            } else {
                out.failed = true;
                out.cap = out.size;
            }
        }
        char *into = out.size < out.capacity ? out.data + out.size : dropped;
        size_t room = out.size < out.capacity ? out.capacity - out.size : CHUNK;
        DWORD asked = room < CHUNK ? (DWORD)room : CHUNK;
        // What is in the pipe when the stop comes is taken, and no more: a
        // process that goes on writing cannot keep the run going.
        if (!stopped && out.stop) {
            stopped = true;
            if (!PeekNamedPipe(out.pipe, nullptr, 0, nullptr, &waiting, nullptr))
                waiting = 0;
        }
        if (stopped) {
            if (waiting == 0)
                break;
            if (asked > waiting)
                asked = waiting;
        }
        DWORD count = 0;
        if (!ReadFile(out.pipe, into, asked, &count, nullptr)) {
            if (GetLastError() == ERROR_OPERATION_ABORTED && out.stop)
                continue;
            break;
        }
        if (count == 0)
            break;
        if (stopped)
            waiting -= count < waiting ? count : waiting;
        if (into == dropped)
            out.capped = 1;
        else
            out.size += count;
    }
    return 0;
}

struct feed {
    HANDLE pipe;
    const char *data;
    size_t size;
    std::atomic<bool> stop{false};
};

// Writes the input, then closes the pipe so that the child sees its end; a
// child that stops reading (or ends) ends the writing.
DWORD WINAPI feed_pipe(void *context)
{
    feed &in = *(feed *)context;
    for (size_t done = 0; done < in.size && !in.stop;) {
        size_t left = in.size - done;
        DWORD count = 0;
        if (!WriteFile(in.pipe, in.data + done, left < CHUNK ? (DWORD)left : CHUNK, &count, nullptr) ||
            count == 0)
            break;
        done += count;
    }
    CloseHandle(in.pipe);
    in.pipe = nullptr;
    return 0;
}

// Waits for a worker until the deadline or a cancel; one still busy then is
// told to stop, and its blocked pipe call cancelled until it has ended.
void finish_worker(HANDLE thread, std::atomic<bool> &stop, uint64_t deadline, uint32_t window_ms,
                   const procferry_cancel *cancel)
{
    if (!thread)
        return;
    if (pf_wait_or_cancel(thread, pf_remaining(deadline, window_ms), cancel) != WAIT_OBJECT_0) {
        stop = true;
        do
            CancelSynchronousIo(thread);
        while (WaitForSingleObject(thread, CANCEL_EVERY_MS) == WAIT_TIMEOUT);
    }
    CloseHandle(thread);
}

// Hands over the output of a drain, with a zero after it.
void take(drain &from, char **data, size_t *size, int *capped)
{
    if (!from.data)
        from.data = (char *)malloc(1);
    if (from.data)
        from.data[from.size] = 0;
    *data = from.data;
    *size = from.data ? from.size : 0;
    *capped = from.capped;
}

// The streams of a capture from the caller's choices, which pf_check_capture
// passed: stdout is always kept; stdin is the input's pipe, the null device,
// or the caller's file; stderr is kept apart, merged into stdout, the null
// device or the caller's file (descriptor 2 for the caller's own stderr).
void capture_streams(const procferry_options &options, const procferry_capture_options &capture,
                     procferry_stream *streams)
{
    if (options.streams[0].kind == PROCFERRY_STREAM_INHERIT)
        streams[0] = {capture.input ? PROCFERRY_STREAM_PIPE : PROCFERRY_STREAM_NULL, 0, nullptr};
    streams[1] = {PROCFERRY_STREAM_PIPE, 0, nullptr};
    if (options.streams[2].kind == PROCFERRY_STREAM_INHERIT)
        streams[2] = {PROCFERRY_STREAM_PIPE, 0, nullptr};
}

} // namespace

void procferry_capture_options_init(struct procferry_capture_options *capture)
{
    memset(capture, 0, sizeof *capture);
    capture->size = sizeof *capture;
    capture->stdout_cap = capture->stderr_cap = DEFAULT_CAP;
    capture->drain_ms = DEFAULT_DRAIN_MS;
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
    uint32_t drain_ms = capture->size >= drain_known ? capture->drain_ms : DEFAULT_DRAIN_MS;
    const size_t cancel_known = offsetof(procferry_capture_options, leave_running_when_cancelled) +
                                sizeof capture->leave_running_when_cancelled;
    const procferry_cancel *cancel = capture->size >= cancel_known ? capture->cancel : nullptr;
    bool leave_running = cancel && capture->leave_running_when_cancelled;

    procferry_options own = *options;
    capture_streams(*options, *capture, own.streams);
    own.flags |= PROCFERRY_NO_WAIT;
    uint64_t deadline = pf_deadline(options->timeout_ms);
    drain out, err;
    // Cancelled already: nothing starts.
    bool cancelled_first = procferry_cancel_signalled(cancel) != 0;
    if (cancelled_first)
        pf_finish(&outcome, PROCFERRY_CANCELLED);
    if (cancelled_first || pf_start(&own, &outcome) != PROCFERRY_STARTED) {
        take(out, &result->out, &result->out_size, &result->out_capped);
        take(err, &result->err, &result->err_size, &result->err_capped);
        return outcome.kind;
    }

    out.pipe = (HANDLE)outcome.pipes[1];
    out.cap = capture->stdout_cap;
    err.pipe = (HANDLE)outcome.pipes[2];
    err.cap = capture->stderr_cap;
    feed in;
    in.pipe = (HANDLE)outcome.pipes[0];
    in.data = (const char *)capture->input;
    in.size = capture->input_size;
    HANDLE out_thread = CreateThread(nullptr, 0, drain_pipe, &out, 0, nullptr);
    HANDLE err_thread = err.pipe ? CreateThread(nullptr, 0, drain_pipe, &err, 0, nullptr) : nullptr;
    HANDLE in_thread = in.pipe ? CreateThread(nullptr, 0, feed_pipe, &in, 0, nullptr) : nullptr;
    bool threads_made = out_thread && (err_thread || !err.pipe) && (in_thread || !in.pipe);
    DWORD thread_error = threads_made ? 0 : GetLastError();

    procferry_child *started = outcome.child;
    HANDLE child = (HANDLE)procferry_child_process(started);
    bool timed_out = false, cancelled = false;
    if (!threads_made) {
        procferry_child_kill(started, 1);
    } else {
        DWORD waited = pf_wait_or_cancel(child, pf_remaining(deadline, options->timeout_ms), cancel);
        cancelled = waited == PF_WAIT_CANCELLED;
        timed_out = !cancelled && waited != WAIT_OBJECT_0;
        if (timed_out || (cancelled && !leave_running))
            procferry_child_kill(started, 1);
    }
    // The child has ended (or was ended), so what it wrote is in the pipes
    // already. A process it left running may hold them open for as long as
    // it runs; that is not the child's run, so it gets drain_ms and no more,
    // within the run's own time.
    // After the run's own time is up, what is in the pipes is all it gets.
    uint32_t window_ms = timed_out || cancelled ? 0 : drain_ms;
    if (window_ms && threads_made) {
        DWORD left = pf_remaining(deadline, options->timeout_ms);
        if (left < window_ms)
            window_ms = left;
    }
    uint64_t drained_by = pf_deadline(window_ms);
    // A cancel ends the draining too: the child has ended, and its status stands.
    finish_worker(out_thread, out.stop, drained_by, window_ms, cancel);
    finish_worker(err_thread, err.stop, drained_by, window_ms, cancel);
    finish_worker(in_thread, in.stop, drained_by, window_ms, cancel);
    // The threads were never made: the pipes are still ours to close.
    if (!in_thread && in.pipe)
        CloseHandle(in.pipe);
    if (out.pipe)
        CloseHandle(out.pipe);
    if (err.pipe)
        CloseHandle(err.pipe);
    memset(outcome.pipes, 0, sizeof outcome.pipes);

    DWORD status = 0;
    if (!(cancelled && leave_running))
        WaitForSingleObject(child, KILLED_END_MS);
    if (!threads_made) {
        outcome.kind = PROCFERRY_SYSTEM_ERROR;
        outcome.win32_error = thread_error;
    } else if (cancelled) {
        outcome.kind = PROCFERRY_CANCELLED;
    } else if (timed_out) {
        outcome.kind = PROCFERRY_TIMED_OUT;
    } else if (out.failed || err.failed) {
        outcome.kind = PROCFERRY_SYSTEM_ERROR;
        outcome.win32_error = ERROR_NOT_ENOUGH_MEMORY;
    } else if (GetExitCodeProcess(child, &status)) {
        outcome.kind = PROCFERRY_EXITED;
        outcome.exit_status = status;
    } else {
        outcome.kind = PROCFERRY_SYSTEM_ERROR;
        outcome.win32_error = GetLastError();
    }
    procferry_child_close(started);
    outcome.child = nullptr;
    // The pid tells that the program ran, which the words of a timeout or a
    // cancel need.
    if (outcome.kind != PROCFERRY_TIMED_OUT && outcome.kind != PROCFERRY_CANCELLED)
        outcome.pid = 0;
    take(out, &result->out, &result->out_size, &result->out_capped);
    take(err, &result->err, &result->err_size, &result->err_capped);
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
