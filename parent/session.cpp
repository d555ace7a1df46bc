// One start of the relay: its channels, the start itself under the process-
// wide lock, the record, the release and the relay's end.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"

namespace {

// The C runtime's spawn hands every inheritable handle of the process to the
// relay, so any inheritable channel end of one start would reach every relay
// started meanwhile, and through a no-wait child outlive it. Channel ends are
// therefore made inheritable only while this lock is held, and closed before
// it is let go.
SRWLOCK start_lock = SRWLOCK_INIT;

volatile LONG pipe_counter = 0;

// The report channel is a named pipe so that its read end can be read with a
// timeout while the relay's process is watched; the relay's end is an
// ordinary blocking handle. Both ends are private to this process.
bool make_report_channel(HANDLE *read_end, HANDLE *write_end)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t name[64];
        wsprintfW(name, L"\\\\.\\pipe\\procferry-report-%lu-%lu", GetCurrentProcessId(),
                  (unsigned long)InterlockedIncrement(&pipe_counter));
        HANDLE server = CreateNamedPipeW(
            name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
        if (server == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY)
                continue; // a stale name of an earlier process with our id
            return false;
        }
        // With one instance only, whoever opens the name first holds the
        // other end; it must be us, or the start fails.
        HANDLE client = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (client == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            CloseHandle(server);
            SetLastError(error);
            return false;
        }
        *read_end = server;
        *write_end = client;
        return true;
    }
    return false;
}

// A descriptor over an inheritable copy of handle, for the relay to inherit.
int inheritable_fd(HANDLE handle, int access)
{
    HANDLE copy;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return -1;
    int fd = _open_osfhandle((intptr_t)copy, access | _O_BINARY);
    if (fd < 0)
        CloseHandle(copy);
    return fd;
}

// A private copy of a standard descriptor, to put it back after the start.
int private_fd(int fd)
{
    HANDLE handle = (HANDLE)_get_osfhandle(fd);
    HANDLE copy;
    if (handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return -1;
    int private_copy = _open_osfhandle((intptr_t)copy, _O_BINARY | _O_NOINHERIT);
    if (private_copy < 0)
        CloseHandle(copy);
    return private_copy;
}

void close_fd(int &fd)
{
    if (fd >= 0)
        _close(fd);
    fd = -1;
}

void close_handle(procferry_handle &handle)
{
    if (handle)
        CloseHandle((HANDLE)handle);
    handle = nullptr;
}

// Under the lock: inheritable copies, the line, the spawn, the copies closed.
// The relay takes descriptors 0 to 2 from the caller's own, so standing in
// others means swapping the caller's for the moment of the spawn.
intptr_t spawn_relay(const procferry_relay_start &start, const procferry_stream *relay_streams,
                     HANDLE report_write, HANDLE sync_read, HANDLE stderr_write,
                     procferry_session &session)
{
    procferry_relay_fds fds = {-1, -1, {-1, -1, -1}};
    int standing_in[3] = {-1, -1, -1};
    for (int fd = 0; fd < 3; ++fd)
        if (relay_streams && relay_streams[fd].kind == PROCFERRY_STREAM_FD)
            standing_in[fd] = relay_streams[fd].fd;
    int saved[3] = {-1, -1, -1};
    intptr_t relay = -1;
    int spawn_errno = EBADF;
    wchar_t *line = nullptr;

    AcquireSRWLockExclusive(&start_lock);
    fds.report = inheritable_fd(report_write, _O_WRONLY);
    fds.sync = inheritable_fd(sync_read, _O_RDONLY);
    bool ready = fds.report >= 0 && fds.sync >= 0;
    for (int stream = 0; stream < 3 && ready; ++stream) {
        const procferry_stream &choice = start.streams[stream];
        HANDLE handle = nullptr;
        if (choice.kind == PROCFERRY_STREAM_HANDLE)
            handle = (HANDLE)choice.handle;
        else if (choice.kind == PROCFERRY_STREAM_FD)
            handle = (HANDLE)_get_osfhandle(choice.fd);
        if (choice.kind == PROCFERRY_STREAM_HANDLE || choice.kind == PROCFERRY_STREAM_FD) {
            fds.streams[stream] = inheritable_fd(handle, stream == 0 ? _O_RDONLY : _O_WRONLY);
            ready = fds.streams[stream] >= 0;
        }
    }
    int stderr_fd = -1;
    if (ready && stderr_write) {
        stderr_fd = inheritable_fd(stderr_write, _O_WRONLY);
        standing_in[2] = stderr_fd;
        ready = stderr_fd >= 0;
    }
    if (ready) {
        line = start.build_line(start.context, &fds);
        spawn_errno = line ? 0 : ENOMEM;
    }
    if (line) {
        for (int fd = 0; fd < 3; ++fd) {
            if (standing_in[fd] < 0)
                continue;
            saved[fd] = private_fd(fd);
            _dup2(standing_in[fd], fd);
        }
        // One entry holding the whole text: the runtime joins entries with
        // blanks, so a ready-quoted text passes through unchanged.
        // Under load, wine's process creation now and then fails with an
        // internal error before any process exists (EINVAL from the runtime);
        // that says nothing about the relay, so the start is tried again.
        const wchar_t *argv[2] = {line, nullptr};
        for (int attempt = 1;; ++attempt) {
            SetLastError(ERROR_SUCCESS);
            relay = _wspawnv(_P_NOWAIT, start.relay, argv);
            if (relay != -1 || GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3)
                break;
        }
        spawn_errno = relay == -1 ? errno : 0;
        for (int fd = 0; fd < 3; ++fd) {
            if (standing_in[fd] < 0)
                continue;
            if (saved[fd] >= 0) {
                _dup2(saved[fd], fd);
                _close(saved[fd]);
            } else {
                _close(fd); // the caller had none there
            }
        }
    }
    session.relay_report_fd = fds.report;
    session.relay_sync_fd = fds.sync;
    close_fd(fds.report);
    close_fd(fds.sync);
    for (int stream = 0; stream < 3; ++stream)
        close_fd(fds.streams[stream]);
    close_fd(stderr_fd);
    ReleaseSRWLockExclusive(&start_lock);

    free(line);
    session.spawn_errno = spawn_errno;
    return relay;
}

} // namespace

DWORD pf_remaining(DWORD deadline, DWORD timeout_ms)
{
    if (timeout_ms == INFINITE)
        return INFINITE;
    LONG left = (LONG)(deadline - GetTickCount());
    return left > 0 ? (DWORD)left : 0;
}

int procferry_session_start_line(const struct procferry_relay_start *start,
                                 struct procferry_session *session)
{
    return procferry_session_start_line_standing_in(start, nullptr, session);
}

int procferry_session_start_line_standing_in(const struct procferry_relay_start *start,
                                             const struct procferry_stream *relay_streams,
                                             struct procferry_session *session)
{
    memset(session, 0, sizeof *session);
    session->relay_report_fd = session->relay_sync_fd = -1;
    HANDLE report_write = nullptr, sync_read = nullptr, stderr_write = nullptr;
    HANDLE report_read = nullptr, sync_write = nullptr, stderr_read = nullptr;
    bool made = make_report_channel(&report_read, &report_write) &&
                CreatePipe(&sync_read, &sync_write, nullptr, 0) &&
                (!start->capture_relay_stderr ||
                 CreatePipe(&stderr_read, &stderr_write, nullptr, 65536));
    intptr_t relay = -1;
    if (!made) {
        session->win32_error = GetLastError();
        session->spawn_errno = ENOMEM;
    } else {
        relay = spawn_relay(*start, relay_streams, report_write, sync_read, stderr_write, *session);
    }
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
    if (relay == -1) {
        procferry_session_close(session);
        return -1;
    }
    session->relay = (HANDLE)relay;
    session->relay_pid = GetProcessId((HANDLE)relay);
    return 0;
}

int procferry_session_read_record(struct procferry_session *session, uint32_t timeout_ms,
                                  struct procferry_record *record)
{
    if (!session->report)
        return 0;
    DWORD deadline = GetTickCount() + timeout_ms;
    unsigned char bytes[RELAY_RECORD_SIZE];
    int got = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done)
        return 0;
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
        HANDLE watched[2] = {done, (HANDLE)session->relay};
        DWORD waited = WaitForMultipleObjects(session->relay && !relay_ended ? 2 : 1, watched,
                                              FALSE, pf_remaining(deadline, timeout_ms));
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

void procferry_session_release(struct procferry_session *session, int with_byte)
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

int procferry_session_wait_relay(struct procferry_session *session, uint32_t timeout_ms,
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

procferry_handle procferry_session_take_child(struct procferry_session *session, int32_t value)
{
    // The value is a handle in the relay's table, sign-extended as handles
    // passed between 32- and 64-bit processes are.
    HANDLE child = nullptr;
    if (!session->relay ||
        !DuplicateHandle((HANDLE)session->relay, (HANDLE)(intptr_t)value, GetCurrentProcess(),
                         &child, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        session->win32_error = GetLastError();
        return nullptr;
    }
    return child;
}

size_t procferry_session_relay_stderr(struct procferry_session *session, char *text,
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

void procferry_session_close(struct procferry_session *session)
{
    if (session->relay)
        procferry_session_wait_relay(session, 0, nullptr);
    close_handle(session->report);
    close_handle(session->sync);
    close_handle(session->relay_stderr);
}
