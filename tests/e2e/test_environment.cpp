// The child's environment and directory: changes that reach only the child,
// and drive-relative paths read by the child's block.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "parent_library_fixture.h"

INSTANTIATE_FOR_RELAYS_AND_DIRECT(ParentLibrary);

// The environment the probe prints, one entry a line, through a capture.
static std::vector<std::string> child_environment(procferry_options o)
{
    procferry_capture_options capture;
    procferry_capture_options_init(&capture);
    procferry_capture_result captured;
    std::vector<std::string> entries;
    if (procferry_capture(&o, &capture, &captured) == PROCFERRY_EXITED) {
        std::string text(captured.out, captured.out_size);
        for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
            entries.push_back(text.substr(at, end - at));
    }
    procferry_capture_free(&captured);
    return entries;
}

TEST_P(ParentLibrary, EnvironmentChangesReachOnlyTheChild)
{
    SetEnvironmentVariableW(L"PF_CALLER", L"kept");
    SetEnvironmentVariableW(L"PF_CASE", L"old");
    std::wstring dir = parent::own_directory();
    std::wstring path_entry = L"PATH=" + dir.substr(0, dir.size() - 1);
    const std::wstring print = L"PROBE_PRINT_ENV=1";
    struct row {
        const char *name;
        std::vector<std::wstring> env;
        uint32_t flags;
        std::vector<std::string> present, absent;
        bool sorted;
    } rows[] = {
        {"set", {print, L"PF_SET=1 2"}, 0, {"PF_CALLER=kept", "PF_SET=1 2"}, {}, true},
        {"set replaces whatever the case", {print, L"pf_case=new"}, 0, {"pf_case=new"}, {"PF_CASE=old"}, true},
        {"unset whatever the case", {print, L"pf_caller"}, 0, {}, {"PF_CALLER=kept"}, true},
        {"later changes win", {print, L"PF_TWICE=1", L"PF_TWICE"}, 0, {}, {"PF_TWICE=1"}, true},
        {"clear", {print, L"B_ONLY=2", L"a_only=1", L"C_ONLY=3"}, PROCFERRY_CLEAR_ENV,
         {"a_only=1", "B_ONLY=2", "C_ONLY=3", "PROBE_PRINT_ENV=1"}, {"PF_CALLER=kept"}, true},
        {"drive directory entries kept", {print, L"=C:=C:\\pf"}, 0, {"=C:=C:\\pf"}, {}, true},
        {"PATH of the block is searched", {print, path_entry}, 0, {}, {}, true},
    };
    for (const row &r : rows) {
        procferry_options o = options();
        std::vector<const wchar_t *> env;
        for (const std::wstring &entry : r.env)
            env.push_back(entry.c_str());
        o.env = env.data();
        o.env_count = env.size();
        o.flags |= r.flags;
        std::wstring bare = L"probe_child.exe";
        if (std::string(r.name) == "PATH of the block is searched") {
            o.program = bare.c_str();
        }
        std::vector<std::string> got = child_environment(o);
        EXPECT_FALSE(got.empty()) << r.name << ": the probe did not run";
        for (const std::string &entry : r.present)
            EXPECT_NE(std::find(got.begin(), got.end(), entry), got.end()) << r.name << ": no " << entry;
        for (const std::string &entry : r.absent)
            EXPECT_EQ(std::find(got.begin(), got.end(), entry), got.end()) << r.name << ": " << entry;
        // The block arrives sorted (wine appends entries of its own after it).
        for (size_t i = 1; r.sorted && i < r.present.size(); ++i)
            EXPECT_LT(std::find(got.begin(), got.end(), r.present[i - 1]),
                      std::find(got.begin(), got.end(), r.present[i]))
                << r.name << ": " << r.present[i - 1] << " after " << r.present[i];
    }
    // In UTF-8, too.
    procferry_options o = options();
    const char *utf8[] = {"PROBE_PRINT_ENV=1", "PF_UTF8=caf\xc3\xa9"};
    o.env_utf8 = utf8;
    o.env_count = 2;
    std::vector<std::string> got = child_environment(o);
    EXPECT_NE(std::find(got.begin(), got.end(), "PF_UTF8=caf\xc3\xa9"), got.end());
    // The caller's own environment is as it was.
    wchar_t value[16];
    EXPECT_EQ(GetEnvironmentVariableW(L"PF_SET", value, 16), 0u);
    EXPECT_EQ(GetEnvironmentVariableW(L"PF_CASE", value, 16), 3u);
    EXPECT_EQ(GetEnvironmentVariableW(L"PF_CALLER", value, 16), 4u);
    SetEnvironmentVariableW(L"PF_CALLER", nullptr);
    SetEnvironmentVariableW(L"PF_CASE", nullptr);
}

// A drive-relative name ("C:prog.exe") on a drive other than the child's
// directory's is taken under that drive's directory in the child's own
// environment, or its root; the lookup names the file the start launches.
TEST_P(ParentLibrary, DriveRelativeProgramsAreFoundWhereTheStartFindsThem)
{
    const std::wstring drive_dir = L"C:\\procferry-drive-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(drive_dir.c_str(), nullptr);
    const std::wstring copied = drive_dir + L"\\pf_drive_probe.exe";
    ASSERT_TRUE(CopyFileW(probe_path().c_str(), copied.c_str(), FALSE));
    ASSERT_NE(towupper(parent::own_directory()[0]), L'C') << "the tests must run on another drive";
    const wchar_t *program = L"C:pf_drive_probe.exe";
    const std::wstring in_changes = L"=C:=" + drive_dir;
    struct row {
        const char *name;
        std::vector<const wchar_t *> env;
        uint32_t flags;
        int kind, error;
    } rows[] = {
        {"the drive's directory among the changes", {in_changes.c_str()}, 0, PROCFERRY_EXITED, 0},
        {"the caller's, inherited", {}, 0, PROCFERRY_EXITED, 0},
        {"a cleared environment has none: the drive's root", {}, PROCFERRY_CLEAR_ENV,
         PROCFERRY_LAUNCH_FAILED, ENOENT},
    };
    for (const row &r : rows) {
        SetEnvironmentVariableW(L"=C:", r.env.empty() ? drive_dir.c_str() : L"C:\\");
        procferry_options o = options();
        o.program = program;
        o.env = r.env.data();
        o.env_count = r.env.size();
        o.flags |= r.flags;
        procferry_result result;
        EXPECT_EQ(procferry_start(&o, &result), r.kind) << r.name;
        EXPECT_EQ(result.error, r.error) << r.name;
        wchar_t found[MAX_PATH] = L"";
        EXPECT_EQ(procferry_find_program_with_env(program, nullptr, r.env.data(), r.env.size(),
                                                  (r.flags & PROCFERRY_CLEAR_ENV) != 0, 0, found, MAX_PATH),
                  r.error)
            << r.name;
        if (r.kind == PROCFERRY_EXITED) {
            EXPECT_EQ(_wcsicmp(found, copied.c_str()), 0) << r.name << ": " << procferry::to_utf8(found);
        }
    }
    // A drive-relative directory: C:sub is under the child's C: directory,
    // with a program of that name in it and another under the caller's.
    const std::wstring caller_dir = drive_dir + L"-caller";
    CreateDirectoryW(caller_dir.c_str(), nullptr);
    for (const std::wstring &base : {drive_dir, caller_dir}) {
        CreateDirectoryW((base + L"\\sub").c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(probe_path().c_str(), (base + L"\\sub\\pf_drive_probe.exe").c_str(), FALSE));
    }
    SetEnvironmentVariableW(L"=C:", caller_dir.c_str());
    struct dir_row {
        const char *name;
        std::vector<const wchar_t *> env;
        uint32_t flags;
        int kind, error;
        std::wstring where;
    } dir_rows[] = {
        {"a directory on the drive of the child's block", {in_changes.c_str()}, 0, PROCFERRY_EXITED, 0,
         drive_dir + L"\\sub"},
        {"a directory on the drive of the caller's, inherited", {}, 0, PROCFERRY_EXITED, 0,
         caller_dir + L"\\sub"},
        {"a directory on a drive a cleared block does not name: its root", {}, PROCFERRY_CLEAR_ENV,
         PROCFERRY_DIR_FAILED, ENOENT, L""},
    };
    for (const dir_row &r : dir_rows) {
        parent::clear_probe_env();
        parent::set_probe_env("PROBE_OUT", probe_out());
        DeleteFileW(probe_out().c_str());
        procferry_options o = options();
        o.program = L"pf_drive_probe.exe";
        o.flags |= PROCFERRY_NO_SEARCH_PATH | r.flags;
        o.dir = L"C:sub";
        o.env = r.env.data();
        o.env_count = r.env.size();
        procferry_result result;
        EXPECT_EQ(procferry_start(&o, &result), r.kind) << r.name;
        EXPECT_EQ(result.error, r.error) << r.name;
        if (r.kind == PROCFERRY_EXITED) {
            EXPECT_EQ(_wcsicmp(probe_report().cwd.c_str(), r.where.c_str()), 0)
                << r.name << ": " << describe(probe_report().cwd);
        }
        wchar_t found[MAX_PATH] = L"";
        EXPECT_EQ(procferry_find_program_with_env(L"pf_drive_probe.exe", L"C:sub", r.env.data(), r.env.size(),
                                                  (r.flags & PROCFERRY_CLEAR_ENV) != 0, 0, found, MAX_PATH),
                  r.kind == PROCFERRY_EXITED ? 0 : ENOENT)
            << r.name;
        if (r.kind == PROCFERRY_EXITED) {
            EXPECT_EQ(_wcsicmp(found, (r.where + L"\\pf_drive_probe.exe").c_str()), 0)
                << r.name << ": " << procferry::to_utf8(found);
        }
    }
    for (const std::wstring &base : {drive_dir, caller_dir}) {
        DeleteFileW((base + L"\\sub\\pf_drive_probe.exe").c_str());
        RemoveDirectoryW((base + L"\\sub").c_str());
    }
    RemoveDirectoryW(caller_dir.c_str());
    SetEnvironmentVariableW(L"=C:", nullptr);
    DeleteFileW(copied.c_str());
    RemoveDirectoryW(drive_dir.c_str());
}
