// A plan carried out without the relay: the library starts the child itself,
// with the directory, file, command text and descriptors the plan decided.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "back_ends.h"

int pf_start_direct(pf_plan &plan, procferry_result *result)
{
    pf_show_line(plan, plan.command_text);
    // The child's descriptors 0 to 2, and above them only the extra ones.
    HANDLE local_fds[PF_RELAY_FD_COUNT] = {};
    int fd_count = 3 + (int)plan.extra_fd_count;
    HANDLE *fds = fd_count <= PF_RELAY_FD_COUNT ? local_fds : (HANDLE *)calloc(fd_count, sizeof(HANDLE));
    if (!fds) {
        result->win32_error = ERROR_NOT_ENOUGH_MEMORY;
        return pf_finish(result, PROCFERRY_SYSTEM_ERROR, 0);
    }
    pf_process_spawn spawn;
    memset(&spawn, 0, sizeof spawn);
    for (int n = 0; n < 3; ++n) {
        fds[n] = plan.streams[n];
        spawn.text_fds[n] = plan.text_streams ? n : -1;
        if (plan.stream_chosen[n])
            spawn.required_fds |= 1u << n;
    }
    for (int slot = 3; slot < 6; ++slot)
        spawn.text_fds[slot] = -1;
    for (size_t extra = 0; extra < plan.extra_fd_count; ++extra)
        fds[3 + extra] = (HANDLE)plan.extra_fds[extra];
    spawn.program = plan.application;
    spawn.line = plan.command_text;
    spawn.environment = plan.environment;
    spawn.directory = plan.directory;
    spawn.fds = fds;
    spawn.fd_count = fd_count;
    spawn.first_required_fd = 3;
    spawn.handle_width = plan.handle_width;
    spawn.job = plan.job;
    spawn.creation = plan.creation;
    // A console start: the console, which holds its own copies of its ends.
    pf_console *console = nullptr;
    if (plan.console_columns) {
        DWORD failed = pf_console_make(plan.console_columns, plan.console_rows, plan.console_input,
                                       plan.console_output, &console);
        CloseHandle(plan.console_input);
        CloseHandle(plan.console_output);
        plan.console_input = plan.console_output = nullptr;
        if (failed) {
            if (fds != local_fds)
                free(fds);
            result->win32_error = failed;
            return pf_finish(result, PROCFERRY_SYSTEM_ERROR, 0);
        }
        spawn.console = pf_console_handle(console);
    }
    pf_spawned spawned;
    int started = pf_spawn_process(spawn, spawned);
    if (fds != local_fds)
        free(fds);
    result->win32_error = spawned.win32_error;
    if (started == 0 && console) {
        // From here the pump reads the console for as long as it lives.
        if (DWORD failed = pf_console_pump(console, spawned.process, plan.pump_reads, plan.pump_writes)) {
            pf_end_tree(spawned.process, spawned.job, RELAY_EXIT_FAILED);
            // Nobody reads the console: its writes fail, so that its close returns.
            CloseHandle(plan.pump_reads);
            plan.pump_reads = nullptr;
            pf_console_abandon(console);
            result->win32_error = failed;
            return pf_finish(result, PROCFERRY_SYSTEM_ERROR, 0);
        }
        plan.pump_reads = plan.pump_writes = nullptr;
    } else if (console) {
        CloseHandle(plan.pump_reads);
        plan.pump_reads = nullptr;
        pf_console_abandon(console);
        console = nullptr;
    }
    if (started != 0) {
        if (spawned.handle_refused)
            return pf_finish(result, PROCFERRY_INVALID_ARGUMENT, EBADF);
        if (spawned.win32_error == ERROR_DIRECTORY)
            return pf_finish(result, PROCFERRY_DIR_FAILED, ENOENT);
        if (spawned.start_errno)
            return pf_finish(result, PROCFERRY_LAUNCH_FAILED, spawned.start_errno);
        return pf_finish(result, PROCFERRY_SYSTEM_ERROR, 0);
    }
    result->win32_error = 0;
    result->child = pf_child_make(spawned.process, spawned.job, pf_child_flags(plan));
    if (!result->child) {
        // The pump closes the console once the child has ended.
        pf_end_tree(spawned.process, spawned.job, RELAY_EXIT_FAILED);
        pf_console_release(console);
        result->win32_error = ERROR_NOT_ENOUGH_MEMORY;
        return pf_finish(result, PROCFERRY_SYSTEM_ERROR, 0);
    }
    if (console)
        pf_child_set_console(result->child, console);
    // A group of its own is named by its first process's id.
    if (plan.new_group)
        pf_child_set_group(result->child, spawned.pid, nullptr);
    result->pid = spawned.pid;
    result->kind = PROCFERRY_STARTED;
    return 0;
}
