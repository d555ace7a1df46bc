// Making pipes and reading and writing the caller's ends of them, so that
// the public headers need no windows.h. A caller's end may be overlapped (a
// named pipe's, for a completion port or a read with a timeout); the reads
// and writes here serve both kinds.
#include "parent_internal.h"

namespace {

volatile LONG pipe_counter = 0;

// Appends number in decimal.
wchar_t *put_number(wchar_t *at, unsigned long number)
{
    wchar_t digits[12];
    int count = 0;
    do {
        digits[count++] = (wchar_t)(L'0' + number % 10);
        number /= 10;
    } while (number);
    while (count)
        *at++ = digits[--count];
    *at = 0;
    return at;
}

// An operation's OVERLAPPED with its own event, whose low bit set keeps a
// completion port the caller tied the end to from hearing of it: the
// operations here wait for themselves.
struct own_operation {
    OVERLAPPED pending = {};
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    own_operation() { pending.hEvent = (HANDLE)((ULONG_PTR)event | 1); }
    ~own_operation()
    {
        if (event)
            CloseHandle(event);
    }
};

// Waits for an overlapped operation on pipe: its count, 0 at the end of the
// stream, -1 on failure, and -2 when timeout_ms passed first or, with
// cancelled_as_timeout, it was cancelled (bytes that came meanwhile are
// counted).
long finish_overlapped(HANDLE pipe, own_operation &operation, DWORD timeout_ms, bool cancelled_as_timeout)
{
    DWORD count = 0;
    if (WaitForSingleObject(operation.event, timeout_ms) != WAIT_OBJECT_0)
        CancelIoEx(pipe, &operation.pending);
    if (GetOverlappedResult(pipe, &operation.pending, &count, TRUE))
        return (long)count;
    DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE)
        return 0;
    return error == ERROR_OPERATION_ABORTED && (cancelled_as_timeout || timeout_ms != INFINITE) ? -2 : -1;
}

// One read on either kind of end.
long read_piece(HANDLE pipe, void *buffer, size_t size, DWORD timeout_ms, bool timed)
{
    // Room for no byte would read as the end of the stream, which it is not.
    if (!pipe || !buffer || size == 0)
        return -1;
    DWORD wanted = size > 0x7fffffff ? 0x7fffffff : (DWORD)size, count = 0;
    own_operation operation;
    if (!operation.event)
        return -1;
    if (ReadFile(pipe, buffer, wanted, &count, &operation.pending))
        return (long)count;
    if (GetLastError() == ERROR_IO_PENDING)
        return finish_overlapped(pipe, operation, timeout_ms, timed);
    // The writer closed its end: the end of the stream, not a failure.
    DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE ? 0 : error == ERROR_OPERATION_ABORTED && timed ? -2 : -1;
}

} // namespace

bool pf_overlapped_pipe(bool caller_reads, HANDLE *caller_end, HANDLE *child_end, DWORD buffer_size,
                        bool child_end_overlapped)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t name[64] = L"\\\\.\\pipe\\procferry-";
        wchar_t *end = put_number(name + wcslen(name), GetCurrentProcessId());
        *end++ = L'-';
        put_number(end, (unsigned long)InterlockedIncrement(&pipe_counter));
        HANDLE server = CreateNamedPipeW(
            name, (caller_reads ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
                      FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
            caller_reads ? 0 : buffer_size,
            caller_reads ? buffer_size : 0, 0, nullptr);
        if (server == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY)
                continue; // a stale name of an earlier process with our id
            return false;
        }
        // With one instance only, whoever opens the name first holds the
        // other end; it must be us, or the pipe is not made.
        HANDLE client = CreateFileW(name, caller_reads ? GENERIC_WRITE : GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, child_end_overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (client == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            CloseHandle(server);
            if (error == ERROR_PIPE_BUSY)
                continue; // another process opened the name first
            SetLastError(error);
            return false;
        }
        *caller_end = server;
        *child_end = client;
        return true;
    }
    return false;
}

int procferry_pipe_make(procferry_handle *read_end, procferry_handle *write_end)
{
    return procferry_pipe_make_overlapped(read_end, write_end, PROCFERRY_PIPE_SYNCHRONOUS);
}

int procferry_pipe_make_overlapped(procferry_handle *read_end, procferry_handle *write_end, int overlapped_end)
{
    HANDLE read_handle, write_handle;
    if (!read_end || !write_end || overlapped_end < PROCFERRY_PIPE_SYNCHRONOUS ||
        overlapped_end > PROCFERRY_PIPE_OVERLAPPED_WRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    bool made = overlapped_end == PROCFERRY_PIPE_SYNCHRONOUS
                    ? CreatePipe(&read_handle, &write_handle, nullptr, 65536) != 0
                : overlapped_end == PROCFERRY_PIPE_OVERLAPPED_READ
                    ? pf_overlapped_pipe(true, &read_handle, &write_handle, 65536)
                    : pf_overlapped_pipe(false, &write_handle, &read_handle, 65536);
    if (!made)
        return -1;
    *read_end = read_handle;
    *write_end = write_handle;
    return 0;
}

long procferry_pipe_read(procferry_handle pipe, void *buffer, size_t size)
{
    return read_piece((HANDLE)pipe, buffer, size, INFINITE, false);
}

long procferry_pipe_read_timeout(procferry_handle pipe, void *buffer, size_t size, uint32_t timeout_ms)
{
    return read_piece((HANDLE)pipe, buffer, size, timeout_ms, true);
}

void procferry_pipe_cancel(procferry_handle pipe)
{
    if (pipe)
        CancelIoEx((HANDLE)pipe, nullptr);
}

int procferry_pipe_write(procferry_handle pipe, const void *data, size_t size)
{
    if (!pipe || (size && !data))
        return -1;
    const char *at = (const char *)data;
    while (size > 0) {
        DWORD piece = size > 0x10000000 ? 0x10000000 : (DWORD)size, count = 0;
        own_operation operation;
        if (!operation.event)
            return -1;
        long wrote = WriteFile((HANDLE)pipe, at, piece, &count, &operation.pending) ? (long)count
                     : GetLastError() == ERROR_IO_PENDING
                         ? finish_overlapped((HANDLE)pipe, operation, INFINITE, false)
                         : -1;
        if (wrote <= 0)
            return -1;
        at += wrote;
        size -= (size_t)wrote;
    }
    return 0;
}

void procferry_pipe_close(procferry_handle pipe)
{
    if (pipe)
        CloseHandle((HANDLE)pipe);
}
