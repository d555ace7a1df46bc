// The relay's only way to the C runtime, the kernel and the base library.
// Every platform call the relay makes goes through one of these routines or
// the kernel-only checks it shares with the parent library (path_probe.h,
// work_dir.h, interpreter_path.h), so these files list exactly what the relay
// depends on.
#ifndef PROCFERRY_RUNTIME_H
#define PROCFERRY_RUNTIME_H

#include <stdint.h>
#include <wchar.h>

#include "rules/find_program.h"

enum {
    RT_O_RDONLY = 0,
    RT_O_WRONLY = 1
};

// Command-line views.
int rt_narrow_argc(void);
char **rt_narrow_argv(void);
int rt_wide_args(int *argc, wchar_t ***argv); // 0 on success

int rt_atoi(const char *text);

// Descriptors. Numbers the runtime could not hold are refused here, before the
// runtime sees them, so that no call ever reaches its invalid-argument handler.
int rt_open_null(int access);
int rt_dup(int fd);
int rt_dup2(int source, int target);
int rt_close(int fd);
int rt_write(int fd, const void *bytes, unsigned count);
int rt_read(int fd, void *bytes, unsigned count);

// A non-inheritable copy, within this process, of the system handle behind fd;
// -1 with errno EBADF when fd has no handle that can be copied.
intptr_t rt_private_handle(int fd);
// A new descriptor over handle that launched children do not inherit; -1 with
// errno set on failure, and the handle is then closed.
int rt_open_private_handle(intptr_t handle, int access);

// Whether fd names an open descriptor of this process.
bool rt_fd_is_open(int fd);

// Makes path the current directory, exactly: 0, or -1 with errno set and the
// current directory unchanged. ENAMETOOLONG when its full path is longer than
// a launched child can be given as its directory, ENOTDIR for a file or a
// device, EINVAL when the change would land anywhere else.
int rt_change_dir(const wchar_t *path);

// The command interpreter in the system directory, found without a search,
// in out (of PF_PROGRAM_PATH_CAPACITY units): 0, or -1 with errno set.
int rt_interpreter_path(wchar_t *out);
// The executable search path, or null when there is none.
const wchar_t *rt_search_path(void);

// Launch of the program at a full path, which the runtime then takes as it is.
// Returns the child's process handle, or -1 with errno set.
intptr_t rt_spawn_nowait(const wchar_t *program, const wchar_t *const *argv);
// Waits for a child launched by rt_spawn_nowait; -1 with errno set on failure.
intptr_t rt_wait_child(int *exit_status, intptr_t child);

int rt_errno(void);
void rt_set_errno(int value);
[[noreturn]] void rt_exit(int status);

// The base library.
void *rt_alloc_n(uint32_t count, uint32_t size);
[[noreturn]] void rt_check_failed(const char *file, int line, const char *entry_name,
                                  const char *expression);

#endif
