// The parent library's own promises: one result kind per outcome, children it
// hands over, and starts from many threads that stay apart.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <functional>
#include <thread>

#include "relay_fixture.h"

class ParentLibrary : public RelayTest {
protected:
    procferry_options options() const
    {
        procferry_options o;
        procferry_options_init(&o);
        relay_ = relay_path();
        probe_ = probe_path();
        o.relay = relay_.c_str();
        o.program = probe_.c_str();
        o.timeout_ms = 15000;
        return o;
    }

private:
    mutable std::wstring relay_, probe_;
};
INSTANTIATE_FOR_BOTH_RELAYS(ParentLibrary);

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
    struct row {
        const char *name;
        std::function<void(procferry_options &)> set_up;
        int kind;
        int error;
    } rows[] = {
        {"child's status", [](procferry_options &) { parent::set_probe_env("PROBE_EXIT", L"42"); },
         PROCFERRY_EXITED, 0},
        {"UTF-8 texts", [&](procferry_options &o) {
             o.program = nullptr;
             o.program_utf8 = "probe_child.exe";
             o.dir_utf8 = "."; // beside the tests, where the probe is
             o.args_utf8 = utf8_args;
             o.arg_count = 2;
         }, PROCFERRY_EXITED, 0},
        {"missing directory", [&](procferry_options &o) { o.dir = missing.c_str(); },
         PROCFERRY_DIR_FAILED, ENOENT},
        {"missing program", [&](procferry_options &o) { o.program = missing.c_str(); },
         PROCFERRY_LAUNCH_FAILED, ENOENT},
        {"missing relay", [&](procferry_options &o) { o.relay = missing.c_str(); },
         PROCFERRY_RELAY_MISSING, ENOENT},
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
         }, PROCFERRY_RELAY_CRASHED, 0},
        {"relay ends as after a failed check", [&](procferry_options &o) {
             o.relay = probe.c_str();
             parent::set_probe_env("PROBE_EXIT", L"3");
         }, PROCFERRY_CHECK_REPORT, 0},
        {"relay crashes", [&](procferry_options &o) {
             o.relay = probe.c_str();
             parent::set_probe_env("PROBE_CRASH", L"1");
         }, PROCFERRY_RELAY_CRASHED, 0},
        {"relay prints a report", [&](procferry_options &o) {
             o.relay = probe.c_str();
             o.flags |= PROCFERRY_CAPTURE_CHECK_REPORT;
             parent::set_probe_env("PROBE_WRITE", L"1");
         }, PROCFERRY_CHECK_REPORT, 0},
        // The timeout falls well after the launch: under wine, a relay ended
        // in the middle of starting its child has left that child blocked for
        // good, holding the test's output open.
        {"no record in time", [](procferry_options &o) {
             parent::set_probe_env("PROBE_SLEEP_MS", under_emulation() ? L"12000" : L"4000");
             o.timeout_ms = under_emulation() ? 4000 : 500;
         }, PROCFERRY_TIMED_OUT, 0},
    };
    for (const row &r : rows) {
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
        SetCurrentDirectoryW(old_dir.c_str());
        EXPECT_EQ(handle_count(), handles) << r.name << ": a handle was left open";
        EXPECT_EQ(processes_named(L"probe_child.exe"), 0) << r.name << ": a process was left running";
        EXPECT_EQ(kind, r.kind) << r.name << ": " << procferry_kind_name(kind);
        EXPECT_EQ(result.kind, kind) << r.name;
        EXPECT_EQ(result.error, r.error) << r.name;
        EXPECT_EQ(result.process, nullptr) << r.name;
        EXPECT_LT(elapsed, under_emulation() ? 12000u : 3000u) << r.name;
        if (std::string(r.name) == "child's status") {
            EXPECT_EQ(result.exit_status, 42u);
        }
        if (std::string(r.name) == "UTF-8 texts") {
            ASSERT_EQ(probe_report().argv.size(), 3u);
            EXPECT_EQ(probe_report().argv[1], L"caf\u00e9 \u4e2d");
            EXPECT_EQ(probe_report().argv[2], L"");
        }
        if (kind == PROCFERRY_RELAY_CRASHED) {
            EXPECT_TRUE(result.relay_exit_status == 7 || is_null_write_crash(result.relay_exit_status))
                << std::hex << result.relay_exit_status;
        }
        if (kind == PROCFERRY_CHECK_REPORT && (o.flags & PROCFERRY_CAPTURE_CHECK_REPORT)) {
            EXPECT_STREQ(result.check_report, "probe-stderr\n");
        }
        DeleteFileW(probe_out().c_str());
    }
}

TEST_P(ParentLibrary, NoWaitChildIsTheCallersToOpenWaitForAndEnd)
{
    parent::set_probe_env("PROBE_SLEEP_MS", L"60000");
    procferry_options o = options();
    o.flags = PROCFERRY_NO_WAIT;
    procferry_result result;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    EXPECT_TRUE(result.relay_ended);
    EXPECT_EQ(result.relay_exit_status, (uint32_t)RELAY_EXIT_RELEASED);
    ASSERT_NE(result.pid, 0u);
    EXPECT_EQ(GetProcessId((HANDLE)result.process), result.pid);
    // The record's value, a handle of the relay's, became one of ours; the
    // process id opens the same child.
    HANDLE opened = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, result.pid);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(WaitForSingleObject(opened, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(procferry_child_wait(result.process, 100, nullptr), PROCFERRY_TIMED_OUT);
    EXPECT_EQ(procferry_child_kill(result.process, 9), 0);
    uint32_t status = 0;
    EXPECT_EQ(procferry_child_wait(result.process, 5000, &status), 0);
    EXPECT_EQ(status, 9u);
    EXPECT_EQ(procferry_child_kill(result.process, 9), 0) << "an ended child counts as ended";
    EXPECT_EQ(WaitForSingleObject(opened, 0), (DWORD)WAIT_OBJECT_0);
    CloseHandle(opened);
    procferry_child_close(result.process);
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
    EXPECT_EQ(parent::read_pipe_until_eof(out_fd, 5000, &out_eof), "probe-stdout\n");
    EXPECT_EQ(parent::read_pipe_until_eof(err_ends[0], 5000, &err_eof), "probe-stderr\n");
    EXPECT_TRUE(out_eof && err_eof);
    _close(out_fd);
    _close(err_ends[0]);
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
            for (int i = 0; i < starts_per_thread; ++i) {
                procferry_session session;
                procferry_result failure;
                if (procferry_session_begin(&o, &session, &failure) != 0) {
                    if (++failed_starts == 1)
                        printf("first failed start: %s, errno %d, error %u\n",
                               procferry_kind_name(failure.kind), failure.error,
                               (unsigned)failure.win32_error);
                    continue;
                }
                relay_report record = {0, 0};
                procferry_handle child = nullptr;
                int bytes = procferry_session_read_record(&session, 15000, &record);
                if (bytes == RELAY_RECORD_SIZE && record.code == RELAY_OK) {
                    ++records;
                    child = procferry_session_take_child(&session, record.value);
                } else {
                    printf("a start without a launch: %d bytes, record (%d, %d)\n", bytes,
                           (int)record.code, (int)record.value);
                }
                procferry_session_release(&session, 1);
                procferry_session_wait_relay(&session, 10000, nullptr);
                DWORD relay_ended = GetTickCount();
                if (procferry_session_read_record(&session, 5000, nullptr) == 0) {
                    ++eofs;
                    int delay = (int)(GetTickCount() - relay_ended);
                    for (int seen = worst_eof_ms; delay > seen && !worst_eof_ms.compare_exchange_weak(seen, delay);)
                        ;
                }
                procferry_session_close(&session);
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
