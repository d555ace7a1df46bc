// Paths the tool shows or starts from: full paths for its words, and its
// own folder (where the relays and the demo's copy live).
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "procferry_run.h"

std::wstring full_path(const std::wstring &path)
{
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(path.c_str(), size, &full[0], nullptr));
    return full;
}

std::wstring own_directory()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], (DWORD)path.size()));
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}
