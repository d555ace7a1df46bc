// The relay's side of the parent's protocol: private channels, the launch
// and the one report record.
#include <errno.h>

#include "relay_internal.h"
#include "runtime.h"

void send_record(int report_fd, int32_t code, int32_t value)
{
    // One write of the whole record; a failed write changes nothing, the
    // parent then sees end-of-file instead of a record.
    struct relay_report report = {code, value};
    unsigned char bytes[RELAY_RECORD_SIZE];
    relay_record_encode(report, bytes);
    rt_write(report_fd, bytes, RELAY_RECORD_SIZE);
}

// Replaces fd by a descriptor over a non-inheritable copy of its handle, so
// the child cannot inherit the channel. Returns -1, leaving fd open, when fd
// has no handle that can be copied.
int make_private_fd(int fd, int access)
{
    intptr_t handle = rt_private_handle(fd);
    if (handle == -1)
        return -1;
    rt_close(fd);
    return rt_open_private_handle(handle, access);
}

// The launch always runs in no-wait mode, and wait mode then waits for the
// child: the call thus returns a handle or -1, never an exit status, so a
// child exiting with -1 cannot pass for a failed launch. The record's value
// goes to *value: the child's exit status, or its process handle.
int launch_child(bool wait, const wchar_t *program, wchar_t **child_argv, int32_t *value)
{
    // Past the platform's limit the launch would fail as "not found"; say
    // what is wrong instead.
    if (child_command_length(child_argv) > RELAY_COMMAND_TEXT_LIMIT) {
        rt_set_errno(E2BIG);
        return -1;
    }
    rt_set_errno(0);
    intptr_t child = rt_spawn_nowait(program, child_argv);
    if (child == -1 && rt_errno() != 0)
        return -1;
    *value = (int32_t)child;
    if (wait && child != -1) {
        int exit_status = 0;
        if (rt_wait_child(&exit_status, child) == -1)
            return -1;
        *value = exit_status;
    }
    return 0;
}
