// Where the default relay is: beside the module that holds the library.
#include <string.h>
#include <stdlib.h>

#include "parent_internal.h"

// procferry-console.exe (or procferry.exe) beside the module that holds
// this library: the program's own file when the library is linked in. The
// module's path may be as long as the system allows; the caller frees it.
wchar_t *pf_default_relay(uint32_t flags)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(void *)&pf_default_relay, &module))
        return nullptr;
    const wchar_t *name = flags & PROCFERRY_GUI_RELAY ? L"procferry.exe" : L"procferry-console.exe";
    for (DWORD capacity = MAX_PATH + 1; capacity <= 65536; capacity *= 2) {
        wchar_t *path = (wchar_t *)malloc((capacity + wcslen(name)) * sizeof(wchar_t));
        if (!path) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        DWORD length = GetModuleFileNameW(module, path, capacity);
        if (length > 0 && length < capacity) {
            wchar_t *slash = wcsrchr(path, L'\\');
            wchar_t *other = wcsrchr(path, L'/');
            if (other > slash)
                slash = other;
            wcscpy(slash ? slash + 1 : path, name);
            return path;
        }
        free(path);
        if (length == 0)
            return nullptr;
    }
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
}

size_t procferry_default_relay(uint32_t flags, wchar_t *out, size_t capacity)
{
    wchar_t *path = pf_default_relay(flags);
    size_t length = path ? wcslen(path) : 0;
    if (out && capacity) {
        size_t kept = length < capacity ? length : 0;
        memcpy(out, path, kept * sizeof(wchar_t));
        out[kept] = 0;
    }
    free(path);
    return length;
}

