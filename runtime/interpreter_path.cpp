// KERNEL32 only: no C runtime, so that the relay and the parent library can
// both link it.
#include "interpreter_path.h"

#include <errno.h>
#include <windows.h>

#include "rules/find_program.h"

int pf_interpreter_path(wchar_t *out)
{
    static const wchar_t NAME[] = L"\\cmd.exe";
    const UINT name_length = sizeof NAME / sizeof NAME[0] - 1;
    UINT length = GetSystemDirectoryW(out, PF_PROGRAM_PATH_CAPACITY);
    if (length == 0 || length + name_length >= PF_PROGRAM_PATH_CAPACITY)
        return length == 0 ? ENOENT : ENAMETOOLONG;
    for (UINT i = 0; i <= name_length; ++i)
        out[length + i] = NAME[i];
    return 0;
}
