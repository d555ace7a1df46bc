// The children a start hands over: waiting, ending, stopping, their trees,
// many at once, and exit callbacks.
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

    // In a process group of its own, a windowed program still hears the
    // close: a Ctrl+Break alone would never reach it.
    windowed.flags |= PROCFERRY_NEW_PROCESS_GROUP;
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

    // A callback may close its own child: the close returns at once, and the
    // child goes once the callback has returned.
    struct self_closing {
        exit_seen seen;
        procferry_child *child = nullptr;
        int cancel_within = 0;
    } closing;
    parent::set_probe_env("PROBE_SLEEP_MS", L"");
    parent::set_probe_env("PROBE_EXIT", L"7"); // it ends of itself: nobody else holds it
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    closing.child = result.child;
    ASSERT_EQ(procferry_child_on_exit(result.child, [](void *context, uint32_t status) {
        self_closing &own = *(self_closing *)context;
        own.cancel_within = procferry_child_on_exit(own.child, nullptr, nullptr);
        procferry_child_close(own.child);
        note_exit(&own.seen, status);
    }, &closing), 0);
    EXPECT_EQ(WaitForSingleObject(closing.seen.called, 10000), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(closing.seen.status, 7u);
    EXPECT_EQ(closing.cancel_within, -1) << "a callback cannot cancel itself";
    Sleep(100); // the callback returns, and the child is freed
    parent::set_probe_env("PROBE_EXIT", L"");
    parent::set_probe_env("PROBE_SLEEP_MS", L"60000");

    exit_seen closed;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED);
    ASSERT_EQ(procferry_child_on_exit(result.child, note_exit, &closed), 0);
    procferry_child_close(result.child); // ends the tree: the callback is cancelled first
    EXPECT_EQ(WaitForSingleObject(closed.called, 500), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(closed.calls, 0);
    parent::clear_probe_env();
}

// A cancel from another thread ends a capture (keeping what was read; the
// tree ended, or left running when asked), a wait (the child left running)
// and a stop's grace period (the tree ended at once).
TEST_P(ParentLibrary, ACancelFromAnotherThreadEndsACaptureAWaitAndAStop)
{
    parent::clear_probe_env();
    parent::set_probe_env("PROBE_WRITE", L"1");
    parent::set_probe_env("PROBE_SLEEP_MS", L"60000");
    procferry_options o = options();
    procferry_capture_options c;
    procferry_capture_options_init(&c);
    auto cancelled_soon = [](procferry_cancel *cancel) {
        // Once the probe has written its two lines, on any host.
        return std::thread([cancel] {
            Sleep(parent::wait_limit_ms(500));
            procferry_cancel_signal(cancel);
        });
    };
    auto still_runs = [](uint32_t pid) {
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
        bool runs = process && WaitForSingleObject(process, 2000) == WAIT_TIMEOUT;
        if (process)
            TerminateProcess(process, 1), CloseHandle(process);
        return runs;
    };
    for (int leave_running = 0; leave_running < 2; ++leave_running) {
        procferry_cancel *cancel = procferry_cancel_make();
        ASSERT_NE(cancel, nullptr);
        c.cancel = cancel;
        c.leave_running_when_cancelled = leave_running;
        std::thread canceller = cancelled_soon(cancel);
        procferry_capture_result captured;
        EXPECT_EQ(procferry_capture(&o, &c, &captured), PROCFERRY_CANCELLED) << captured.result.words;
        canceller.join();
        EXPECT_STREQ(captured.out, "probe-stdout\r\n");
        EXPECT_STREQ(captured.err, "probe-stderr\r\n");
        EXPECT_NE(strstr(captured.result.words, "cancelled while it ran"), nullptr) << captured.result.words;
        // What the library did is told, in a field and in the words.
        EXPECT_EQ(captured.result.ended_by, leave_running ? PROCFERRY_LEFT_RUNNING : PROCFERRY_ENDED_ON_CANCEL);
        EXPECT_NE(strstr(captured.result.words, leave_running ? "; left it running" : "; ended it and everything it started"),
                  nullptr)
            << captured.result.words;
        EXPECT_EQ(still_runs(captured.result.pid), leave_running != 0) << "left running: " << leave_running;
        procferry_capture_free(&captured);
        // Cancelled already: nothing starts.
        EXPECT_EQ(procferry_capture(&o, &c, &captured), PROCFERRY_CANCELLED);
        EXPECT_EQ(captured.result.pid, 0u);
        EXPECT_NE(strstr(captured.result.words, "cancelled before it started"), nullptr) << captured.result.words;
        procferry_capture_free(&captured);
        procferry_cancel_free(cancel);
    }

    // A relay that never answers (the probe stands in for one): the cancel
    // ends the wait for its answer, which once took the relay's whole 5 s.
    if (!direct()) {
        procferry_cancel *early = procferry_cancel_make();
        procferry_options silent = o;
        const std::wstring never_answers = probe_path();
        silent.relay = never_answers.c_str();
        silent.timeout_ms = parent::wait_limit_ms(20000);
        c.cancel = early;
        c.leave_running_when_cancelled = 0;
        std::thread canceller = cancelled_soon(early);
        procferry_capture_result captured;
        DWORD began = GetTickCount();
        EXPECT_EQ(procferry_capture(&silent, &c, &captured), PROCFERRY_CANCELLED) << captured.result.words;
        EXPECT_LT(GetTickCount() - began, (DWORD)parent::wait_limit_ms(3000));
        canceller.join();
        EXPECT_NE(strstr(captured.result.words, "cancelled while it was being started; ended it"), nullptr)
            << captured.result.words;
        procferry_capture_free(&captured);
        procferry_cancel_free(early);
        EXPECT_TRUE(probes_become(0, 5000)) << "the relay that never answered still runs";
    }

    procferry_cancel *cancel = procferry_cancel_make();
    o.flags |= PROCFERRY_NO_WAIT;
    o.streams[1].kind = o.streams[2].kind = PROCFERRY_STREAM_NULL;
    procferry_result result;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED) << result.words;
    std::thread canceller = cancelled_soon(cancel);
    uint32_t status = 0;
    EXPECT_EQ(procferry_child_wait_cancellable(result.child, 60000, cancel, &status), PROCFERRY_CANCELLED);
    canceller.join();
    EXPECT_EQ(procferry_child_wait(result.child, 0, &status), PROCFERRY_TIMED_OUT) << "left running";
    procferry_child_kill(result.child, 9);
    procferry_child_close(result.child);
    procferry_cancel_free(cancel);

    // A stop waiting out its grace period for what the child started.
    cancel = procferry_cancel_make();
    parent::set_probe_env("PROBE_SPAWN", L"hold");
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_STARTED) << result.words;
    EXPECT_EQ(procferry_child_wait(result.child, 10000, &status), 0);
    canceller = cancelled_soon(cancel);
    EXPECT_EQ(procferry_child_stop_cancellable(result.child, 60000, 9, cancel), PROCFERRY_STOPPED_CANCELLED);
    canceller.join();
    for (int tries = 0; tries < 50 && processes_named(L"probe_child.exe") != 0; ++tries)
        Sleep(100);
    EXPECT_EQ(processes_named(L"probe_child.exe"), 0) << "the cancelled stop left a grandchild running";
    procferry_child_close(result.child);
    procferry_cancel_free(cancel);
    parent::clear_probe_env();
}
