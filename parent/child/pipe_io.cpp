// Making pipes and reading and writing the caller's ends of them, so that
// the public headers need no windows.h.
#include "parent_internal.h"

int procferry_pipe_make(procferry_handle *read_end, procferry_handle *write_end)
{
    HANDLE read_handle, write_handle;
    if (!read_end || !write_end) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!CreatePipe(&read_handle, &write_handle, nullptr, 65536))
        return -1;
    *read_end = read_handle;
    *write_end = write_handle;
    return 0;
}

long procferry_pipe_read(procferry_handle pipe, void *buffer, size_t size)
{
    // Room for no byte would read as the end of the stream, which it is not.
    if (!pipe || !buffer || size == 0)
        return -1;
    DWORD wanted = size > 0x7fffffff ? 0x7fffffff : (DWORD)size, count = 0;
    if (ReadFile((HANDLE)pipe, buffer, wanted, &count, nullptr))
        return (long)count;
    // The writer closed its end: the end of the stream, not a failure.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

int procferry_pipe_write(procferry_handle pipe, const void *data, size_t size)
{
    if (!pipe || (size && !data))
        return -1;
    const char *at = (const char *)data;
    while (size > 0) {
        DWORD piece = size > 0x10000000 ? 0x10000000 : (DWORD)size, count = 0;
        if (!WriteFile((HANDLE)pipe, at, piece, &count, nullptr) || count == 0)
            return -1;
        at += count;
        size -= count;
    }
    return 0;
}

void procferry_pipe_close(procferry_handle pipe)
{
    if (pipe)
        CloseHandle((HANDLE)pipe);
}
