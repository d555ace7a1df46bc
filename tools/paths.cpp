// Paths the tool shows or starts from: full paths for its words, its own
// folder (where the relays and the demo's copy live), and what a program
// file is built for, for the JSON.
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

// The machine field of the file's PE header.
std::string program_architecture(const std::wstring &path)
{
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (!file)
        return "";
    unsigned char dos[64], pe[6];
    std::string architecture;
    if (fread(dos, 1, sizeof dos, file) == sizeof dos && dos[0] == 'M' && dos[1] == 'Z') {
        long offset = (long)(dos[0x3C] | dos[0x3D] << 8 | dos[0x3E] << 16 | (unsigned)dos[0x3F] << 24);
        if (fseek(file, offset, SEEK_SET) == 0 && fread(pe, 1, sizeof pe, file) == sizeof pe &&
            memcmp(pe, "PE\0\0", 4) == 0) {
            unsigned machine = pe[4] | pe[5] << 8;
            architecture = machine == IMAGE_FILE_MACHINE_I386    ? "i686"
                           : machine == IMAGE_FILE_MACHINE_AMD64 ? "x86_64"
                                                                 : "";
        }
    }
    fclose(file);
    return architecture;
}
