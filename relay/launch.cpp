// The relay's side of the parent's protocol: private channels, the launch,
// the one report record and the wait for the release.
#include <errno.h>

#include "relay_internal.h"
#include "runtime.h"

static void send_record(int report_fd, int32_t code, int32_t value)
{
    // Two 4-byte writes; a failed write changes nothing, the parent then
    // sees end-of-file instead of a record.
    rt_write(report_fd, &code, sizeof code);
    rt_write(report_fd, &value, sizeof value);
}

void report_failure_and_exit(int fd, int code)
{
    int saved_errno = rt_errno();
    send_record(fd, code, saved_errno);
    rt_exit(1);
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
// child exiting with -1 cannot pass for a failed launch.
int launch_and_report(int report_fd, int sync_fd, bool wait, const wchar_t *program,
                      wchar_t **child_argv)
{
    // Past the platform's limit the launch would fail as "not found"; say
    // what is wrong instead.
    if (child_command_length(child_argv) > RELAY_COMMAND_TEXT_LIMIT) {
        rt_set_errno(E2BIG);
        report_failure_and_exit(report_fd, RELAY_LAUNCH_FAILED);
    }
    rt_set_errno(0);
    intptr_t child = rt_spawn_nowait(program, child_argv);
    if (child == -1 && rt_errno() != 0)
        report_failure_and_exit(report_fd, RELAY_LAUNCH_FAILED);

    intptr_t result = child;
    if (wait && child != -1) {
        int exit_status = 0;
        if (rt_wait_child(&exit_status, child) == -1)
            report_failure_and_exit(report_fd, RELAY_LAUNCH_FAILED);
        result = exit_status;
    }
    send_record(report_fd, RELAY_OK, (int32_t)result);

    unsigned char release;
    rt_read(sync_fd, &release, 1);
    return 0;
}
