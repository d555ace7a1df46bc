// One start of the relay: its channels and descriptors, the record, the
// release and the relay's end.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"

namespace {

void close_handle(procferry_handle &handle)
{
    if (handle)
        CloseHandle((HANDLE)handle);
    handle = nullptr;
}

} // namespace

int pf_session_start_line(const struct pf_relay_start *start,
                                 struct pf_session *session)
{
    memset(session, 0, sizeof *session);
    pf_process_spawn spawn;
    memset(&spawn, 0, sizeof spawn);
    HANDLE local_fds[PF_RELAY_FD_COUNT] = {};
    size_t most = PF_RELAY_FD_COUNT + start->extra_fd_count;
    spawn.fds = most > PF_RELAY_FD_COUNT ? (HANDLE *)calloc(most, sizeof(HANDLE)) : local_fds;
    if (!spawn.fds) {
        session->win32_error = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
    struct owned_arrays {
        pf_process_spawn &spawn;
        bool owned;
        ~owned_arrays()
        {
            if (owned)
                free(spawn.fds);
        }
    } arrays{spawn, most > PF_RELAY_FD_COUNT};
    spawn.program = start->relay;
    spawn.creation = (start->no_window ? CREATE_NO_WINDOW : 0) |
                     (start->new_process_group ? CREATE_NEW_PROCESS_GROUP : 0);
    spawn.environment = start->environment;
    spawn.job = !start->no_job;
    spawn.first_required_fd = PF_FIRST_EXTRA_FD;
    // The extra descriptors at their own numbers, which the relay's runtime
    // hands on to the child as they are; the channels after them.
    for (size_t extra = 0; extra < start->extra_fd_count; ++extra)
        spawn.fds[PF_FIRST_EXTRA_FD + extra] = (HANDLE)start->extra_fds[extra];
    int report_fd = PF_FIRST_EXTRA_FD + (int)start->extra_fd_count;
    session->relay_report_fd = report_fd;
    session->relay_sync_fd = report_fd + 1;
    spawn.fd_count = report_fd + 2;
    pf_relay_fds fds = {report_fd, report_fd + 1, {-1, -1, -1}};
    for (int stream = 0; stream < 3; ++stream) {
        const procferry_stream &choice = start->streams[stream];
        if (choice.kind != PROCFERRY_STREAM_FD && choice.kind != PROCFERRY_STREAM_HANDLE)
            continue;
        HANDLE handle = pf_stream_handle(choice);
        if (!handle || handle == INVALID_HANDLE_VALUE) {
            session->spawn_errno = EBADF, session->handle_refused = 1;
            return -1;
        }
        fds.streams[stream] = spawn.fd_count;
        spawn.fds[spawn.fd_count++] = handle;
    }
    // The relay's own streams are the caller's descriptors 0 to 2. Those
    // the child may get (0 and 1 inherited, the streams handed over) go in
    // text mode, the mode a program's streams start in when it is started by
    // CreateProcessW or the runtime's spawn: the relay's runtime carries the
    // mode on to the child. The relay's own stderr, when captured, is never
    // the child's and stays binary, so that its report arrives as written.
    for (int slot = 0; slot < 6; ++slot)
        spawn.text_fds[slot] = -1;
    if (!start->binary_streams) {
        spawn.text_fds[0] = 0;
        spawn.text_fds[1] = 1;
        spawn.text_fds[2] = start->capture_relay_stderr ? -1 : 2;
        for (int stream = 0; stream < 3; ++stream)
            spawn.text_fds[3 + stream] = fds.streams[stream];
    }
    for (int fd = 0; fd < 3; ++fd)
        spawn.fds[fd] = pf_fd_handle(fd);

    // The system cuts a longer text without a word, so it is measured here.
    spawn.line = start->build_line(start->context, &fds);
    if (!spawn.line) {
        session->spawn_errno = ENOMEM;
        return -1;
    }
    if (wcslen(spawn.line) + 1 > RELAY_COMMAND_TEXT_LIMIT) {
        free(spawn.line);
        session->spawn_errno = E2BIG;
        return -1;
    }
    DWORD image_error = 0;
    spawn.handle_width = pf_image_handle_width(start->relay, &image_error);
    if (spawn.handle_width < 0) {
        free(spawn.line);
        session->spawn_errno = -spawn.handle_width;
        session->win32_error = image_error;
        return -1;
    }

    HANDLE report_write = nullptr, sync_read = nullptr, stderr_write = nullptr;
    HANDLE report_read = nullptr, sync_write = nullptr, stderr_read = nullptr;
    // The report channel's read end is overlapped, so that it is read with a
    // timeout while the relay's process is watched.
    bool made = pf_overlapped_pipe(true, &report_read, &report_write, 4096) &&
                CreatePipe(&sync_read, &sync_write, nullptr, 0) &&
                (!start->capture_relay_stderr ||
                 CreatePipe(&stderr_read, &stderr_write, nullptr, 65536));
    int started = -1;
    if (!made) {
        session->win32_error = GetLastError();
    } else {
        spawn.fds[report_fd] = report_write;
        spawn.fds[report_fd + 1] = sync_read;
        if (stderr_write)
            spawn.fds[2] = stderr_write;
        pf_spawned spawned;
        started = pf_spawn_process(spawn, spawned);
        session->spawn_errno = spawned.start_errno;
        session->handle_refused = spawned.handle_refused;
        session->win32_error = spawned.win32_error;
        if (started == 0) {
            session->relay = spawned.process;
            session->relay_pid = spawned.pid;
            session->job = spawned.job;
        }
    }
    free(spawn.line);
    // The relay holds its own copies now; the parent keeps only its ends, so
    // that it sees end-of-file once the relay lets go.
    if (report_write)
        CloseHandle(report_write);
    if (sync_read)
        CloseHandle(sync_read);
    if (stderr_write)
        CloseHandle(stderr_write);
    session->report = report_read;
    session->sync = sync_write;
    session->relay_stderr = stderr_read;
    if (started != 0) {
        pf_session_close(session);
        return -1;
    }
    return 0;
}

int pf_session_read_record(struct pf_session *session, uint32_t timeout_ms,
                                  struct pf_record *record)
{
    if (!session->report)
        return 0;
    uint64_t deadline = pf_deadline(timeout_ms);
    unsigned char bytes[RELAY_RECORD_SIZE];
    int got = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done) {
        session->win32_error = GetLastError();
        return -2;
    }
    bool relay_ended = false;
    while (got < RELAY_RECORD_SIZE) {
        OVERLAPPED overlapped;
        memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = done;
        ResetEvent(done);
        DWORD count = 0;
        if (ReadFile((HANDLE)session->report, bytes + got, RELAY_RECORD_SIZE - got, &count,
                     &overlapped)) {
            if (count == 0)
                break;
            got += (int)count;
            continue;
        }
        if (GetLastError() != ERROR_IO_PENDING)
            break; // end-of-file: the relay and everyone else let go
        // The cancel goes first, so that a relay that ends at the same
        // moment cannot hide it.
        HANDLE watched[3];
        DWORD count_watched = 0, cancel_at = 3, relay_at = 3;
        if (session->cancel)
            cancel_at = count_watched, watched[count_watched++] = (HANDLE)session->cancel;
        DWORD done_at = count_watched;
        watched[count_watched++] = done;
        if (session->relay && !relay_ended)
            relay_at = count_watched, watched[count_watched++] = (HANDLE)session->relay;
        DWORD waited = WaitForMultipleObjects(count_watched, watched, FALSE, pf_remaining(deadline, timeout_ms));
        if (waited == WAIT_OBJECT_0 + cancel_at) {
            CancelIoEx((HANDLE)session->report, &overlapped);
            GetOverlappedResult((HANDLE)session->report, &overlapped, &count, TRUE);
            CloseHandle(done);
            return -3;
        }
        if (waited == WAIT_OBJECT_0 + done_at)
            waited = WAIT_OBJECT_0;
        else if (waited == WAIT_OBJECT_0 + relay_at)
            waited = WAIT_OBJECT_0 + 1;
        if (waited == WAIT_OBJECT_0 + 1) {
            // The relay ended; its write end closes with it, so the read
            // completes at once unless someone else holds a copy. Do not
            // wait for such a holder past a moment.
            relay_ended = true;
            DWORD left = pf_remaining(deadline, timeout_ms);
            waited = WaitForSingleObject(done, left < 200 ? left : 200);
        }
        if (waited != WAIT_OBJECT_0) {
            CancelIoEx((HANDLE)session->report, &overlapped);
            bool finished = GetOverlappedResult((HANDLE)session->report, &overlapped, &count, TRUE);
            if (finished && count > 0) {
                got += (int)count;
                continue;
            }
            CloseHandle(done);
            return relay_ended ? got : -1;
        }
        if (!GetOverlappedResult((HANDLE)session->report, &overlapped, &count, FALSE) || count == 0)
            break;
        got += (int)count;
    }
    CloseHandle(done);
    if (got == RELAY_RECORD_SIZE && record) {
        relay_report decoded = relay_record_decode(bytes);
        record->code = decoded.code;
        record->value = decoded.value;
    }
    return got;
}

void pf_session_release(struct pf_session *session, int with_byte)
{
    if (!session->sync)
        return;
    if (with_byte) {
        // A byte releases the relay even when some other process holds a
        // copy of the write end, which closing alone would not.
        const char release = 'r';
        DWORD written;
        WriteFile((HANDLE)session->sync, &release, 1, &written, nullptr);
    }
    close_handle(session->sync);
}

int pf_session_wait_relay(struct pf_session *session, uint32_t timeout_ms,
                                 uint32_t *status)
{
    if (!session->relay)
        return PROCFERRY_TIMED_OUT;
    HANDLE relay = (HANDLE)session->relay;
    int outcome = 0;
    if (WaitForSingleObject(relay, timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(relay, RELAY_EXIT_FAILED);
        WaitForSingleObject(relay, 5000);
        outcome = PROCFERRY_TIMED_OUT;
    }
    DWORD code = 0;
    GetExitCodeProcess(relay, &code);
    if (status)
        *status = code;
    close_handle(session->relay);
    return outcome;
}

struct procferry_child *pf_session_take_child(struct pf_session *session,
                                                     int32_t value)
{
    // The value is a handle in the relay's table, sign-extended as handles
    // passed between 32- and 64-bit processes are.
    HANDLE child = nullptr;
    // A launch call that returned -1 without an error number is reported
    // with that value; it, like the other pseudo-handles, would stand for
    // the relay itself, never for a child.
    if (value < 0 && value >= -6) {
        session->win32_error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (!session->relay ||
        !DuplicateHandle((HANDLE)session->relay, (HANDLE)(intptr_t)value, GetCurrentProcess(),
                         &child, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        session->win32_error = GetLastError();
        return nullptr;
    }
    // The job now goes with the child, for procferry_child_kill and _close.
    procferry_child *taken = pf_child_make(child, (HANDLE)session->job, 0);
    if (!taken) {
        CloseHandle(child);
        session->win32_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    session->job = nullptr;
    return taken;
}

size_t pf_session_relay_stderr(struct pf_session *session, char *text,
                                      size_t capacity)
{
    size_t length = 0;
    while (session->relay_stderr && length + 1 < capacity) {
        DWORD available = 0, count = 0;
        if (!PeekNamedPipe((HANDLE)session->relay_stderr, nullptr, 0, nullptr, &available,
                           nullptr) ||
            available == 0)
            break;
        DWORD wanted = (DWORD)(capacity - 1 - length);
        if (!ReadFile((HANDLE)session->relay_stderr, text + length,
                      available < wanted ? available : wanted, &count, nullptr) ||
            count == 0)
            break;
        length += count;
    }
    if (capacity)
        text[length] = 0;
    return length;
}

void pf_session_close(struct pf_session *session)
{
    if (session->relay)
        pf_session_wait_relay(session, 0, nullptr);
    close_handle(session->report);
    close_handle(session->sync);
    close_handle(session->relay_stderr);
    close_handle(session->job);
}

// Ends the relay and everything it started: its job, or without one the
// relay and its direct children.
void pf_session_kill_tree(struct pf_session *session)
{
    if (session->job)
        TerminateJobObject((HANDLE)session->job, RELAY_EXIT_FAILED);
    if (session->relay)
        pf_end_relay_tree((HANDLE)session->relay, session->job ? 0 : session->relay_pid);
    pf_session_wait_relay(session, 0, nullptr);
}
