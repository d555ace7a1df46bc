// What a program name stands for, and what a program file is: the tool's
// reading of names and files, used for its words and its JSON. The relay
// does its own search; this one follows the same rules so that the words
// name what the relay tried.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "procferry_run.h"

static bool is_separator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

static bool has_directory_part(const std::wstring &name)
{
    for (wchar_t c : name)
        if (is_separator(c) || c == L':')
            return true;
    return false;
}

static bool has_extension(const std::wstring &name)
{
    for (size_t i = name.size(); i > 0 && !is_separator(name[i - 1]) && name[i - 1] != L':'; --i)
        if (name[i - 1] == L'.')
            return true;
    return false;
}

static std::wstring joined(const std::wstring &dir, const std::wstring &name)
{
    bool absolute = (!name.empty() && is_separator(name[0])) ||
                    (name.size() >= 2 && name[1] == L':');
    if (absolute || dir.empty())
        return name;
    return dir + (is_separator(dir.back()) ? L"" : L"\\") + name;
}

static std::vector<std::wstring> path_directories()
{
    std::vector<std::wstring> dirs;
    DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0)
        return dirs;
    std::wstring path(size, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", &path[0], size));
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos)
            end = path.size();
        std::wstring dir = path.substr(start, end - start);
        if (dir.size() >= 2 && dir.front() == L'"' && dir.back() == L'"')
            dir = dir.substr(1, dir.size() - 2);
        if (!dir.empty())
            dirs.push_back(dir);
        start = end + 1;
    }
    return dirs;
}

static bool is_batch_file(const std::wstring &path)
{
    size_t dot = path.find_last_of(L'.');
    return dot != std::wstring::npos &&
           (_wcsicmp(path.c_str() + dot, L".bat") == 0 || _wcsicmp(path.c_str() + dot, L".cmd") == 0);
}

// A batch file by its name, any other program by its image's first bytes.
static bool is_program(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (is_batch_file(path))
        return true;
    FILE *file = _wfopen(path.c_str(), L"rb");
    char header[2] = {0, 0};
    bool image = file && fread(header, 1, 2, file) == 2 && header[0] == 'M' && header[1] == 'Z';
    if (file)
        fclose(file);
    return image;
}

static bool find_in(const std::wstring &dir, const std::wstring &program, std::wstring *found)
{
    std::wstring path = full_path(joined(dir, program));
    std::vector<std::wstring> candidates = {path};
    static const wchar_t *const extensions[] = {L".com", L".exe", L".bat", L".cmd"};
    if (!has_extension(program))
        for (const wchar_t *extension : extensions)
            candidates.push_back(path + extension);
    for (const std::wstring &candidate : candidates) {
        if (is_program(candidate)) {
            *found = candidate;
            return true;
        }
    }
    return false;
}

program_lookup look_up_program(const std::wstring &program, const std::wstring &start_dir,
                               bool search_path)
{
    program_lookup lookup;
    lookup.bare = !has_directory_part(program);
    std::vector<std::wstring> dirs = {start_dir};
    if (lookup.bare && search_path)
        dirs = path_directories();
    for (const std::wstring &dir : dirs)
        if ((lookup.found = find_in(dir, program, &lookup.path)))
            break;

    std::wstring here;
    if (find_in(start_dir, program, &here)) {
        lookup.here = program_lookup::program;
        lookup.here_path = here;
    } else {
        lookup.here_path = full_path(joined(start_dir, program));
        DWORD attributes = GetFileAttributesW(lookup.here_path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES)
            lookup.here = attributes & FILE_ATTRIBUTE_DIRECTORY ? program_lookup::directory
                                                                : program_lookup::other_file;
    }
    return lookup;
}

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
