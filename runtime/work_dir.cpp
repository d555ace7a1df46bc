// KERNEL32 only: no C runtime, so that the relay and the parent library can
// both link it.
#include "work_dir.h"

#include <errno.h>
#include <windows.h>

static_assert(WORK_DIR_PATH_CAPACITY == MAX_PATH + 1, "room for a full path");

// The longest current directory a child can be launched in: the process start
// copies it, with a trailing backslash and a terminator, into a MAX_PATH
// buffer. At 259 units that copy overruns the heap; from 260 on the child
// quietly starts in the Windows directory instead.
static const DWORD WORK_DIR_LIMIT = MAX_PATH - 2;

static bool is_device_path(const wchar_t *full)
{
    // NUL, CON, COM1 and the like resolve to \\.\NAME wherever they stand.
    return full[0] == L'\\' && full[1] == L'\\' && full[2] == L'.' && full[3] == L'\\';
}

int pf_work_dir_full_path(const wchar_t *path, wchar_t *full, unsigned long *length)
{
    DWORD units = GetFullPathNameW(path, MAX_PATH + 1, full, 0);
    if (units == 0)
        return ENOENT;
    if (units > MAX_PATH)
        return ENAMETOOLONG;
    // The current directory is kept without a trailing separator, a drive's
    // root apart.
    if (units > 3 && (full[units - 1] == L'\\' || full[units - 1] == L'/'))
        full[--units] = L'\0';
    *length = units;
    if (units > WORK_DIR_LIMIT)
        return ENAMETOOLONG;
    if (is_device_path(full))
        return ENOTDIR;
    DWORD attributes = GetFileAttributesW(full);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ENOTDIR;
    return 0;
}
