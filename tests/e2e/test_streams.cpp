// The child's streams and descriptors: borrowed handles, extra descriptors,
// pipes (overlapped too), captures, and starts from many threads that stay
// apart.
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
        // The drain and the time limit hold with overlapped ends asked for
        // too (they once ran 6 s past a 3 s limit).
        {"a grandchild holding the outputs, overlapped ends", {{"PROBE_WRITE", L"1"}, {"PROBE_EXIT", L"3"},
         {"PROBE_SPAWN", L"hold"}, {"PROBE_SLEEP_MS", L"10000"}}, nullptr, 1 << 20, 3000, false,
         PROCFERRY_EXITED, "probe-stdout\n", "probe-stderr\n", 13, false,
         PROCFERRY_BINARY_STREAMS | PROCFERRY_OVERLAPPED_PIPES, 3, 1, 2500, 300},
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
        EXPECT_LT(GetTickCount() - start, (DWORD)parent::wait_limit_ms(r.within_ms ? r.within_ms : r.timeout_ms + 5000))
            << r.name;
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
