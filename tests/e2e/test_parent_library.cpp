// The parent library's own promises: one result kind per outcome, children it
// hands over, and starts from many threads that stay apart.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "relay_fixture.h"
#include "relay_start.h"

class ParentLibrary : public RelayTest {
protected:
    procferry_options options() const
    {
        procferry_options o;
        procferry_options_init(&o);
        relay_ = relay_path();
        probe_ = probe_path();
        o.relay = direct() ? nullptr : relay_.c_str();
        o.program = probe_.c_str();
        o.timeout_ms = 15000;
        return o;
    }

private:
    mutable std::wstring relay_, probe_;
};
INSTANTIATE_FOR_RELAYS_AND_DIRECT(ParentLibrary);

static int processes_named(const wchar_t *name)
{
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        count += _wcsicmp(entry.szExeFile, name) == 0;
    CloseHandle(snapshot);
    return count;
}

// Counts by probing, since wine's count of a process's handles stays 0.
static DWORD handle_count()
{
    DWORD count = 0, flags;
    for (uintptr_t value = 4; value < 0x2000; value += 4)
        count += GetHandleInformation((HANDLE)value, &flags) != 0;
    return count;
}

TEST_P(ParentLibrary, EachOutcomeHasItsOwnKind)
{
    const std::wstring missing = scratch() + L"no-such.exe";
    const std::wstring probe = probe_path(); // stands in for a relay that misbehaves
    const char *utf8_args[] = {"caf\xc3\xa9 \xe4\xb8\xad", ""};
    // Not UTF-8: stray bytes, an encoded surrogate, an overlong '/', past U+10FFFF.
    const char *not_utf8[] = {"bad\xff\xfe", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80"};
    // One argument that makes the command text one unit too long, or just fit.
    std::wstring relay_text = relay_path(), probe_text = probe_path();
    procferry_options measured = options();
    wchar_t line_buffer[1024];
    measured.command_line = line_buffer;
    measured.command_line_capacity = 1024;
    const wchar_t *empty_arg[] = {L""};
    measured.args = empty_arg;
    measured.arg_count = 1;
    procferry_result measured_result;
    procferry_start(&measured, &measured_result);
    // With an empty argument: "" plus its blank. The relay's line encloses
    // every argument; the child's text only those that need it.
    const size_t base_length = wcslen(line_buffer) - (direct() ? 2 : 0);
    const std::wstring longest(RELAY_COMMAND_TEXT_LIMIT - 1 - base_length, L'a');
    const std::wstring too_long(RELAY_COMMAND_TEXT_LIMIT - base_length, L'a');
    const wchar_t *longest_args[] = {longest.c_str()}, *too_long_args[] = {too_long.c_str()};
    const std::wstring batch = scratch() + L"relay.bat", command = scratch() + L"relay.cmd",
                       text = scratch() + L"relay.txt", folder = scratch() + L"relay-folder";
    for (const std::wstring &file : {batch, command, text}) {
        FILE *written = _wfopen(file.c_str(), L"wb");
        fputs("@echo off\r\nexit /b 0\r\n", written);
        fclose(written);
    }
    CreateDirectoryW(folder.c_str(), nullptr);
    const wchar_t *bad_env[][2] = {{L"GOOD=1", nullptr}, {L"", nullptr}, {L"=", nullptr}, {L"==x", nullptr}};
    const char *bad_env_utf8[] = {"NAME=bad\xff"};
    const std::wstring longest_value = L"PF_LONG=" + std::wstring(ENV_VALUE_LIMIT - 1, L'v'),
                       too_long_value = L"PF_LONG=" + std::wstring(ENV_VALUE_LIMIT, L'v');
    const wchar_t *long_env[][1] = {{longest_value.c_str()}, {too_long_value.c_str()}};
    wchar_t windows_dir[MAX_PATH], system_dir[MAX_PATH];
    GetWindowsDirectoryW(windows_dir, MAX_PATH);
    GetSystemDirectoryW(system_dir, MAX_PATH);
    const std::wstring verbatim_windows = L"\\\\?\\" + std::wstring(windows_dir),
                       verbatim_dotted = verbatim_windows + L".",
                       wildcard_dir = scratch() + L"no*such",
                       library = std::wstring(system_dir) + L"\\kernel32.dll";
    const bool gui = std::string(GetParam()) == "gui";
    std::vector<procferry_stream> all_extra(PROCFERRY_EXTRA_FD_LIMIT + 1, {PROCFERRY_STREAM_NULL, 0, nullptr});
    const std::wstring streams_path = scratch() + L"streams.txt";
    HANDLE streams_file = CreateFileW(streams_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    const procferry_stream pipe_extra = {PROCFERRY_STREAM_PIPE, 0, nullptr},
                           stdout_extra = {PROCFERRY_STREAM_STDOUT, 0, nullptr},
                           closed_extra = {PROCFERRY_STREAM_FD, 1999, nullptr};
    struct row {
        const char *name;
        std::function<void(procferry_options &)> set_up;
        int kind;
        int error;
        // Without the relay there is no relay to miss or misbehave: the row
        // then says why it does not apply.
        const char *not_direct = nullptr;
        int direct_kind = 0; // when a direct start tells it by another kind
    } rows[] = {
        {"child's status", [](procferry_options &) { parent::set_probe_env("PROBE_EXIT", L"42"); },
         PROCFERRY_EXITED, 0},
        {"UTF-8 texts", [&](procferry_options &o) {
             o.program = nullptr;
             o.program_utf8 = "probe_child.exe";
             o.flags |= PROCFERRY_NO_SEARCH_PATH; // in the directory, not on PATH
             o.dir_utf8 = "."; // beside the tests, where the probe is
             o.args_utf8 = utf8_args;
             o.arg_count = 2;
         }, PROCFERRY_EXITED, 0},
        {"missing directory", [&](procferry_options &o) { o.dir = missing.c_str(); },
         PROCFERRY_DIR_FAILED, ENOENT},
        {"missing program", [&](procferry_options &o) { o.program = missing.c_str(); },
         PROCFERRY_LAUNCH_FAILED, ENOENT},
        // A verbatim directory is the plain one: the child is started there.
        {"verbatim directory", [&](procferry_options &o) { o.dir = verbatim_windows.c_str(); },
         PROCFERRY_EXITED, 0},
        // Only where the plain form names the same directory: with a
        // trailing dot it would name another.
        {"verbatim directory with a trailing dot", [&](procferry_options &o) {
             o.dir = verbatim_dotted.c_str();
         }, PROCFERRY_DIR_FAILED, EINVAL},
        // The errno is the one the Windows runtime's table gives, on every
        // way of starting, whatever the runtime in between would say.
        {"directory name with '*'", [&](procferry_options &o) { o.dir = wildcard_dir.c_str(); },
         PROCFERRY_DIR_FAILED, EINVAL},
        {"a library as the program", [&](procferry_options &o) { o.program = library.c_str(); },
         PROCFERRY_LAUNCH_FAILED, ENOEXEC},
        {"binary streams with the null device", [&](procferry_options &o) {
             o.flags |= PROCFERRY_BINARY_STREAMS;
             for (procferry_stream &stream : o.streams)
                 stream.kind = PROCFERRY_STREAM_NULL;
         }, PROCFERRY_EXITED, 0},
        {"text streams with the null device", [&](procferry_options &o) {
             for (procferry_stream &stream : o.streams)
                 stream.kind = PROCFERRY_STREAM_NULL;
         }, PROCFERRY_EXITED, 0},
        {"missing relay", [&](procferry_options &o) { o.relay = missing.c_str(); },
         PROCFERRY_RELAY_MISSING, ENOENT, "the relay is missing"},
        {"no program", [](procferry_options &o) { o.program = nullptr; },
         PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"program twice", [](procferry_options &o) { o.program_utf8 = "x"; },
         PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"descriptor not open", [](procferry_options &o) {
             o.streams[1].kind = PROCFERRY_STREAM_FD;
             o.streams[1].fd = 1999;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"handle not open", [](procferry_options &o) {
             o.streams[0].kind = PROCFERRY_STREAM_HANDLE;
             o.streams[0].handle = (procferry_handle)(uintptr_t)0x1ffc;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"relay ends without a record", [&](procferry_options &o) {
             o.relay = probe.c_str();
             parent::set_probe_env("PROBE_EXIT", L"7");
         }, PROCFERRY_RELAY_CRASHED, 0, "the relay misbehaves"},
        // A launch reported with -1, which the runtime's spawn can return
        // without an error number: no child, and never the relay itself.
        {"relay reports a launch with the handle -1", [&](procferry_options &o) {
             o.relay = probe.c_str();
             parent::set_probe_env("PROBE_RECORD", L"0,-1");
         }, PROCFERRY_BAD_RECORD, 0, "the relay misbehaves"},
        {"relay ends as after a failed check", [&](procferry_options &o) {
             o.relay = probe.c_str();
             parent::set_probe_env("PROBE_EXIT", L"3");
         }, PROCFERRY_CHECK_REPORT, 0, "the relay misbehaves"},
        {"relay crashes", [&](procferry_options &o) {
             o.relay = probe.c_str();
             parent::set_probe_env("PROBE_CRASH", L"1");
         }, PROCFERRY_RELAY_CRASHED, 0, "the relay misbehaves"},
        {"relay prints a report", [&](procferry_options &o) {
             o.relay = probe.c_str();
             parent::set_probe_env("PROBE_WRITE", L"1");
         }, PROCFERRY_CHECK_REPORT, 0, "the relay misbehaves"},
        // The timeout falls well after the launch: under wine, a relay ended
        // in the middle of starting its child has left that child blocked for
        // good, holding the test's output open.
        {"child still runs at the timeout", [](procferry_options &o) {
             parent::set_probe_env("PROBE_SLEEP_MS", under_emulation() ? L"12000" : L"4000");
             o.timeout_ms = under_emulation() ? 4000 : 500;
         }, PROCFERRY_TIMED_OUT, 0},
        {"timeout of 2^31 ms", [](procferry_options &o) { o.timeout_ms = 0x80000000u; },
         PROCFERRY_EXITED, 0},
        {"no console window", [](procferry_options &o) { o.flags |= PROCFERRY_NO_WINDOW; },
         PROCFERRY_EXITED, 0},
        {"timeout just below infinite", [](procferry_options &o) { o.timeout_ms = 0xfffffffeu; },
         PROCFERRY_EXITED, 0},
        {"command text of 32,767 units", [&](procferry_options &o) {
             o.args = longest_args;
             o.arg_count = 1;
         }, PROCFERRY_EXITED, 0},
        // Through the relay its own line, which is longer, is refused before
        // anything starts; directly the child's launch fails, as the relay's
        // would for that text.
        {"command text one unit too long", [&](procferry_options &o) {
             o.args = too_long_args;
             o.arg_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, E2BIG, nullptr, PROCFERRY_LAUNCH_FAILED},
        {"argument with stray bytes", [&](procferry_options &o) {
             o.args_utf8 = &not_utf8[0];
             o.arg_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"argument with an encoded surrogate", [&](procferry_options &o) {
             o.args_utf8 = &not_utf8[1];
             o.arg_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"argument in an overlong form", [&](procferry_options &o) {
             o.args_utf8 = &not_utf8[2];
             o.arg_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"argument past U+10FFFF", [&](procferry_options &o) {
             o.args_utf8 = &not_utf8[3];
             o.arg_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"program not UTF-8", [&](procferry_options &o) {
             o.program = nullptr;
             o.program_utf8 = not_utf8[0];
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"directory not UTF-8", [&](procferry_options &o) { o.dir_utf8 = not_utf8[2]; },
         PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"relay not UTF-8", [&](procferry_options &o) {
             o.relay = nullptr;
             o.relay_utf8 = not_utf8[1];
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"environment entry not UTF-8", [&](procferry_options &o) {
             o.env_utf8 = bad_env_utf8;
             o.env_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"environment entry NULL", [&](procferry_options &o) {
             o.env = bad_env[0];
             o.env_count = 2;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"environment name empty", [&](procferry_options &o) {
             o.env = bad_env[1];
             o.env_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"environment name only '='", [&](procferry_options &o) {
             o.env = bad_env[2];
             o.env_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"environment name '=' with a value", [&](procferry_options &o) {
             o.env = bad_env[3];
             o.env_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"environment value of 32,766 units", [&](procferry_options &o) {
             o.env = long_env[0];
             o.env_count = 1;
         }, PROCFERRY_EXITED, 0},
        {"environment value past 32,766 units, which would reach the child cut", [&](procferry_options &o) {
             o.env = long_env[1];
             o.env_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, E2BIG},
        {"a pipe in wait mode, whose end would come too late", [](procferry_options &o) {
             o.streams[1].kind = PROCFERRY_STREAM_PIPE;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"environment count without entries", [](procferry_options &o) { o.env_count = 1; },
         PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"environment in both forms", [&](procferry_options &o) {
             o.env = bad_env[0];
             o.env_utf8 = bad_env_utf8;
             o.env_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"stdout as stdout", [](procferry_options &o) { o.streams[1].kind = PROCFERRY_STREAM_STDOUT; },
         PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"no descriptor as a standard stream", [](procferry_options &o) {
             o.streams[0].kind = PROCFERRY_STREAM_NONE;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        // Through the relay the streams handed over come after the extra
        // descriptors, and the null device needs a free number there.
        {"as many extra descriptors as a child keeps", [&](procferry_options &o) {
             o.extra_fds = all_extra.data();
             o.extra_fd_count = PROCFERRY_EXTRA_FD_LIMIT;
             o.streams[0].kind = PROCFERRY_STREAM_NULL;
             o.streams[1] = {PROCFERRY_STREAM_HANDLE, 0, streams_file};
             o.streams[2].kind = PROCFERRY_STREAM_STDOUT;
             parent::set_probe_env("PROBE_WRITE", L"1");
         }, PROCFERRY_EXITED, 0},
        {"one extra descriptor more", [&](procferry_options &o) {
             o.extra_fds = all_extra.data();
             o.extra_fd_count = PROCFERRY_EXTRA_FD_LIMIT + 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"extra descriptor count without its list", [](procferry_options &o) { o.extra_fd_count = 1; },
         PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"extra descriptor as a pipe of the library's", [&](procferry_options &o) {
             o.extra_fds = &pipe_extra;
             o.extra_fd_count = 1;
             o.flags |= PROCFERRY_NO_WAIT;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"extra descriptor as stdout", [&](procferry_options &o) {
             o.extra_fds = &stdout_extra;
             o.extra_fd_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"extra descriptor not open", [&](procferry_options &o) {
             o.extra_fds = &closed_extra;
             o.extra_fd_count = 1;
         }, PROCFERRY_INVALID_ARGUMENT, EINVAL},
        {"relay is a batch file", [&](procferry_options &o) { o.relay = batch.c_str(); },
         PROCFERRY_RELAY_MISSING, ENOEXEC, "the relay is a batch file"},
        {"relay is a command script", [&](procferry_options &o) { o.relay = command.c_str(); },
         PROCFERRY_RELAY_MISSING, ENOEXEC, "the relay is a command script"},
        {"relay is a text file", [&](procferry_options &o) { o.relay = text.c_str(); },
         PROCFERRY_RELAY_MISSING, ENOEXEC, "the relay is a text file"},
        {"relay is a directory", [&](procferry_options &o) { o.relay = folder.c_str(); },
         PROCFERRY_RELAY_MISSING, EACCES, "the relay is a directory"},
        {"default relay beside the program", [&](procferry_options &o) {
             o.relay = nullptr;
             o.flags |= gui ? PROCFERRY_GUI_RELAY : PROCFERRY_RELAY;
         }, PROCFERRY_EXITED, 0, "the relay is looked for beside the program"},
    };
    for (const row &r : rows) {
        if (direct() && r.not_direct) {
            printf("not direct: %s (%s)\n", r.name, r.not_direct);
            continue;
        }
        const int expected_kind = direct() && r.direct_kind ? r.direct_kind : r.kind;
        parent::clear_probe_env();
        parent::set_probe_env("PROBE_OUT", probe_out());
        procferry_options o = options();
        r.set_up(o);
        std::wstring old_dir(MAX_PATH, L'\0');
        old_dir.resize(GetCurrentDirectoryW(MAX_PATH, &old_dir[0]));
        SetCurrentDirectoryW(parent::own_directory().c_str());
        procferry_result result;
        DWORD handles = handle_count();
        DWORD start = GetTickCount();
        int kind = procferry_start(&o, &result);
        DWORD elapsed = GetTickCount() - start;
        // The result alone carries the words the options would give.
        char kept[PROCFERRY_WORDS_SIZE], worked_out[PROCFERRY_WORDS_SIZE];
        procferry_describe(nullptr, &result, kept, sizeof kept);
        procferry_describe(&o, &result, worked_out, sizeof worked_out);
        EXPECT_STREQ(kept, worked_out) << r.name;
        SetCurrentDirectoryW(old_dir.c_str());
        EXPECT_EQ(handle_count(), handles) << r.name << ": a handle was left open";
        EXPECT_EQ(processes_named(L"probe_child.exe"), 0) << r.name << ": a process was left running";
        EXPECT_EQ(kind, expected_kind) << r.name << ": " << procferry_kind_name(kind);
        EXPECT_EQ(result.kind, kind) << r.name;
        EXPECT_EQ(result.error, r.error) << r.name;
        EXPECT_EQ(result.child, nullptr) << r.name;
        EXPECT_LT(elapsed, under_emulation() ? 12000u : 3000u) << r.name;
        if (std::string(r.name) == "child's status") {
            EXPECT_EQ(result.exit_status, 42u);
            EXPECT_NE(result.pid, 0u) << "the library waits for the child itself and knows it";
        }
        if (std::string(r.name) == "child still runs at the timeout") {
            // Not the relay's fault: it reported the launch in time.
            char words[1024];
            procferry_describe(&o, &result, words, sizeof words);
            EXPECT_NE(strstr(words, "still ran after"), nullptr) << words;
            EXPECT_NE(result.pid, 0u);
        }
        if (std::string(r.name) == "verbatim directory") {
            EXPECT_EQ(_wcsicmp(probe_report().cwd.c_str(), windows_dir), 0) << describe(probe_report().cwd);
        }
        if (std::string(r.name) == "binary streams with the null device") {
            EXPECT_EQ(probe_report().modes, "bbb");
        }
        if (std::string(r.name) == "text streams with the null device") {
            EXPECT_EQ(probe_report().modes, "ttt");
        }
        if (std::string(r.name) == "command text of 32,767 units") {
            ASSERT_EQ(probe_report().argv.size(), 2u);
            EXPECT_EQ(probe_report().argv[1], longest) << "the argument arrived cut";
        }
        if (std::string(r.name) == "as many extra descriptors as a child keeps") {
            std::vector<int> fds = probe_report().fds;
            ASSERT_GE(fds.size(), (size_t)PROCFERRY_EXTRA_FD_LIMIT);
            EXPECT_EQ(fds.back(), 2 + PROCFERRY_EXTRA_FD_LIMIT);
            EXPECT_EQ(fds[fds.size() - PROCFERRY_EXTRA_FD_LIMIT], 3);
            char written[64] = {};
            DWORD count = 0;
            SetFilePointer(streams_file, 0, nullptr, FILE_BEGIN);
            ReadFile(streams_file, written, sizeof written - 1, &count, nullptr);
            EXPECT_STREQ(written, "probe-stdout\r\nprobe-stderr\r\n") << "the streams went astray";
        }
        if (std::string(r.name) == "default relay beside the program") {
            EXPECT_EQ(std::wstring(result.relay.path), relay_path());
        }
        if (kind == PROCFERRY_RELAY_MISSING) {
            EXPECT_EQ(std::wstring(result.relay.path), std::wstring(o.relay)) << r.name;
        }
        if (std::string(r.name) == "UTF-8 texts") {
            ASSERT_EQ(probe_report().argv.size(), 3u);
            EXPECT_EQ(probe_report().argv[1], L"caf\u00e9 \u4e2d");
            EXPECT_EQ(probe_report().argv[2], L"");
        }
        if (kind == PROCFERRY_RELAY_CRASHED) {
            EXPECT_TRUE(result.relay.exit_status == 7 || is_null_write_crash(result.relay.exit_status))
                << std::hex << result.relay.exit_status;
        }
        if (std::string(r.name) == "relay prints a report") {
            EXPECT_STREQ(result.relay.check_report, "probe-stderr\n");
        }
        DeleteFileW(probe_out().c_str());
    }
    CloseHandle(streams_file);
}

TEST_P(ParentLibrary, NoWaitChildIsTheCallersToOpenWaitForAndEnd)
{
    parent::clear_probe_env();
    parent::set_probe_env("PROBE_SLEEP_MS", L"60000");
    procferry_options o = options();
    o.flags = PROCFERRY_NO_WAIT;
    procferry_result result;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    EXPECT_EQ(result.relay.ended, direct() ? 0 : 1);
    EXPECT_EQ(result.relay.exit_status, (uint32_t)RELAY_EXIT_RELEASED);
    ASSERT_NE(result.pid, 0u);
    EXPECT_EQ(GetProcessId((HANDLE)procferry_child_process(result.child)), result.pid);
    // The record's value, a handle of the relay's, became one of ours; the
    // process id opens the same child.
    HANDLE opened = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, result.pid);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(WaitForSingleObject(opened, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(procferry_child_wait(result.child, 100, nullptr), PROCFERRY_TIMED_OUT);
    EXPECT_EQ(procferry_child_kill(result.child, 9), 0);
    uint32_t status = 0;
    EXPECT_EQ(procferry_child_wait(result.child, 5000, &status), 0);
    EXPECT_EQ(status, 9u);
    EXPECT_EQ(procferry_child_kill(result.child, 9), 0) << "an ended child counts as ended";
    EXPECT_EQ(WaitForSingleObject(opened, 0), (DWORD)WAIT_OBJECT_0);
    CloseHandle(opened);
    EXPECT_EQ(procferry_child_stop(result.child, 100, 5), PROCFERRY_STOPPED_WHEN_ASKED)
        << "an ended child needs no asking";
    procferry_child_close(result.child);

    // A console child of the caller's own process group and without windows
    // has nobody to ask: its tree is ended at once, and the stop says so.
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    DWORD asked = GetTickCount();
    EXPECT_EQ(procferry_child_stop(result.child, 20000, 9), PROCFERRY_STOPPED_UNASKED);
    EXPECT_LT(GetTickCount() - asked, 10000u) << "the grace period is for a child that was asked";
    EXPECT_EQ(procferry_child_wait(result.child, 5000, &status), 0);
    EXPECT_EQ(status, 9u);
    procferry_child_close(result.child);

    // A child with a window is asked to close it, and ends of itself.
    parent::set_probe_env("PROBE_SLEEP_MS", L"0");
    parent::set_probe_env("PROBE_WINDOW", L"1");
    parent::set_probe_env("PROBE_EXIT", L"4");
    o.streams[1].kind = PROCFERRY_STREAM_PIPE;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    std::string said;
    char byte;
    while (said.find('\n') == std::string::npos && procferry_pipe_read(result.pipes[1], &byte, 1) == 1)
        said += byte;
    procferry_pipe_close(result.pipes[1]);
    ASSERT_EQ(said, "window\r\n") << "the probe could not make a window: wine needs a display "
                                     "or its null graphics driver (scripts/env.sh sets it in the project's own prefix)";
    EXPECT_EQ(procferry_child_stop(result.child, 20000, 9), PROCFERRY_STOPPED_WHEN_ASKED);
    EXPECT_EQ(procferry_child_wait(result.child, 5000, &status), 0);
    EXPECT_EQ(status, 4u) << "ended, not closed";
    procferry_child_close(result.child);

    // A windowed program asked at once, before it made its window, gets its
    // grace period: its window is looked for again, and it closes.
    wchar_t windows_dir[MAX_PATH];
    GetWindowsDirectoryW(windows_dir, MAX_PATH);
    const std::wstring notepad = std::wstring(windows_dir) + L"\\notepad.exe";
    procferry_options windowed = o;
    windowed.program = notepad.c_str();
    windowed.streams[1].kind = PROCFERRY_STREAM_INHERIT;
    ASSERT_EQ(procferry_start(&windowed, &result), PROCFERRY_STARTED);
    EXPECT_EQ(procferry_child_stop(result.child, 20000, 9), PROCFERRY_STOPPED_WHEN_ASKED);
    EXPECT_EQ(procferry_child_wait(result.child, 5000, &status), 0);
    EXPECT_EQ(status, 0u) << "closed, not ended";
    procferry_child_close(result.child);

    // A child that ended already: a stop still ends what it started, after
    // the grace period, as a kill would.
    parent::clear_probe_env();
    parent::set_probe_env("PROBE_SPAWN", L"hold");
    parent::set_probe_env("PROBE_SLEEP_MS", L"60000");
    o.streams[1].kind = PROCFERRY_STREAM_INHERIT;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED) << result.words;
    EXPECT_EQ(procferry_child_wait(result.child, 10000, &status), 0);
    EXPECT_EQ(processes_named(L"probe_child.exe"), 1) << "the grandchild runs";
    EXPECT_EQ(procferry_child_stop(result.child, 200, 9), PROCFERRY_STOPPED_WHEN_ASKED);
    for (int tries = 0; tries < 50 && processes_named(L"probe_child.exe") != 0; ++tries)
        Sleep(100);
    EXPECT_EQ(processes_named(L"probe_child.exe"), 0) << "the stop left a grandchild running";
    procferry_child_close(result.child);
    parent::clear_probe_env();
}

TEST_P(ParentLibrary, StreamsFromHandlesAndDescriptorsAreBorrowed)
{
    // Private pipe ends of the caller's: the library hands the relay copies,
    // and none of them outlives the child, so each pipe ends with it.
    HANDLE out_read, out_write;
    ASSERT_TRUE(CreatePipe(&out_read, &out_write, nullptr, 0));
    int err_ends[2];
    ASSERT_EQ(_pipe(err_ends, 4096, _O_BINARY | _O_NOINHERIT), 0);
    parent::set_probe_env("PROBE_WRITE", L"1");
    procferry_options o = options();
    o.streams[1].kind = PROCFERRY_STREAM_HANDLE;
    o.streams[1].handle = out_write;
    o.streams[2].kind = PROCFERRY_STREAM_FD;
    o.streams[2].fd = err_ends[1];
    procferry_result result;
    EXPECT_EQ(procferry_start(&o, &result), PROCFERRY_EXITED);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(out_write, &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << "the caller's handle was changed";
    CloseHandle(out_write);
    _close(err_ends[1]);
    int out_fd = _open_osfhandle((intptr_t)out_read, _O_RDONLY | _O_BINARY);
    bool out_eof = false, err_eof = false;
    // In text mode, as a program's standard streams start.
    EXPECT_EQ(parent::read_pipe_until_eof(out_fd, 5000, &out_eof), "probe-stdout\r\n");
    EXPECT_EQ(parent::read_pipe_until_eof(err_ends[0], 5000, &err_eof), "probe-stderr\r\n");
    EXPECT_TRUE(out_eof && err_eof);
    _close(out_fd);
    _close(err_ends[0]);
}

TEST_P(ParentLibrary, ExtraDescriptorsReachTheChildAtTheirNumbers)
{
    // 3: a side channel; 4: none; 5: the null device; 6: a file by
    // descriptor; 7: the caller's own descriptor 7, another copy of the
    // side channel.
    procferry_handle side_read, side_write;
    ASSERT_EQ(procferry_pipe_make(&side_read, &side_write), 0);
    const std::wstring file = scratch() + L"read by number.txt";
    FILE *written = _wfopen(file.c_str(), L"wb");
    fclose(written);
    int file_fd = _wopen(file.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    HANDLE own_copy;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), side_write, GetCurrentProcess(), &own_copy, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    int own_fd = _open_osfhandle((intptr_t)own_copy, _O_WRONLY | _O_BINARY | _O_NOINHERIT);
    ASSERT_EQ(_dup2(own_fd, 7), 0);
    _close(own_fd);
    const procferry_stream extra[] = {{PROCFERRY_STREAM_HANDLE, 0, side_write},
                                      {PROCFERRY_STREAM_NONE, 0, nullptr},
                                      {PROCFERRY_STREAM_NULL, 0, nullptr},
                                      {PROCFERRY_STREAM_FD, file_fd, nullptr},
                                      {PROCFERRY_STREAM_INHERIT, 0, nullptr}};
    parent::set_probe_env("PROBE_FD_WRITE", L"3,4,5,7");
    procferry_options o = options();
    o.extra_fds = extra;
    o.extra_fd_count = 5;
    procferry_result result;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_EXITED);
    std::vector<int> fds = probe_report().fds;
    fds.erase(fds.begin(), std::find_if(fds.begin(), fds.end(), [](int fd) { return fd >= 3; }));
    EXPECT_EQ(fds, (std::vector<int>{3, 5, 6, 7})) << "the relay's channels, or a descriptor too many";
    // The caller's own ends are the caller's still: nothing holds the pipe
    // once they are closed, and what came is in binary mode.
    _close(7);
    procferry_pipe_close(side_write);
    std::string side;
    char bytes[256];
    for (long count; (count = procferry_pipe_read(side_read, bytes, sizeof bytes)) > 0;)
        side.append(bytes, count);
    EXPECT_EQ(side, "fd 3\nfd 7\n");
    procferry_pipe_close(side_read);
    _close(file_fd);

    // The caller's own descriptor 1999, which it does not have: the words
    // name it.
    std::vector<procferry_stream> gap(1996, {PROCFERRY_STREAM_NONE, 0, nullptr});
    gap.push_back({PROCFERRY_STREAM_INHERIT, 0, nullptr});
    o.extra_fds = gap.data();
    o.extra_fd_count = gap.size();
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_INVALID_ARGUMENT);
    char words[512];
    procferry_describe(&o, &result, words, sizeof words);
    EXPECT_NE(strstr(words, "descriptor 1999 names no file"), nullptr) << words;
}

TEST_P(ParentLibrary, ConcurrentStartsKeepTheirChannelsApart)
{
    // Each thread's relay ends while the children of the others still run;
    // a channel end leaked into any of them would hold off its end-of-file.
    const int threads = 8, starts_per_thread = 25;
    parent::set_probe_env("PROBE_OUT", L"");
    parent::set_probe_env("PROBE_SLEEP_MS", L"300");
    std::atomic<int> records{0}, eofs{0}, worst_eof_ms{0};
    std::atomic<int> failed_starts{0};
    procferry_options o = options();
    o.flags = PROCFERRY_NO_WAIT;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; direct() && i < starts_per_thread; ++i) {
                // Without the relay the child's own stdout pipe stands for
                // the channels: an end leaked into another child would hold
                // off its end-of-file past the child's end.
                procferry_options piped = o;
                piped.streams[1].kind = PROCFERRY_STREAM_PIPE;
                procferry_result started;
                if (procferry_start(&piped, &started) != PROCFERRY_STARTED) {
                    if (++failed_starts == 1)
                        printf("first failed start: %s, errno %d, error %u\n",
                               procferry_kind_name(started.kind), started.error,
                               (unsigned)started.win32_error);
                    continue;
                }
                ++records;
                int out_fd = _open_osfhandle((intptr_t)started.pipes[1], _O_RDONLY | _O_BINARY);
                procferry_child_wait(started.child, 10000, nullptr);
                DWORD child_ended = GetTickCount();
                bool eof = false;
                parent::read_pipe_until_eof(out_fd, 5000, &eof);
                if (eof) {
                    ++eofs;
                    int delay = (int)(GetTickCount() - child_ended);
                    for (int seen = worst_eof_ms; delay > seen && !worst_eof_ms.compare_exchange_weak(seen, delay);)
                        ;
                }
                _close(out_fd);
                procferry_child_close(started.child);
            }
            for (int i = 0; !direct() && i < starts_per_thread; ++i) {
                pf_session session;
                procferry_result failure;
                if (pf_session_start_options(&o, &session, &failure) != 0) {
                    if (++failed_starts == 1)
                        printf("first failed start: %s, errno %d, error %u\n",
                               procferry_kind_name(failure.kind), failure.error,
                               (unsigned)failure.win32_error);
                    continue;
                }
                pf_record record = {0, 0};
                procferry_child *child = nullptr;
                int bytes = pf_session_read_record(&session, 15000, &record);
                if (bytes == RELAY_RECORD_SIZE && record.code == RELAY_OK) {
                    ++records;
                    child = pf_session_take_child(&session, record.value);
                } else {
                    printf("a start without a launch: %d bytes, record (%d, %d)\n", bytes,
                           (int)record.code, (int)record.value);
                }
                pf_session_release(&session, 1);
                pf_session_wait_relay(&session, 10000, nullptr);
                DWORD relay_ended = GetTickCount();
                if (pf_session_read_record(&session, 5000, nullptr) == 0) {
                    ++eofs;
                    int delay = (int)(GetTickCount() - relay_ended);
                    for (int seen = worst_eof_ms; delay > seen && !worst_eof_ms.compare_exchange_weak(seen, delay);)
                        ;
                }
                pf_session_close(&session);
                if (child) {
                    procferry_child_wait(child, 10000, nullptr);
                    procferry_child_close(child);
                }
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    const int total = threads * starts_per_thread;
    EXPECT_EQ(failed_starts.load(), 0);
    printf("concurrent starts: %d, records: %d, end-of-file seen: %d, worst end-of-file delay: %d ms\n",
           total, records.load(), eofs.load(), worst_eof_ms.load());
    EXPECT_EQ(records.load(), total);
    EXPECT_EQ(eofs.load(), total);
    EXPECT_LT(worst_eof_ms.load(), under_emulation() ? 1000 : 200);
}

TEST_P(ParentLibrary, StreamHandlesThatAreNoFileAreRefused)
{
    // The relay's runtime drops a descriptor behind which it finds no file,
    // pipe or device: the child would write to the caller's own stream.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
    struct row {
        const char *name;
        procferry_handle handle;
    } rows[] = {
        {"INVALID_HANDLE_VALUE (the caller's own process)", INVALID_HANDLE_VALUE},
        {"GetCurrentThread()", GetCurrentThread()},
        {"an event", event},
        {"a process", process},
        {"a closed handle", (procferry_handle)(uintptr_t)0x1ffc},
    };
    for (const row &r : rows) {
        procferry_options o = options();
        o.streams[1] = {PROCFERRY_STREAM_HANDLE, 0, r.handle};
        procferry_result result;
        EXPECT_EQ(procferry_start(&o, &result), PROCFERRY_INVALID_ARGUMENT) << r.name;
        EXPECT_EQ(result.error, EINVAL) << r.name;
    }
    CloseHandle(event);
    CloseHandle(process);
    uint32_t status = 77;
    EXPECT_EQ(procferry_child_wait(nullptr, PROCFERRY_INFINITE, &status), -1);
    EXPECT_EQ(procferry_child_kill(nullptr, 5), -1);
    EXPECT_EQ(status, 77u);
}

// Ends every probe still running; the tests that leave some on purpose call it.
static void end_probes()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"probe_child.exe") != 0)
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
}

// Waits up to timeout_ms for the number of running probes to become count.
static bool probes_become(int count, DWORD timeout_ms)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeout_ms; Sleep(20))
        if (processes_named(L"probe_child.exe") == count)
            return true;
    return processes_named(L"probe_child.exe") == count;
}

TEST_P(ParentLibrary, TimeoutKillAndCloseEndTheWholeTreeOrNot)
{
    // The probe starts a second probe and both sleep: the grandchild is what
    // a job-less end would leave behind.
    const std::wstring batch = scratch() + L"run probe.bat";
    {
        FILE *written = _wfopen(batch.c_str(), L"wb");
        fprintf(written, "@\"%s\"\r\n", procferry::to_utf8(probe_path()).c_str());
        fclose(written);
    }
    enum action { WAIT_TIMEOUT_ENDS, KILL, CLOSE, CLOSE_KILLING };
    struct row {
        const char *name;
        bool batch;
        action act;
        int left_running;
        const wchar_t *spawn = L"1";
    } rows[] = {
        {"wait-mode timeout", false, WAIT_TIMEOUT_ENDS, 0},
        {"wait-mode timeout of a batch file", true, WAIT_TIMEOUT_ENDS, 0},
        {"kill", false, KILL, 0},
        {"kill leaves a grandchild that broke away from the job", false, KILL, 1, L"breakaway"},
        {"close", false, CLOSE, 2},
        {"close with PROCFERRY_KILL_ON_CLOSE", false, CLOSE_KILLING, 0},
    };
    for (const row &r : rows) {
        parent::clear_probe_env();
        parent::set_probe_env("PROBE_SLEEP_MS", L"60000");
        parent::set_probe_env("PROBE_SPAWN", r.spawn);
        procferry_options o = options();
        if (r.batch)
            o.program = batch.c_str();
        if (r.act == WAIT_TIMEOUT_ENDS) {
            o.timeout_ms = 3000;
            procferry_result result;
            EXPECT_EQ(procferry_start(&o, &result), PROCFERRY_TIMED_OUT) << r.name;
        } else {
            o.flags |= PROCFERRY_NO_WAIT | (r.act == CLOSE_KILLING ? PROCFERRY_KILL_ON_CLOSE : 0);
            procferry_result result;
            ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED) << r.name;
            EXPECT_TRUE(probes_become(2, 10000)) << r.name << ": the grandchild did not start";
            if (r.act == KILL) {
                EXPECT_EQ(procferry_child_kill(result.child, 9), 0) << r.name;
                uint32_t status = 0;
                EXPECT_EQ(procferry_child_wait(result.child, 5000, &status), 0) << r.name;
                EXPECT_EQ(status, 9u) << r.name;
            }
            procferry_child_close(result.child);
        }
        EXPECT_TRUE(probes_become(r.left_running, 5000))
            << r.name << ": " << processes_named(L"probe_child.exe") << " probes running";
        end_probes();
    }
}

TEST_P(ParentLibrary, StrayInheritableHandlesOfTheCallerStayWithTheCaller)
{
    // An inheritable pipe end of the caller's, nothing to do with the start:
    // were it to reach the relay or child, its reader would see end-of-file
    // only once the child ends.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end, write_end;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inheritable, 0));
    parent::set_probe_env("PROBE_SLEEP_MS", L"5000");
    procferry_options o = options();
    o.flags = PROCFERRY_NO_WAIT;
    procferry_result result;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    CloseHandle(write_end);
    int read_fd = _open_osfhandle((intptr_t)read_end, _O_RDONLY | _O_BINARY);
    bool eof = false;
    parent::read_pipe_until_eof(read_fd, 2000, &eof);
    EXPECT_TRUE(eof) << "the child holds the caller's pipe";
    EXPECT_EQ(procferry_child_wait(result.child, 0, nullptr), PROCFERRY_TIMED_OUT)
        << "the child ended before the check";
    procferry_child_kill(result.child, 1);
    procferry_child_close(result.child);
    _close(read_fd);
}

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

TEST_P(ParentLibrary, PipesHandTheCallerItsEnds)
{
    struct row {
        const char *name;
        int kinds[3];
        const char *input;
        std::string expected[3];
    } rows[] = {
        {"stdout", {PROCFERRY_STREAM_NULL, PROCFERRY_STREAM_PIPE, PROCFERRY_STREAM_NULL}, nullptr,
         {"", "probe-stdout\r\n", ""}},
        {"stderr", {PROCFERRY_STREAM_NULL, PROCFERRY_STREAM_NULL, PROCFERRY_STREAM_PIPE}, nullptr,
         {"", "", "probe-stderr\r\n"}},
        {"stderr into the stdout pipe", {PROCFERRY_STREAM_NULL, PROCFERRY_STREAM_PIPE, PROCFERRY_STREAM_STDOUT},
         nullptr, {"", "probe-stdout\r\nprobe-stderr\r\n", ""}},
        {"all three", {PROCFERRY_STREAM_PIPE, PROCFERRY_STREAM_PIPE, PROCFERRY_STREAM_PIPE}, "echoed\n",
         {"", "probe-stdout\r\nechoed\r\n", "probe-stderr\r\n"}},
    };
    for (const row &r : rows) {
        parent::set_probe_env("PROBE_WRITE", L"1");
        parent::set_probe_env("PROBE_ECHO", r.input ? L"1" : L"");
        procferry_options o = options();
        o.flags = PROCFERRY_NO_WAIT;
        for (int n = 0; n < 3; ++n)
            o.streams[n].kind = r.kinds[n];
        procferry_result result;
        ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED) << r.name;
        for (int n = 0; n < 3; ++n) {
            bool pipe = r.kinds[n] == PROCFERRY_STREAM_PIPE;
            EXPECT_EQ(result.pipes[n] != nullptr, pipe) << r.name << ": stream " << n;
            DWORD flags = 0;
            if (pipe) {
                EXPECT_TRUE(GetHandleInformation(result.pipes[n], &flags));
                EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << r.name << ": the caller's end is inheritable";
            }
        }
        if (result.pipes[0]) {
            DWORD written;
            WriteFile(result.pipes[0], r.input, (DWORD)strlen(r.input), &written, nullptr);
            CloseHandle(result.pipes[0]);
        }
        for (int n = 1; n < 3; ++n) {
            if (!result.pipes[n])
                continue;
            int fd = _open_osfhandle((intptr_t)result.pipes[n], _O_RDONLY | _O_BINARY);
            bool eof = false;
            EXPECT_EQ(parent::read_pipe_until_eof(fd, 5000, &eof), r.expected[n]) << r.name;
            EXPECT_TRUE(eof) << r.name;
            _close(fd);
        }
        EXPECT_EQ(procferry_child_wait(result.child, 5000, nullptr), 0) << r.name;
        procferry_child_close(result.child);
    }
}

TEST_P(ParentLibrary, CaptureNeverDeadlocksAndKeepsWhatItMay)
{
    const std::string input(1 << 20, 'i'); // more than a pipe holds
    const size_t big = (size_t)100 << 20;
    struct row {
        const char *name;
        std::vector<std::pair<const char *, const wchar_t *>> env;
        const std::string *input;
        size_t out_cap;
        uint32_t timeout_ms;
        bool merged;
        int kind;
        std::string out, err;
        size_t out_size;
        bool out_capped;
        uint32_t flags = PROCFERRY_BINARY_STREAMS; // bytes as written, sizes as counted
        uint32_t status = 0;
        int left_running = 0;
        uint32_t within_ms = 0; // 0: the timeout and some
        int64_t drain_ms = -1;  // -1: the default
    } rows[] = {
        {"text mode by default", {{"PROBE_WRITE", L"1"}}, nullptr, 1 << 20, 15000, false,
         PROCFERRY_EXITED, "probe-stdout\r\n", "probe-stderr\r\n", 14, false, 0},
        {"output of both streams", {{"PROBE_WRITE", L"1"}}, nullptr, 1 << 20, 15000, false,
         PROCFERRY_EXITED, "probe-stdout\n", "probe-stderr\n", 13, false},
        {"stderr into stdout", {{"PROBE_WRITE", L"1"}}, nullptr, 1 << 20, 15000, true,
         PROCFERRY_EXITED, "probe-stdout\nprobe-stderr\n", "", 26, false},
        {"input larger than a pipe, echoed", {{"PROBE_ECHO", L"1"}}, &input, 2 << 20, 15000, false,
         PROCFERRY_EXITED, input, "", input.size(), false},
        {"child that never reads its input", {{"PROBE_WRITE", L"1"}}, &input, 1 << 20, 15000, false,
         PROCFERRY_EXITED, "probe-stdout\n", "probe-stderr\n", 13, false},
        {"output exactly at the cap", {{"PROBE_WRITE_BYTES", L"1000"}}, nullptr, 1000, 15000, false,
         PROCFERRY_EXITED, std::string(1000, 'x'), "", 1000, false},
        {"100 MiB past a 1 MiB cap", {{"PROBE_WRITE_BYTES", L"104857600"}}, nullptr, 1 << 20, 120000,
         false, PROCFERRY_EXITED, std::string(1 << 20, 'x'), "", 1 << 20, true},
        {"timeout keeps what was read", {{"PROBE_WRITE", L"1"}, {"PROBE_SLEEP_MS", L"60000"}}, nullptr,
         1 << 20, 2000, false, PROCFERRY_TIMED_OUT, "probe-stdout\n", "probe-stderr\n", 13, false},
        // The grandchild is not the child: it is left running.
        {"a grandchild holding the outputs, timeout", {{"PROBE_WRITE", L"1"}, {"PROBE_EXIT", L"3"},
         {"PROBE_SPAWN", L"hold"}, {"PROBE_SLEEP_MS", L"10000"}}, nullptr, 1 << 20, 6000, false,
         PROCFERRY_EXITED, "probe-stdout\n", "probe-stderr\n", 13, false, PROCFERRY_BINARY_STREAMS,
         3, 1, 5000},
        {"a grandchild holding the outputs, no timeout", {{"PROBE_WRITE", L"1"}, {"PROBE_EXIT", L"3"},
         {"PROBE_SPAWN", L"hold"}, {"PROBE_SLEEP_MS", L"10000"}}, nullptr, 1 << 20,
         PROCFERRY_INFINITE, false, PROCFERRY_EXITED, "probe-stdout\n", "probe-stderr\n", 13, false,
         PROCFERRY_BINARY_STREAMS, 3, 1, 5000},
        {"a grandchild holding the outputs, no drain time", {{"PROBE_WRITE", L"1"}, {"PROBE_EXIT", L"3"},
         {"PROBE_SPAWN", L"hold"}, {"PROBE_SLEEP_MS", L"10000"}}, nullptr, 1 << 20,
         PROCFERRY_INFINITE, false, PROCFERRY_EXITED, "probe-stdout\n", "probe-stderr\n", 13, false,
         PROCFERRY_BINARY_STREAMS, 3, 1, 4000, 0},
    };
    (void)big;
    for (const row &r : rows) {
        parent::clear_probe_env();
        for (const auto &setting : r.env)
            parent::set_probe_env(setting.first, setting.second);
        procferry_options o = options();
        o.timeout_ms = r.timeout_ms;
        o.flags |= r.flags;
        if (r.merged)
            o.streams[2].kind = PROCFERRY_STREAM_STDOUT;
        procferry_capture_options capture;
        procferry_capture_options_init(&capture);
        capture.stdout_cap = r.out_cap;
        if (r.drain_ms >= 0)
            capture.drain_ms = (uint32_t)r.drain_ms;
        if (r.input) {
            capture.input = r.input->data();
            capture.input_size = r.input->size();
        }
        procferry_capture_result captured;
        DWORD start = GetTickCount();
        EXPECT_EQ(procferry_capture(&o, &capture, &captured), r.kind) << r.name;
        EXPECT_LT(GetTickCount() - start, r.within_ms ? r.within_ms : r.timeout_ms + 5000) << r.name;
        EXPECT_EQ(captured.result.kind, r.kind) << r.name;
        EXPECT_EQ(captured.result.exit_status, r.status) << r.name;
        EXPECT_EQ(captured.out_size, r.out_size) << r.name;
        EXPECT_TRUE(std::string(captured.out, captured.out_size) == r.out) << r.name;
        EXPECT_EQ(std::string(captured.err, captured.err_size), r.err) << r.name;
        EXPECT_EQ(captured.out_capped != 0, r.out_capped) << r.name;
        EXPECT_EQ(captured.out[captured.out_size], '\0') << r.name;
        EXPECT_EQ(captured.result.child, nullptr) << r.name;
        procferry_capture_free(&captured);
        EXPECT_TRUE(probes_become(r.left_running, 5000))
            << r.name << ": " << processes_named(L"probe_child.exe") << " probes running";
        end_probes();
    }
    // A program that is not there is a failed launch, with empty texts.
    std::wstring missing = scratch() + L"no-such.exe";
    procferry_options o = options();
    o.program = missing.c_str();
    procferry_capture_options capture;
    procferry_capture_options_init(&capture);
    procferry_capture_result captured;
    EXPECT_EQ(procferry_capture(&o, &capture, &captured), PROCFERRY_LAUNCH_FAILED);
    EXPECT_EQ(captured.result.error, ENOENT);
    ASSERT_TRUE(captured.out && captured.err);
    EXPECT_EQ(captured.out_size + captured.err_size, 0u);
    procferry_capture_free(&captured);
}

// More children than the system's own wait takes at once: the one that ends
// is found wherever it stands in the set.
TEST_P(ParentLibrary, ManyChildrenAreWaitedForTogether)
{
    const size_t count = 66;
    std::vector<procferry_child *> children;
    for (size_t i = 0; i < count; ++i) {
        parent::clear_probe_env();
        parent::set_probe_env("PROBE_SLEEP_MS", i == count - 1 ? L"300" : L"60000");
        procferry_options o = options();
        o.flags |= PROCFERRY_NO_WAIT;
        procferry_result result;
        ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED) << i;
        children.push_back(result.child);
    }
    size_t index = 0;
    EXPECT_EQ(procferry_children_wait_all(children.data(), count, 50), PROCFERRY_TIMED_OUT);
    EXPECT_EQ(procferry_children_wait_any(children.data(), count, 15000, &index), 0);
    EXPECT_EQ(index, count - 1);
    EXPECT_EQ(procferry_children_wait_any(children.data(), count - 1, 50, &index), PROCFERRY_TIMED_OUT);
    for (size_t i = 0; i + 1 < count; ++i)
        procferry_child_kill(children[i], 9);
    EXPECT_EQ(procferry_children_wait_all(children.data(), count, 15000), 0);
    EXPECT_EQ(procferry_children_wait_any(children.data(), count, 0, &index), 0);
    EXPECT_EQ(index, 0u) << "the first in order of those ended";
    for (procferry_child *child : children)
        procferry_child_close(child);
    EXPECT_EQ(procferry_children_wait_any(nullptr, 0, 0, &index), -1);
}

// Calls given nothing to write to refuse, as the child calls do, rather than
// write through a null pointer; a read with no room is no end of stream.
TEST_P(ParentLibrary, NullPlacesAndEmptyReadsAreRefused)
{
    procferry_options o = options();
    EXPECT_EQ(procferry_start(&o, nullptr), PROCFERRY_INVALID_ARGUMENT);
    procferry_capture_options c;
    procferry_capture_options_init(&c);
    EXPECT_EQ(procferry_capture(&o, &c, nullptr), PROCFERRY_INVALID_ARGUMENT);
    procferry_capture_free(nullptr);
    wchar_t quoted[8] = L"x";
    EXPECT_EQ(procferry_quote_argument(nullptr, quoted, 8), 0u);
    EXPECT_STREQ(quoted, L"");
    EXPECT_EQ(procferry_quote_program(nullptr, quoted, 8), 0u);
    EXPECT_EQ(procferry_quote_argument(L"", quoted, 8), 2u);

    procferry_handle read_end, write_end;
    ASSERT_EQ(procferry_pipe_make(&read_end, &write_end), 0);
    ASSERT_EQ(procferry_pipe_write(write_end, "waiting", 7), 0);
    char byte;
    EXPECT_EQ(procferry_pipe_read(read_end, &byte, 0), -1) << "bytes wait and the writer is open";
    EXPECT_EQ(procferry_pipe_read(read_end, &byte, 1), 1);
    procferry_pipe_close(write_end);
    procferry_pipe_close(read_end);
}

namespace {

struct exit_seen {
    HANDLE called = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    volatile LONG calls = 0;
    uint32_t status = 0;
    ~exit_seen() { CloseHandle(called); }
};

void note_exit(void *context, uint32_t status)
{
    exit_seen &seen = *(exit_seen *)context;
    seen.status = status;
    InterlockedIncrement(&seen.calls);
    SetEvent(seen.called);
}

} // namespace

// An exit callback runs once the child ends, with its status, however it
// ended; closed before the end, the child's callback never runs.
TEST_P(ParentLibrary, ExitCallbacksRunOnceTheChildEndsAndNeverAfterClose)
{
    parent::clear_probe_env();
    procferry_options o = options();
    o.flags = PROCFERRY_NO_WAIT | PROCFERRY_KILL_ON_CLOSE;
    procferry_result result;

    parent::set_probe_env("PROBE_EXIT", L"5");
    exit_seen ended;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    ASSERT_EQ(procferry_child_on_exit(result.child, note_exit, &ended), 0);
    EXPECT_EQ(WaitForSingleObject(ended.called, 10000), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(ended.status, 5u);
    procferry_child_close(result.child);
    EXPECT_EQ(ended.calls, 1);

    parent::set_probe_env("PROBE_EXIT", L"");
    parent::set_probe_env("PROBE_SLEEP_MS", L"60000");
    exit_seen killed;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    ASSERT_EQ(procferry_child_on_exit(result.child, note_exit, &killed), 0);
    EXPECT_EQ(WaitForSingleObject(killed.called, 200), (DWORD)WAIT_TIMEOUT) << "it still runs";
    EXPECT_EQ(procferry_child_kill(result.child, 9), 0);
    EXPECT_EQ(WaitForSingleObject(killed.called, 10000), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(killed.status, 9u);
    procferry_child_close(result.child);

    exit_seen closed;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    ASSERT_EQ(procferry_child_on_exit(result.child, note_exit, &closed), 0);
    procferry_child_close(result.child); // ends the tree: the callback is cancelled first
    EXPECT_EQ(WaitForSingleObject(closed.called, 500), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(closed.calls, 0);
    parent::clear_probe_env();
}

// Overlapped ends on request: the caller's end of a pipe waits no longer
// than asked, and a read waiting on it can be cancelled from another
// thread, on every path; the child's end is an ordinary one its runtime
// reads and writes.
TEST_P(ParentLibrary, OverlappedPipeEndsWaitNoLongerThanAsked)
{
    parent::clear_probe_env();
    parent::set_probe_env("PROBE_ECHO", L"1");
    procferry_options o = options();
    o.flags = PROCFERRY_NO_WAIT | PROCFERRY_OVERLAPPED_PIPES;
    o.streams[0].kind = PROCFERRY_STREAM_PIPE;
    o.streams[1].kind = PROCFERRY_STREAM_PIPE;
    procferry_result result;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED) << result.words;
    char bytes[64];
    EXPECT_EQ(procferry_pipe_read_timeout(result.pipes[1], bytes, sizeof bytes, 200), -2)
        << "nothing written yet";
    ASSERT_EQ(procferry_pipe_write(result.pipes[0], "ping\n", 5), 0);
    std::string echoed;
    while (echoed.find('\n') == std::string::npos) {
        long count = procferry_pipe_read_timeout(result.pipes[1], bytes, sizeof bytes, 10000);
        ASSERT_GT(count, 0);
        echoed.append(bytes, (size_t)count);
    }
    EXPECT_EQ(echoed, "ping\r\n");
    // A read that would wait for good, cancelled from another thread.
    std::atomic<long> cancelled{1};
    std::thread reader([&] { cancelled = procferry_pipe_read(result.pipes[1], bytes, sizeof bytes); });
    Sleep(200);
    procferry_pipe_cancel(result.pipes[1]);
    reader.join();
    EXPECT_EQ(cancelled.load(), -1);
    procferry_pipe_close(result.pipes[0]); // the child sees the end of its input and ends
    EXPECT_EQ(procferry_pipe_read_timeout(result.pipes[1], bytes, sizeof bytes, 10000), 0);
    EXPECT_EQ(procferry_child_wait(result.child, 10000, nullptr), 0);
    procferry_pipe_close(result.pipes[1]);
    procferry_child_close(result.child);

    // The same for a side channel: the caller's end overlapped, the child's
    // its descriptor 3.
    parent::clear_probe_env();
    parent::set_probe_env("PROBE_FD_WRITE", L"3");
    procferry_handle side_read, side_write;
    ASSERT_EQ(procferry_pipe_make_overlapped(&side_read, &side_write, PROCFERRY_PIPE_OVERLAPPED_READ), 0);
    EXPECT_EQ(procferry_pipe_read_timeout(side_read, bytes, sizeof bytes, 100), -2);
    procferry_stream side = {PROCFERRY_STREAM_HANDLE, 0, side_write};
    procferry_options s = options();
    s.extra_fds = &side;
    s.extra_fd_count = 1;
    EXPECT_EQ(procferry_start(&s, &result), PROCFERRY_EXITED) << result.words;
    procferry_pipe_close(side_write);
    std::string said;
    for (long count; (count = procferry_pipe_read_timeout(side_read, bytes, sizeof bytes, 10000)) > 0;)
        said.append(bytes, (size_t)count);
    EXPECT_EQ(said, "fd 3\n");
    procferry_pipe_close(side_read);
    parent::clear_probe_env();
}
