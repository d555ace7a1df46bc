// procferry/asio.hpp on one io_context thread: children awaited with each
// kind of completion token, both outputs of several captures read together,
// a pipe end as a stream, a capture's time limit, its drain and cancel
// with a tree that keeps writing, and a loop destroyed with a capture pending.
// Asio first: it includes the sockets header before windows.h.
#include "procferry/asio.hpp"

#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include "parent_library_fixture.h"

namespace {

std::wstring probe()
{
    return parent::own_directory() + L"probe_child.exe";
}

procferry::options probe_env(std::map<std::string, std::string> variables)
{
    procferry::options options;
    options.env = variables;
    return options.out(procferry::null()).err(procferry::null());
}

// The lines of a text, without their ends.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

std::vector<std::string> numbered(const char *stream, int count)
{
    std::vector<std::string> lines;
    for (int i = 1; i <= count; ++i)
        lines.push_back(std::string(stream) + " " + std::to_string(i));
    return lines;
}

using clock_type = std::chrono::steady_clock;

std::chrono::milliseconds limit(int native_ms)
{
    return std::chrono::milliseconds(parent::wait_limit_ms(native_ms));
}

} // namespace

// Three children awaited by a coroutine, one by a function and one by a
// future; a failed start completes at once with its words.
TEST(Asio, ChildrenAreAwaitedWithEachKindOfToken)
{
    asio::io_context io;
    std::vector<procferry::child> children;
    for (const char *exit : {"3", "4", "5"})
        children.push_back(procferry::start(probe(), {}, probe_env({{"PROBE_EXIT", exit}, {"PROBE_SLEEP_MS", "300"}})).process);
    std::vector<uint32_t> statuses;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
        for (procferry::child &each : children) {
            procferry::result ended = co_await procferry::async_wait(io, each, asio::use_awaitable);
            EXPECT_TRUE(ended.exited()) << ended.words;
            statuses.push_back(ended.exit_status);
        }
    }, asio::detached);

    procferry::started missing = procferry::start("procferry-no-such-program");
    procferry::result told;
    procferry::async_wait(io, missing.process, [&](procferry::result r) { told = r; });
    io.run();
    EXPECT_EQ(statuses, (std::vector<uint32_t>{3, 4, 5}));
    EXPECT_EQ(told.kind, PROCFERRY_LAUNCH_FAILED);
    EXPECT_EQ(told.words, missing.words);

    io.restart();
    procferry::started later = procferry::start(probe(), {}, probe_env({{"PROBE_EXIT", "6"}}));
    std::future<procferry::result> ended = procferry::async_wait(io, later.process, asio::use_future);
    later.process.close(); // the wait holds its own handle
    std::thread runner([&io] { io.run(); });
    ASSERT_EQ(ended.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    runner.join();
    EXPECT_EQ(ended.get().status(), std::optional<uint32_t>(6));
}

// Both outputs of three captures read on this one thread, nothing lost or
// out of order; input written as the output is read; a time limit kept.
TEST(Asio, CapturesReadBothStreamsOnOneThread)
{
    asio::io_context io;
    const int lines = 3000;
    std::vector<procferry::captured> runs(3);
    for (procferry::captured &run : runs) {
        procferry::capture_options options;
        options.env.set("PROBE_LINES", std::to_string(lines));
        procferry::async_capture(io, probe(), {}, options, [&run](procferry::captured c) { run = std::move(c); });
    }
    procferry::capture_options echo;
    echo.env.set("PROBE_ECHO", "1");
    std::string input(200000, 'i');
    procferry::captured echoed;
    procferry::async_capture(io, probe(), {}, echo, input, [&](procferry::captured c) { echoed = std::move(c); });
    procferry::capture_options slow;
    slow.env.set("PROBE_SLEEP_MS", "60000");
    slow.timeout_ms = 300;
    procferry::captured timed_out;
    procferry::async_capture(io, probe(), {}, slow, [&](procferry::captured c) { timed_out = std::move(c); });
    io.run();

    for (const procferry::captured &run : runs) {
        EXPECT_TRUE(run.success()) << run.words;
        EXPECT_EQ(lines_of(run.out), numbered("out", lines));
        EXPECT_EQ(lines_of(run.err), numbered("err", lines));
    }
    // The same with two threads running the loop: each run keeps to its strand.
    for (procferry::captured &run : runs) {
        run = {};
        procferry::capture_options options;
        options.env.set("PROBE_LINES", std::to_string(lines));
        procferry::async_capture(io, probe(), {}, options, [&run](procferry::captured c) { run = std::move(c); });
    }
    io.restart();
    std::thread second([&io] { io.run(); });
    io.run();
    second.join();
    for (const procferry::captured &run : runs) {
        EXPECT_TRUE(run.success()) << run.words;
        EXPECT_EQ(lines_of(run.out), numbered("out", lines));
        EXPECT_EQ(lines_of(run.err), numbered("err", lines));
    }
    EXPECT_TRUE(echoed.success()) << echoed.words;
    EXPECT_EQ(echoed.out, input);
    EXPECT_EQ(timed_out.kind, PROCFERRY_TIMED_OUT) << timed_out.words;
    EXPECT_NE(timed_out.words.find("still ran after"), std::string::npos) << timed_out.words;

    // A cancel from another thread ends a run at once, with what was read.
    procferry::capture_options cut;
    cut.env.set("PROBE_WRITE", "1").set("PROBE_SLEEP_MS", "60000");
    cut.cancel = procferry::canceller();
    procferry::captured cancelled;
    procferry::async_capture(io, probe(), {}, cut, [&](procferry::captured c) { cancelled = std::move(c); });
    std::thread canceller([cancel = *cut.cancel] {
        Sleep(parent::wait_limit_ms(500)); // once the probe has written
        cancel.cancel();
    });
    io.restart();
    io.run();
    canceller.join();
    EXPECT_EQ(cancelled.kind, PROCFERRY_CANCELLED) << cancelled.words;
    EXPECT_EQ(cancelled.out, "probe-stdout\r\n");
    EXPECT_EQ(cancelled.err, "probe-stderr\r\n");
    procferry::async_capture(io, probe(), {}, cut, [&](procferry::captured c) { cancelled = std::move(c); });
    io.restart();
    io.run();
    EXPECT_EQ(cancelled.kind, PROCFERRY_CANCELLED);
    EXPECT_NE(cancelled.words.find("cancelled before it started"), std::string::npos) << cancelled.words;

    procferry::captured refused;
    procferry::async_capture(io, "procferry-no-such-program", {}, {}, [&](procferry::captured c) { refused = std::move(c); });
    io.restart();
    io.run();
    EXPECT_EQ(refused.kind, PROCFERRY_LAUNCH_FAILED) << refused.words;
    // What a capture refuses, this one refuses in the same words, and starts nothing.
    procferry::capture_options closing;
    closing.flags = PROCFERRY_KILL_ON_CLOSE;
    procferry::async_capture(io, probe(), {}, closing, [&](procferry::captured c) { refused = std::move(c); });
    io.restart();
    io.run();
    EXPECT_EQ(refused.kind, PROCFERRY_INVALID_ARGUMENT);
    EXPECT_EQ(refused.words, procferry::capture(probe(), {}, closing).words);
}

// An overlapped pipe end of a start as an Asio stream, read to its end.
TEST(Asio, APipeEndIsAStream)
{
    asio::io_context io;
    procferry::options options;
    options.env.set("PROBE_LINES", "100");
    options.flags = PROCFERRY_OVERLAPPED_PIPES;
    procferry::started s = procferry::start(probe(), {}, options.out(procferry::pipe()).err(procferry::null()));
    ASSERT_TRUE(s.process.valid()) << s.words;
    asio::windows::stream_handle out = procferry::as_stream(io, std::move(s.pipes[1]));
    std::string text;
    std::error_code error;
    asio::read(out, asio::dynamic_buffer(text), error);
    // A pipe's end comes as the system's "broken pipe", which Asio passes on.
    EXPECT_EQ(error.value(), ERROR_BROKEN_PIPE) << error.message();
    EXPECT_EQ(lines_of(text), numbered("out", 100));
    EXPECT_TRUE(s.process.wait(10000).success());
}

// A console child on an event loop: its screen and keyboard as streams, and
// a capture in a console.
TEST(Asio, AConsolesEndsAreStreamsAndACaptureTakesAConsole)
{
    const std::wstring console_child = parent::own_directory() + L"console_child.exe";
    asio::io_context io;
    procferry::started s = procferry::start(console_child, {L"echo"}, procferry::options().console({80, 25}));
    ASSERT_TRUE(s.process.valid()) << s.words;
    asio::windows::stream_handle screen = procferry::as_stream(io, std::move(s.pipes[1]));
    asio::windows::stream_handle keys = procferry::as_stream(io, std::move(s.pipes[0]));
    std::string shown;
    std::error_code error;
    asio::read_until(screen, asio::dynamic_buffer(shown), "ready>", error);
    ASSERT_FALSE(error) << error.message();
    asio::write(keys, asio::buffer(std::string("quit\r")), error);
    ASSERT_FALSE(error) << error.message();
    // The rest up to the console's end, which follows the child's.
    asio::read(screen, asio::dynamic_buffer(shown), error);
    EXPECT_EQ(error.value(), ERROR_BROKEN_PIPE) << error.message();
    EXPECT_TRUE(s.process.wait(10000).success());

    procferry::capture_options o;
    o.console({80, 25});
    procferry::captured ran;
    procferry::async_capture(io, console_child, {L"lines", L"5", L"exit", L"4"}, o,
                             [&ran](procferry::captured c) { ran = std::move(c); });
    io.restart();
    io.run();
    EXPECT_EQ(ran.status(), std::optional<uint32_t>(4)) << ran.words;
    EXPECT_NE(ran.out.find("line 5 of 5 "), std::string::npos) << ran.out;
}

// A grandchild that keeps writing to the stdout it inherited gets the drain
// window after the child's end and no more; a cancel during a long drain
// ends it at once, and the child's end stands.
TEST(Asio, AGrandchildThatKeepsWritingGetsTheDrainOnly)
{
    const int before = processes_named(L"probe_child.exe");
    asio::io_context io;
    procferry::capture_options flood;
    flood.env.set("PROBE_SPAWN", "hold").set("PROBE_FLOOD", "1");
    flood.env.set("PROBE_SLEEP_MS", std::to_string(parent::wait_limit_ms(1000))); // the holder writes by then
    flood.drain_ms = 300;
    std::optional<procferry::captured> drained;
    clock_type::time_point began = clock_type::now(), done;
    procferry::async_capture(io, probe(), {}, flood, [&](procferry::captured c) {
        drained = std::move(c);
        done = clock_type::now();
    });
    io.run_for(limit(15000));
    EXPECT_TRUE(drained) << "still reading what the grandchild writes";
    if (drained) {
        EXPECT_EQ(drained->kind, PROCFERRY_EXITED) << drained->words;
        EXPECT_EQ(drained->ended_by, PROCFERRY_ENDED_BY_ITSELF);
        EXPECT_FALSE(drained->out.empty());
        EXPECT_LT(done - began, limit(1000) + limit(4000));
    }
    end_probes();
    io.run();
    ASSERT_TRUE(probes_become(before, parent::wait_limit_ms(10000)));

    flood.drain_ms = 60000;
    flood.cancel = procferry::canceller();
    std::optional<procferry::captured> cancelled;
    clock_type::time_point cancelled_at;
    io.restart();
    procferry::async_capture(io, probe(), {}, flood, [&](procferry::captured c) {
        cancelled = std::move(c);
        done = clock_type::now();
    });
    std::thread canceller([&cancelled_at, before, cancel = *flood.cancel] {
        // Once the child has ended and only the holder it left writes.
        probes_become(before + 2, parent::wait_limit_ms(10000));
        probes_become(before + 1, parent::wait_limit_ms(10000));
        cancelled_at = clock_type::now();
        cancel.cancel();
    });
    io.run_for(limit(20000));
    canceller.join();
    EXPECT_TRUE(cancelled) << "the cancel did not end the drain";
    if (cancelled) {
        EXPECT_EQ(cancelled->kind, PROCFERRY_EXITED) << cancelled->words;
        EXPECT_EQ(cancelled->ended_by, PROCFERRY_ENDED_BY_ITSELF);
        EXPECT_LT(done - cancelled_at, limit(4000));
    }
    end_probes();
    io.run();
}

// A cancel that leaves the child running completes the capture at once,
// though the child writes on; the child runs on.
TEST(Asio, ACancelThatLeavesTheChildRunningCompletesAtOnce)
{
    asio::io_context io;
    procferry::capture_options flood;
    flood.env.set("PROBE_FLOOD", "1");
    flood.cancel = procferry::canceller();
    flood.leave_running_when_cancelled = true;
    std::optional<procferry::captured> left;
    clock_type::time_point cancelled_at, done;
    procferry::async_capture(io, probe(), {}, flood, [&](procferry::captured c) {
        left = std::move(c);
        done = clock_type::now();
    });
    std::thread canceller([&cancelled_at, cancel = *flood.cancel] {
        Sleep(parent::wait_limit_ms(500)); // once the child writes
        cancelled_at = clock_type::now();
        cancel.cancel();
    });
    io.run_for(limit(15000));
    canceller.join();
    EXPECT_TRUE(left) << "still reading the child left running";
    if (left) {
        EXPECT_EQ(left->kind, PROCFERRY_CANCELLED) << left->words;
        EXPECT_EQ(left->ended_by, PROCFERRY_LEFT_RUNNING);
        EXPECT_FALSE(left->out.empty());
        EXPECT_LT(done - cancelled_at, limit(4000));
        HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, left->pid);
        EXPECT_TRUE(child && WaitForSingleObject(child, 0) == WAIT_TIMEOUT) << "the child was ended";
        if (child)
            CloseHandle(child);
    }
    end_probes();
    io.run();
}

// A start waits for the child to come up, and through the relay for its
// answer: the loop goes on meanwhile, and a loop destroyed then cancels it.
TEST(Asio, AStartNeverHoldsTheLoop)
{
    const int before = processes_named(L"probe_child.exe");
    procferry::capture_options silent; // the probe as a relay that never answers
    silent.relay = probe();
    silent.env.set("PROBE_SLEEP_MS", "60000");
    bool completed = false, relay_up = false;
    clock_type::time_point destroyed;
    {
        asio::io_context io;
        clock_type::time_point began = clock_type::now();
        procferry::async_capture(io, probe(), {}, silent, [&](procferry::captured) { completed = true; });
        EXPECT_LT(clock_type::now() - began, limit(1000)) << "the initiating call waited for the start";
        // The loop looks, on a timer, until the relay runs.
        asio::steady_timer look(io);
        std::function<void()> look_again = [&] {
            look.expires_after(std::chrono::milliseconds(20));
            look.async_wait([&](std::error_code) {
                if ((relay_up = processes_named(L"probe_child.exe") > before))
                    io.stop();
                else
                    look_again();
            });
        };
        look_again();
        io.run_for(limit(10000));
        ASSERT_TRUE(relay_up) << "the loop did not run while the start waited";
        destroyed = clock_type::now();
    }
    EXPECT_LT(clock_type::now() - destroyed, limit(2000)) << "the loop's end waited for the relay";
    EXPECT_FALSE(completed);
    EXPECT_TRUE(probes_become(before, parent::wait_limit_ms(10000))) << "the relay runs on";
    end_probes();
}

// An io_context destroyed with a capture pending (its handlers, which hold
// the run, destroyed with it) ends the child's tree, and keeps no handle.
TEST(Asio, DestroyingTheLoopEndsTheRunsTree)
{
    const int before = processes_named(L"probe_child.exe");
    procferry::capture_options tree;
    tree.env.set("PROBE_SPAWN", "1").set("PROBE_SLEEP_MS", "60000");
    // Once first, so that what Asio and the library make once for good is
    // not counted.
    {
        asio::io_context io;
        procferry::async_capture(io, probe(), {}, {}, [](procferry::captured) {});
        io.run();
    }
    const DWORD handles = handle_count();
    // At once (its start may still be out on the pool), once the tree is
    // up, and with the loop run first.
    for (const char *when : {"at once", "started", "run first"}) {
        bool completed = false;
        {
            asio::io_context io;
            procferry::async_capture(io, probe(), {}, tree, [&](procferry::captured) { completed = true; });
            if (strcmp(when, "at once") != 0) {
                ASSERT_TRUE(probes_become(before + 2, parent::wait_limit_ms(10000)));
            }
            if (strcmp(when, "run first") == 0) // with its reads and waits pending
                io.run_for(limit(300));
        }
        EXPECT_FALSE(completed);
        EXPECT_TRUE(probes_become(before, parent::wait_limit_ms(10000)))
            << "the child or its grandchild runs on, the loop destroyed " << when;
        end_probes();
    }
    EXPECT_EQ(handle_count(), handles);
}
