// The handles a start hands over as descriptors: a caller's descriptor or
// handle, and the extra descriptors from 3 up, resolved once for either way
// of starting.
#include <io.h>
#include <stdlib.h>

#include "parent_internal.h"

HANDLE pf_fd_handle(int fd)
{
    // -2: a standard stream the caller's runtime has no handle for (the
    // value of the current thread's pseudo-handle, never to be passed on).
    intptr_t handle = _get_osfhandle(fd);
    return handle == -1 || handle == -2 ? nullptr : (HANDLE)handle;
}

HANDLE pf_stream_handle(const procferry_stream &choice)
{
    if (choice.kind == PROCFERRY_STREAM_HANDLE)
        return (HANDLE)choice.handle;
    if (choice.kind == PROCFERRY_STREAM_FD)
        return pf_fd_handle(choice.fd);
    return nullptr;
}

int pf_extra_fds_open(const procferry_stream *extras, size_t count, pf_extra_fds *opened)
{
    opened->handles = nullptr;
    opened->count = count;
    opened->null_device = nullptr;
    if (count == 0)
        return 0;
    opened->handles = (procferry_handle *)calloc(count, sizeof(procferry_handle));
    if (!opened->handles)
        return ERROR_NOT_ENOUGH_MEMORY;
    for (size_t i = 0; i < count; ++i) {
        const procferry_stream &extra = extras[i];
        HANDLE handle = nullptr;
        if (extra.kind == PROCFERRY_STREAM_INHERIT)
            handle = pf_fd_handle((int)(3 + i));
        else if (extra.kind == PROCFERRY_STREAM_NULL) {
            // One open of the null device serves every descriptor that asks
            // for it; each gets a copy of its own when handed over.
            if (!opened->null_device) {
                HANDLE device = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
                if (device == INVALID_HANDLE_VALUE) {
                    DWORD error = GetLastError();
                    pf_extra_fds_close(opened);
                    return error;
                }
                opened->null_device = device;
            }
            handle = opened->null_device;
        } else {
            handle = pf_stream_handle(extra);
        }
        opened->handles[i] = handle;
    }
    return 0;
}

void pf_extra_fds_close(pf_extra_fds *opened)
{
    if (opened->null_device)
        CloseHandle(opened->null_device);
    free(opened->handles);
    opened->handles = nullptr;
    opened->null_device = nullptr;
    opened->count = 0;
}
