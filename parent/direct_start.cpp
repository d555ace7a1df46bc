// A start without the relay: one process, the child, started here by the
// rules the relay follows and with the code it runs, so that the child finds
// the same directory, program, command text, streams and descriptors, and a
// failure carries the errno the relay would have reported.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"
#include "rules/find_program.h"
#include "work_dir.h"

namespace {

int failed(procferry_result *result, int kind, int error)
{
    result->kind = kind;
    result->error = error;
    return kind;
}

// The child's argument vector: argument zero (the program as given, or
// args[0] with PROCFERRY_ARGV0) and the arguments, null-ended; NULL when out
// of memory.
const wchar_t **child_vector(const pf_direct_request &request)
{
    bool own_zero = (request.flags & PROCFERRY_ARGV0) != 0;
    size_t count = request.arg_count + (own_zero ? 0 : 1);
    const wchar_t **vector = (const wchar_t **)calloc(count + 1, sizeof(wchar_t *));
    if (!vector)
        return nullptr;
    size_t at = 0;
    if (!own_zero)
        vector[at++] = request.program;
    for (size_t i = 0; i < request.arg_count; ++i)
        vector[at++] = request.args[i];
    return vector;
}

} // namespace

int pf_direct_start(const pf_direct_request &request, procferry_result *result)
{
    // The directory first, as the relay changes into it before it looks for
    // the program. The child cannot be moved there afterwards: it is named
    // to the start by its full path, which must lead to a directory now.
    wchar_t full_dir[WORK_DIR_PATH_CAPACITY];
    const wchar_t *directory = nullptr;
    if (request.dir) {
        unsigned long length = 0;
        int refused = work_dir_full_path(request.dir, full_dir, &length);
        if (refused == 0 && GetFileAttributesW(full_dir) == INVALID_FILE_ATTRIBUTES)
            refused = pf_errno_of_start(GetLastError());
        if (refused != 0)
            return failed(result, PROCFERRY_DIR_FAILED, refused);
        directory = full_dir;
    }

    wchar_t found[PF_PROGRAM_PATH_CAPACITY];
    int error = pf_find_program_in_block(request.program, directory, request.environment,
                                         pf_searches(request.flags), found,
                                         PF_PROGRAM_PATH_CAPACITY);
    wchar_t application[PF_PROGRAM_PATH_CAPACITY];
    wchar_t *text = nullptr;
    if (error == 0) {
        const wchar_t **vector = child_vector(request);
        error = vector ? pf_direct_command(found, vector, application, &text) : ENOMEM;
        free(vector);
    }
    if (error == ENOMEM) {
        result->win32_error = ERROR_NOT_ENOUGH_MEMORY;
        return failed(result, PROCFERRY_SYSTEM_ERROR, 0);
    }
    if (error != 0)
        return failed(result, PROCFERRY_LAUNCH_FAILED, error);
    if (request.command_line && request.command_line_capacity) {
        size_t length = wcslen(text);
        size_t kept = length < request.command_line_capacity ? length : request.command_line_capacity - 1;
        memcpy(request.command_line, text, kept * sizeof(wchar_t));
        request.command_line[kept] = 0;
    }

    // The child's descriptors 0 to 2, and above them only the extra ones.
    HANDLE local_fds[PF_RELAY_FD_COUNT] = {}, opened[3] = {nullptr, nullptr, nullptr};
    int fd_count = 3 + (int)request.extra_fd_count;
    HANDLE *fds = fd_count <= PF_RELAY_FD_COUNT ? local_fds : (HANDLE *)calloc(fd_count, sizeof(HANDLE));
    if (!fds) {
        free(text);
        result->win32_error = ERROR_NOT_ENOUGH_MEMORY;
        return failed(result, PROCFERRY_SYSTEM_ERROR, 0);
    }
    for (size_t extra = 0; extra < request.extra_fd_count; ++extra)
        fds[3 + extra] = (HANDLE)request.extra_fds[extra];
    for (int n = 0; n < 3; ++n) {
        const procferry_stream &choice = request.streams[n];
        if (choice.kind == PROCFERRY_STREAM_INHERIT)
            fds[n] = pf_fd_handle(n);
        else if (choice.kind == PROCFERRY_STREAM_FD || choice.kind == PROCFERRY_STREAM_HANDLE)
            fds[n] = pf_stream_handle(choice);
        else if (choice.kind == PROCFERRY_STREAM_NULL) {
            opened[n] = CreateFileW(L"NUL", n == 0 ? GENERIC_READ : GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
            if (opened[n] == INVALID_HANDLE_VALUE)
                opened[n] = nullptr;
            fds[n] = opened[n];
        }
    }
    pf_process_spawn spawn;
    memset(&spawn, 0, sizeof spawn);
    spawn.program = application;
    spawn.line = text;
    spawn.environment = request.environment;
    spawn.directory = directory;
    spawn.fds = fds;
    spawn.fd_count = fd_count;
    // A stream the caller chose must reach the child; its own inherited ones
    // are left out when they cannot be handed on, as through the relay.
    spawn.first_required_fd = 3;
    for (int n = 0; n < 3; ++n)
        if (request.streams[n].kind != PROCFERRY_STREAM_INHERIT)
            spawn.required_fds |= 1u << n;
    // The table in the layout the child's runtime reads; a file that is no
    // image the start refuses whatever the table holds.
    DWORD image_error = 0;
    spawn.handle_width = pf_image_handle_width(application, &image_error);
    if (spawn.handle_width < 0)
        spawn.handle_width = (int)sizeof(void *);
    spawn.job = !(request.flags & PROCFERRY_NO_JOB);
    spawn.creation = (request.flags & PROCFERRY_NO_WINDOW ? CREATE_NO_WINDOW : 0) |
                     (request.flags & PROCFERRY_NEW_PROCESS_GROUP ? CREATE_NEW_PROCESS_GROUP : 0);
    for (int slot = 0; slot < 6; ++slot)
        spawn.text_fds[slot] = slot < 3 && !(request.flags & PROCFERRY_BINARY_STREAMS) ? slot : -1;
    pf_spawned spawned;
    int started = pf_spawn_process(spawn, spawned);
    free(text);
    if (fds != local_fds)
        free(fds);
    for (HANDLE handle : opened)
        if (handle)
            CloseHandle(handle);
    result->win32_error = spawned.win32_error;
    if (started != 0) {
        if (spawned.start_errno == EBADF)
            return failed(result, PROCFERRY_INVALID_ARGUMENT, EBADF);
        if (spawned.win32_error == ERROR_DIRECTORY)
            return failed(result, PROCFERRY_DIR_FAILED, ENOENT);
        if (spawned.start_errno)
            return failed(result, PROCFERRY_LAUNCH_FAILED, spawned.start_errno);
        return failed(result, PROCFERRY_SYSTEM_ERROR, 0);
    }
    result->win32_error = 0;
    result->child = pf_child_make(spawned.process, spawned.job,
                                  request.flags & PROCFERRY_KILL_ON_CLOSE);
    if (!result->child) {
        TerminateProcess(spawned.process, RELAY_EXIT_FAILED);
        if (spawned.job)
            TerminateJobObject(spawned.job, RELAY_EXIT_FAILED);
        WaitForSingleObject(spawned.process, 5000);
        CloseHandle(spawned.process);
        if (spawned.job)
            CloseHandle(spawned.job);
        result->win32_error = ERROR_NOT_ENOUGH_MEMORY;
        return failed(result, PROCFERRY_SYSTEM_ERROR, 0);
    }
    // A group of its own is named by its first process's id.
    if (request.flags & PROCFERRY_NEW_PROCESS_GROUP)
        pf_child_set_group(result->child, spawned.pid, nullptr);
    result->pid = spawned.pid;
    result->kind = PROCFERRY_STARTED;
    return 0;
}
