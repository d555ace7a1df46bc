// The relay's platform boundary on Windows: msvcrt.dll, KERNEL32.dll and the
// base library. Nothing outside this file and the file probe
// (path_probe.cpp) names a platform call.
#include "runtime.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <direct.h>
#include <windows.h>

#include "pellix.h"
#include "rules/protocol.h"
#include "rules/start_retry.h"

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

// The longest current directory a child can be launched in: the process start
// copies it, with a trailing backslash and a terminator, into a MAX_PATH
// buffer. At 259 units that copy overruns the heap; from 260 on the child
// quietly starts in the Windows directory instead.
static const DWORD WORK_DIR_LIMIT = MAX_PATH - 2;

static int refuse_dir(int error)
{
    errno = error;
    return -1;
}

static bool is_device_path(const wchar_t *full)
{
    // NUL, CON, COM1 and the like resolve to \\.\NAME wherever they stand.
    return full[0] == L'\\' && full[1] == L'\\' && full[2] == L'.' && full[3] == L'\\';
}

int rt_change_dir(const wchar_t *path)
{
    wchar_t full[MAX_PATH + 1];
    DWORD length = GetFullPathNameW(path, MAX_PATH + 1, full, 0);
    if (length == 0)
        return refuse_dir(ENOENT);
    if (length > MAX_PATH)
        return refuse_dir(ENAMETOOLONG);
    // The current directory is kept without a trailing separator, a drive's
    // root apart.
    if (length > 3 && (full[length - 1] == L'\\' || full[length - 1] == L'/'))
        full[--length] = L'\0';
    if (length > WORK_DIR_LIMIT)
        return refuse_dir(ENAMETOOLONG);
    if (is_device_path(full))
        return refuse_dir(ENOTDIR);
    DWORD attributes = GetFileAttributesW(full);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return refuse_dir(ENOTDIR);
    wchar_t before[MAX_PATH + 1];
    DWORD before_length = GetCurrentDirectoryW(MAX_PATH + 1, before);
    if (_wchdir(full) < 0)
        return -1;
    wchar_t landed[MAX_PATH + 1];
    DWORD landed_length = GetCurrentDirectoryW(MAX_PATH + 1, landed);
    if (landed_length == length && wcscmp(landed, full) == 0)
        return 0;
    if (before_length > 0 && before_length <= MAX_PATH)
        SetCurrentDirectoryW(before);
    return refuse_dir(EINVAL);
}

int rt_interpreter_path(wchar_t *out)
{
    static const wchar_t NAME[] = L"\\cmd.exe";
    const UINT name_length = sizeof NAME / sizeof NAME[0] - 1;
    UINT length = GetSystemDirectoryW(out, PF_PROGRAM_PATH_CAPACITY);
    if (length == 0 || length + name_length >= PF_PROGRAM_PATH_CAPACITY) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return -1;
    }
    for (UINT i = 0; i <= name_length; ++i)
        out[length + i] = NAME[i];
    return 0;
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
