// A start's outcomes: one kind per outcome, the same on every path, with the
// words it keeps; calls given nothing to write to.
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
