// Running a program to its end with its output in memory. Each pipe has a
// thread of its own, so the child never waits on the caller: its input is
// written while both outputs are read, whatever order it takes them in.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"

namespace {

const size_t DEFAULT_CAP = (size_t)64 << 20;
const DWORD CHUNK = 65536;
// After the child's tree ended, its pipes close at once; this bounds the
// wait for a pipe some other process still holds.
const DWORD PIPE_LINGER_MS = 2000;

// One output: what was read and kept of it.
struct drain {
    HANDLE pipe;
    size_t cap;
    char *data = nullptr;
    size_t size = 0, capacity = 0;
    int capped = 0;
    bool failed = false;
};

DWORD WINAPI drain_pipe(void *context)
{
    drain &out = *(drain *)context;
    // Past the cap the bytes are read (so the child goes on) and dropped
    // here; each drain has its own, since both run at once.
    char dropped[CHUNK];
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
        DWORD count = 0;
        if (!ReadFile(out.pipe, into, room < CHUNK ? (DWORD)room : CHUNK, &count, nullptr) ||
            count == 0)
            break;
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
};

// Writes the input, then closes the pipe so that the child sees its end; a
// child that stops reading (or ends) ends the writing.
DWORD WINAPI feed_pipe(void *context)
{
    feed &in = *(feed *)context;
    for (size_t done = 0; done < in.size;) {
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

// Waits for a worker; one still blocked after wait_ms has its pipe call
// cancelled, then is waited for again.
void finish_worker(HANDLE thread, DWORD wait_ms)
{
    if (!thread)
        return;
    if (WaitForSingleObject(thread, wait_ms) != WAIT_OBJECT_0) {
        CancelSynchronousIo(thread);
        WaitForSingleObject(thread, INFINITE);
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

} // namespace

void procferry_capture_options_init(struct procferry_capture_options *capture)
{
    memset(capture, 0, sizeof *capture);
    capture->size = sizeof *capture;
    capture->stdout_cap = capture->stderr_cap = DEFAULT_CAP;
}

int procferry_capture(const struct procferry_options *options,
                      const struct procferry_capture_options *capture,
                      struct procferry_capture_result *result)
{
    memset(result, 0, sizeof *result);
    procferry_result &outcome = result->result;
    if (!options || options->size < sizeof *options || !capture ||
        capture->size < sizeof *capture || (capture->input_size && !capture->input)) {
        outcome.kind = PROCFERRY_INVALID_ARGUMENT;
        outcome.error = EINVAL;
        return outcome.kind;
    }
    procferry_options own = *options;
    bool merged = options->streams[2].kind == PROCFERRY_STREAM_STDOUT;
    own.streams[0] = {capture->input ? PROCFERRY_STREAM_PIPE : PROCFERRY_STREAM_NULL, 0, nullptr};
    own.streams[1] = {PROCFERRY_STREAM_PIPE, 0, nullptr};
    own.streams[2] = {merged ? PROCFERRY_STREAM_STDOUT : PROCFERRY_STREAM_PIPE, 0, nullptr};
    own.flags = (own.flags | PROCFERRY_NO_WAIT) & ~(uint32_t)PROCFERRY_KILL_ON_CLOSE;
    uint64_t deadline = pf_deadline(options->timeout_ms);
    drain out, err;
    if (procferry_start(&own, &outcome) != PROCFERRY_STARTED) {
        take(out, &result->out, &result->out_size, &result->out_capped);
        take(err, &result->err, &result->err_size, &result->err_capped);
        return outcome.kind;
    }

    out.pipe = (HANDLE)outcome.pipes[1];
    out.cap = capture->stdout_cap;
    err.pipe = (HANDLE)outcome.pipes[2];
    err.cap = capture->stderr_cap;
    feed in = {(HANDLE)outcome.pipes[0], (const char *)capture->input, capture->input_size};
    HANDLE out_thread = CreateThread(nullptr, 0, drain_pipe, &out, 0, nullptr);
    HANDLE err_thread = err.pipe ? CreateThread(nullptr, 0, drain_pipe, &err, 0, nullptr) : nullptr;
    HANDLE in_thread = in.pipe ? CreateThread(nullptr, 0, feed_pipe, &in, 0, nullptr) : nullptr;
    bool threads_made = out_thread && (err_thread || !err.pipe) && (in_thread || !in.pipe);
    DWORD thread_error = threads_made ? 0 : GetLastError();

    procferry_child *started = outcome.child;
    HANDLE child = (HANDLE)procferry_child_process(started);
    bool timed_out = false;
    if (!threads_made) {
        procferry_child_kill(started, 1);
    } else {
        // The run is over when the child has ended and its outputs are closed.
        HANDLE awaited[3] = {child, out_thread, err_thread};
        DWORD count = err_thread ? 3 : 2;
        for (DWORD index = 0; index < count; ++index) {
            if (WaitForSingleObject(awaited[index], pf_remaining(deadline, options->timeout_ms)) !=
                WAIT_OBJECT_0) {
                timed_out = true;
                procferry_child_kill(started, 1);
                break;
            }
        }
    }
    // A child that ended without reading all its input leaves the writer
    // blocked only when another process still holds the pipe.
    finish_worker(out_thread, PIPE_LINGER_MS);
    finish_worker(err_thread, PIPE_LINGER_MS);
    finish_worker(in_thread, PIPE_LINGER_MS);
    // The threads were never made: the pipes are still ours to close.
    if (!in_thread && in.pipe)
        CloseHandle(in.pipe);
    if (out.pipe)
        CloseHandle(out.pipe);
    if (err.pipe)
        CloseHandle(err.pipe);
    memset(outcome.pipes, 0, sizeof outcome.pipes);

    DWORD status = 0;
    WaitForSingleObject(child, PIPE_LINGER_MS);
    if (!threads_made) {
        outcome.kind = PROCFERRY_SYSTEM_ERROR;
        outcome.win32_error = thread_error;
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
    outcome.pid = 0;
    take(out, &result->out, &result->out_size, &result->out_capped);
    take(err, &result->err, &result->err_size, &result->err_capped);
    return outcome.kind;
}

void procferry_capture_free(struct procferry_capture_result *result)
{
    free(result->out);
    free(result->err);
    result->out = result->err = nullptr;
    result->out_size = result->err_size = 0;
}
