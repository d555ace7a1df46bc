// The relay's platform boundary on Windows: msvcrt.dll, KERNEL32.dll and the
// base library. Nothing outside this file and the kernel-only checks it shares
// with the parent library (path_probe.cpp, work_dir.cpp, interpreter_path.cpp)
// names a platform call.
#include "runtime.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <direct.h>
#include <windows.h>

#include "interpreter_path.h"
#include "pellix.h"
#include "rules/protocol.h"
#include "rules/start_retry.h"
#include "work_dir.h"

// The runtime keeps at most this many descriptors; numbers outside the table
// would only reach its invalid-argument check, so they are refused here.
static const int DESCRIPTOR_LIMIT = 2048;

static bool fd_in_table(int fd)
{
    return fd >= 0 && fd < DESCRIPTOR_LIMIT;
}

static int refuse_fd(void)
{
    errno = EBADF;
    return -1;
}

// The start-up record __wgetmainargs expects; only its new-mode field exists.
struct startup_record {
    int new_mode;
};

extern "C" __declspec(dllimport) int __cdecl __wgetmainargs(int *argc, wchar_t ***argv,
                                                            wchar_t ***env, int do_wildcard,
                                                            startup_record *startup);

int rt_narrow_argc(void)
{
    return __argc;
}

char **rt_narrow_argv(void)
{
    return __argv;
}

int rt_wide_args(int *argc, wchar_t ***argv)
{
    wchar_t **env = 0;
    startup_record startup = {0};
    return __wgetmainargs(argc, argv, &env, 0, &startup);
}

int rt_atoi(const char *text)
{
    return atoi(text);
}

int rt_open_null(int access)
{
    return _open("NUL:", access);
}

int rt_dup(int fd)
{
    return fd_in_table(fd) ? _dup(fd) : refuse_fd();
}

int rt_dup2(int source, int target)
{
    return fd_in_table(source) && fd_in_table(target) ? _dup2(source, target) : refuse_fd();
}

int rt_close(int fd)
{
    return fd_in_table(fd) ? _close(fd) : refuse_fd();
}

int rt_write(int fd, const void *bytes, unsigned count)
{
    return fd_in_table(fd) ? _write(fd, bytes, count) : refuse_fd();
}

int rt_read(int fd, void *bytes, unsigned count)
{
    return fd_in_table(fd) ? _read(fd, bytes, count) : refuse_fd();
}

intptr_t rt_private_handle(int fd)
{
    if (!fd_in_table(fd))
        return refuse_fd();
    intptr_t inherited = _get_osfhandle(fd);
    // A descriptor that is not open yields INVALID_HANDLE_VALUE (-1), a standard
    // stream without a handle -2. Both are also pseudo-handles (this process and
    // this thread), which DuplicateHandle would gladly copy, so they are refused.
    if (inherited == -1 || inherited == -2)
        return refuse_fd();
    HANDLE copy = 0;
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, (HANDLE)inherited, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return refuse_fd();
    return (intptr_t)copy;
}

int rt_open_private_handle(intptr_t handle, int access)
{
    int fd = _open_osfhandle(handle, access | _O_NOINHERIT);
    if (fd < 0)
        CloseHandle((HANDLE)handle);
    return fd;
}

bool rt_fd_is_open(int fd)
{
    if (!fd_in_table(fd))
        return false;
    intptr_t handle = _get_osfhandle(fd);
    return handle != -1 && handle != -2;
}

static int refuse_dir(int error)
{
    errno = error;
    return -1;
}

int rt_change_dir(const wchar_t *path)
{
    wchar_t full[WORK_DIR_PATH_CAPACITY];
    unsigned long length = 0;
    int refused = pf_work_dir_full_path(path, full, &length);
    if (refused != 0)
        return refuse_dir(refused);
    wchar_t before[MAX_PATH + 1];
    DWORD before_length = GetCurrentDirectoryW(MAX_PATH + 1, before);
    if (_wchdir(full) < 0)
        return -1;
    wchar_t landed[MAX_PATH + 1];
    DWORD landed_length = GetCurrentDirectoryW(MAX_PATH + 1, landed);
    if (landed_length == length && wcscmp(landed, full) == 0)
        return 0;
    // A verbatim path lands on its plain form: \\?\C:\x on C:\x.
    if (wcsncmp(full, L"\\\\?\\", 4) == 0 && full[5] == L':' && landed_length == length - 4 &&
        wcscmp(landed, full + 4) == 0)
        return 0;
    if (before_length > 0 && before_length <= MAX_PATH)
        SetCurrentDirectoryW(before);
    return refuse_dir(EINVAL);
}

int rt_interpreter_path(wchar_t *out)
{
    int error = pf_interpreter_path(out);
    if (error == 0)
        return 0;
    errno = error;
    return -1;
}

const wchar_t *rt_search_path(void)
{
    DWORD size = GetEnvironmentVariableW(L"PATH", 0, 0);
    if (size == 0)
        return 0;
    wchar_t *text = (wchar_t *)rt_alloc_n(size, sizeof(wchar_t));
    DWORD length = GetEnvironmentVariableW(L"PATH", text, size);
    return length > 0 && length < size ? text : 0;
}

// The runtime reports wine's passing internal error as EINVAL; the system's
// own error tells it apart (rules/start_retry.h).
static_assert(PF_START_RETRY_ERROR == ERROR_INTERNAL_ERROR, "the retried error");

intptr_t rt_spawn_nowait(const wchar_t *program, const wchar_t *const *argv)
{
    for (int attempt = 1;; ++attempt) {
        SetLastError(ERROR_SUCCESS);
        intptr_t child = _wspawnv(_P_NOWAIT, program, argv);
        if (child != -1 || !pf_start_again(GetLastError(), attempt))
            return child;
    }
}

intptr_t rt_wait_child(int *exit_status, intptr_t child)
{
    return _cwait(exit_status, child, 0);
}

int rt_errno(void)
{
    return errno;
}

void rt_set_errno(int value)
{
    errno = value;
}

void rt_exit(int status)
{
    _exit(status);
}

void *rt_alloc_n(uint32_t count, uint32_t size)
{
    return px_malloc_n(count, size);
}

void rt_check_failed(const char *file, int line, const char *entry_name, const char *expression)
{
    px_assertion_message_expr(0, file, line, entry_name, expression);
    // The check reporter never returns; should a different build of it do so,
    // the relay still must not go on with a broken command line.
    _exit(RELAY_EXIT_CHECK_FAILED);
}
