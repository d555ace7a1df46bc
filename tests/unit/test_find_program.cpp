// Finding the program (rules/find_program.cpp) over a disk made of a table:
// how PATH is read, and which file a name stands for, or why none.
#include "rules/find_program.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct path_case {
    const char *name;
    std::wstring value;
    std::vector<std::wstring> folders;
};

const path_case path_cases[] = {
    {"entries in order", L"C:\\a;C:\\b", {L"C:\\a", L"C:\\b"}},
    {"a quoted run holds ';'", L"\"C:\\a;b\";C:\\other", {L"C:\\a;b", L"C:\\other"}},
    {"quotes anywhere are dropped", L"C:\\\"x y\"\\z", {L"C:\\x y\\z"}},
    {"an unclosed quote runs to the end", L"\"C:\\a;b", {L"C:\\a;b"}},
    {"empty entries stay empty", L";;C:\\a;", {L"", L"", L"C:\\a", L""}},
    {"an empty value is one empty entry", L"", {L""}},
};

TEST(reading_path, folders_as_the_interpreter_reads_them)
{
    for (const path_case &row : path_cases) {
        SCOPED_TRACE(row.name);
        std::vector<std::wstring> folders;
        std::vector<wchar_t> folder(row.value.size() + 1);
        size_t length = 0;
        for (const wchar_t *cursor = row.value.c_str();
             pf_next_path_folder(&cursor, folder.data(), &length);)
            folders.push_back(std::wstring(folder.data(), length));
        EXPECT_EQ(folders, row.folders);
    }
}

// A disk as the kernel shows it: relative paths are in C:\cwd, and a name's
// trailing dots and blanks are dropped, except through \\?\.
std::map<std::wstring, pf_path_kind> disk;

std::wstring normalized(const wchar_t *path)
{
    std::wstring text = path;
    if (text.compare(0, 4, L"\\\\?\\") == 0)
        return text;
    if (!(text.size() >= 2 && (text[1] == L':' || text[0] == L'\\')))
        text = L"C:\\cwd\\" + text;
    while (!text.empty() && (text.back() == L'.' || text.back() == L' '))
        text.pop_back();
    return text;
}

pf_path_kind table_kind(void *, const wchar_t *path, bool look_for_image)
{
    auto entry = disk.find(normalized(path));
    if (entry == disk.end())
        return PF_PATH_MISSING;
    return entry->second == PF_PATH_IMAGE && !look_for_image ? PF_PATH_FILE : entry->second;
}

int table_full_path(void *, const wchar_t *path, wchar_t *out)
{
    std::wstring full = normalized(path);
    if (full.size() >= PF_PROGRAM_PATH_CAPACITY)
        return ENAMETOOLONG;
    wcscpy(out, full.c_str());
    return 0;
}

struct search_case {
    const char *name;
    std::wstring program;
    bool search;
    const wchar_t *path_value;
    std::wstring found; // empty when refused
    int error;
};

const search_case search_cases[] = {
    {"a quoted PATH folder holding ';'", L"p.exe", true, L"\"C:\\a;b\";C:\\other", L"C:\\a;b\\p.exe", 0},
    {"without extension", L"p", true, L"C:\\other", L"C:\\other\\p.exe", 0},
    {"no PATH", L"p", true, nullptr, L"", ENOENT},
    {"a directory", L"C:\\dir", false, nullptr, L"", EACCES},
    {"a data file", L"C:\\s\\data.exe", false, nullptr, L"", ENOEXEC},
    {"relative to the start directory", L"q.exe", false, nullptr, L"C:\\cwd\\q.exe", 0},
    // The file system opens x.bat for these, and so the script runs.
    {"trailing dot on a batch file", L"C:\\s\\x.bat.", false, nullptr, L"C:\\s\\x.bat", 0},
    {"trailing blank on a batch file", L"C:\\s\\x.bat ", false, nullptr, L"C:\\s\\x.bat", 0},
    // The interpreter cannot open a script through \\?\: it gets the plain
    // path, or nothing runs.
    {"batch file through \\\\?\\", L"\\\\?\\C:\\s\\x.bat", false, nullptr, L"C:\\s\\x.bat", 0},
    {"batch file through \\\\?\\UNC", L"\\\\?\\UNC\\srv\\sh\\x.cmd", false, nullptr,
     L"\\\\srv\\sh\\x.cmd", 0},
    {"a name only \\\\?\\ can reach", L"\\\\?\\C:\\s\\y.bat.", false, nullptr, L"", EINVAL},
    {"a volume path", L"\\\\?\\Volume{1}\\x.bat", false, nullptr, L"", EINVAL},
    {"a program through \\\\?\\ stays", L"\\\\?\\C:\\other\\p.exe", false, nullptr,
     L"\\\\?\\C:\\other\\p.exe", 0},
};

TEST(finding_program, the_file_the_relay_launches_or_why_none)
{
    disk = {{L"C:\\a;b\\p.exe", PF_PATH_IMAGE}, {L"C:\\other\\p.exe", PF_PATH_IMAGE},
            {L"\\\\?\\C:\\other\\p.exe", PF_PATH_IMAGE}, {L"C:\\dir", PF_PATH_DIRECTORY},
            {L"C:\\s\\data.exe", PF_PATH_FILE}, {L"C:\\cwd\\q.exe", PF_PATH_IMAGE},
            {L"C:\\s\\x.bat", PF_PATH_FILE}, {L"\\\\?\\C:\\s\\x.bat", PF_PATH_FILE},
            {L"\\\\?\\UNC\\srv\\sh\\x.cmd", PF_PATH_FILE}, {L"\\\\?\\C:\\s\\y.bat.", PF_PATH_FILE},
            {L"\\\\?\\Volume{1}\\x.bat", PF_PATH_FILE}};
    const pf_file_probe probe = {table_kind, table_full_path, nullptr};
    for (const search_case &row : search_cases) {
        SCOPED_TRACE(row.name);
        std::vector<wchar_t> scratch(pf_find_program_scratch(row.program.c_str(), row.path_value));
        wchar_t found[PF_PROGRAM_PATH_CAPACITY] = L"";
        int error = pf_find_program(row.program.c_str(), row.search, row.path_value, &probe,
                                    scratch.data(), found);
        EXPECT_EQ(error, row.error);
        if (error == 0)
            EXPECT_EQ(std::wstring(found), row.found);
    }
}

} // namespace
