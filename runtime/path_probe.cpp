// KERNEL32 only: no C runtime, so that the relay and the parent library can
// both link it.
#include "path_probe.h"

#include <errno.h>
#include <windows.h>

enum pf_path_kind pf_path_probe_kind(void *, const wchar_t *path, bool look_for_image)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PF_PATH_MISSING;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return PF_PATH_DIRECTORY;
    if (!look_for_image)
        return PF_PATH_FILE;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              0, OPEN_EXISTING, 0, 0);
    // A file that cannot be opened for reading is left to the launch to judge.
    if (file == INVALID_HANDLE_VALUE)
        return PF_PATH_IMAGE;
    // Only a disk file is read: reading a console or a pipe could block.
    char header[2] = {0, 0};
    DWORD got = 0;
    if (GetFileType(file) == FILE_TYPE_DISK)
        ReadFile(file, header, 2, &got, 0);
    CloseHandle(file);
    return got == 2 && header[0] == 'M' && header[1] == 'Z' ? PF_PATH_IMAGE : PF_PATH_FILE;
}

int pf_path_probe_full_path(void *, const wchar_t *path, wchar_t *out)
{
    DWORD length = GetFullPathNameW(path, PF_PROGRAM_PATH_CAPACITY, out, 0);
    if (length == 0)
        return ENOENT;
    return length >= PF_PROGRAM_PATH_CAPACITY ? ENAMETOOLONG : 0;
}
