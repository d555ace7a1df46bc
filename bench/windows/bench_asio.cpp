// procferry/asio.hpp at scale, on one io_context thread:
// 1. 500 children that sleep a random 0 to 2 s each, every one awaited by
//    async_wait. Reports the thread count at its peak against the start
//    (goal: at most 16 more), and the time from the last child's end (its
//    exit time) to the last completion.
// 2. 50 children that each write 1,000 numbered lines on stdout and on
//    stderr, all captured at once by async_capture. Reports the time taken
//    and any line lost or out of order, per stream.
// 3. The same 50 captured three ways, interleaved, medians of five rounds:
//    async_capture on one thread (its starts on the system's thread pool,
//    whose threads count); 50 threads each running the library's
//    capture(); and, as the yardstick, 50 threads each starting its child
//    with two pipes and reading them in blocking loops (stdout on its own
//    thread, stderr on a helper: the thread per stream a capture once
//    took). Reports each time against the yardstick (goal <= 1.10) and the
//    threads each way ran at its peak.
//
// Usage: bench_asio [children, default 500] [writers, default 50] [lines, default 1000]
#include "procferry/asio.hpp"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "bench_clock.h"

namespace {

// The lines of one stream that are missing or out of order: its text must be
// "<name> 1\n" to "<name> <count>\n", each once, in order.
int lines_amiss(const std::string &text, const char *name, int count)
{
    std::istringstream in(text);
    int next = 1, amiss = 0;
    for (std::string line; std::getline(in, line); ++next)
        amiss += line != std::string(name) + " " + std::to_string(next);
    return amiss + std::abs(count + 1 - next);
}

// One round of the three ways: the milliseconds each took, its peak
// thread count (looked at from a thread of the bench's own, which counts),
// and its failures (a failed run, a line lost or out of order).
struct way {
    std::vector<double> ms;
    int peak = 0;
    int failed = 0;
};

template <class Run>
void timed(way &into, Run run)
{
    std::atomic<bool> running{true};
    int peak = own_threads();
    std::thread looker([&] {
        while (running) {
            peak = std::max(peak, own_threads());
            Sleep(5);
        }
    });
    double began = now_ms();
    into.failed += run();
    into.ms.push_back(now_ms() - began);
    running = false;
    looker.join();
    into.peak = std::max(into.peak, peak - 1); // the looker is not the way's
}

int amiss_in(const procferry::captured &run, int lines)
{
    return !run.success() || lines_amiss(run.out, "out", lines) + lines_amiss(run.err, "err", lines);
}

void three_ways(const std::wstring &child, const procferry::options &quiet, int writers, int lines)
{
    const procferry::arguments args = {L"lines", std::to_wstring(lines)};
    way asio_way, library_way, loops_way;
    for (int round = 0; round < 5; ++round) {
        timed(asio_way, [&] {
            asio::io_context io;
            std::vector<procferry::captured> runs(writers);
            for (procferry::captured &run : runs)
                procferry::async_capture(io, child, args, quiet, [&run](procferry::captured c) { run = std::move(c); });
            io.run();
            int failed = 0;
            for (const procferry::captured &run : runs)
                failed += amiss_in(run, lines);
            return failed;
        });
        timed(library_way, [&] {
            std::atomic<int> failed{0};
            std::vector<std::thread> threads;
            for (int i = 0; i < writers; ++i)
                threads.emplace_back([&] { failed += amiss_in(procferry::capture(child, args, quiet), lines); });
            for (std::thread &thread : threads)
                thread.join();
            return failed.load();
        });
        timed(loops_way, [&] {
            std::atomic<int> failed{0};
            std::vector<std::thread> threads;
            for (int i = 0; i < writers; ++i)
                threads.emplace_back([&] {
                    procferry::options piped = quiet;
                    piped.out(procferry::pipe()).err(procferry::pipe());
                    procferry::started s = procferry::start(child, args, piped);
                    procferry::captured run;
                    std::thread err_reader([&] { run.err = s.pipes[2].read_all(); });
                    run.out = s.pipes[1].read_all();
                    err_reader.join();
                    static_cast<procferry::result &>(run) = s.process.wait();
                    failed += amiss_in(run, lines);
                });
            for (std::thread &thread : threads)
                thread.join();
            return failed.load();
        });
    }
    double yardstick = median(loops_way.ms);
    printf("%d captures of %d lines on each stream, medians of %zu interleaved rounds:\n", writers, lines,
           loops_way.ms.size());
    printf("  blocking read loops, a thread per stream: %.0f ms, %d threads at the peak, %d failed\n", yardstick,
           loops_way.peak, loops_way.failed);
    printf("  async_capture on one thread:              %.0f ms (%.2f of the loops, goal <= 1.10), %d threads "
           "at the peak, %d failed\n",
           median(asio_way.ms), median(asio_way.ms) / yardstick, asio_way.peak, asio_way.failed);
    printf("  capture() on 50 threads of the caller's:  %.0f ms (%.2f of the loops, goal <= 1.10), %d threads "
           "at the peak, %d failed\n",
           median(library_way.ms), median(library_way.ms) / yardstick, library_way.peak, library_way.failed);
}

} // namespace

int main(int argc, char **argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 500;
    int writers = argc > 2 ? atoi(argv[2]) : 50;
    int lines = argc > 3 ? atoi(argv[3]) : 1000;
    std::wstring child = own_directory() + L"bench_child.exe";
    procferry::options quiet;
    quiet.flags = PROCFERRY_NO_SEARCH_PATH;
    srand(20261210);

    asio::io_context io;
    int base = own_threads(), peak = base;
    std::vector<procferry::child> children;
    std::vector<FILETIME> completed(count);
    int done = 0, started = 0;
    for (int i = 0; i < count; ++i) {
        children.push_back(procferry::start(child, {L"0", std::to_wstring(rand() % 2001)}, quiet).process);
        started += children.back().valid();
        procferry::async_wait(io, children.back(), [&, i](procferry::result) {
            GetSystemTimePreciseAsFileTime(&completed[i]);
            ++done;
        });
        if (i % 10 == 0)
            peak = std::max(peak, own_threads());
    }
    // The thread count, looked at on the same thread as the completions.
    asio::steady_timer look(io);
    std::function<void()> look_again = [&] {
        peak = std::max(peak, own_threads());
        look.expires_after(std::chrono::milliseconds(20));
        look.async_wait([&](std::error_code error) {
            if (!error && done < count)
                look_again();
        });
    };
    look_again();
    io.run();
    uint64_t last_end = 0, last_call = 0;
    for (int i = 0; i < count; ++i) {
        FILETIME created, exited, kernel, user;
        if (children[i].valid() &&
            GetProcessTimes((HANDLE)children[i].handle(), &created, &exited, &kernel, &user))
            last_end = std::max(last_end, ticks(exited));
        last_call = std::max(last_call, ticks(completed[i]));
    }
    printf("async_wait: %d children, %d completions (%d started); threads: %d at the start, %d at the peak "
           "(+%d, goal <= +16)\n",
           count, done, started, base, peak, peak - base);
    if (last_end)
        printf("async_wait: last child's end to last completion: %.1f ms\n",
               (double)((int64_t)(last_call - last_end)) / 10000.0);

    io.restart();
    std::vector<procferry::captured> runs(writers);
    double began = now_ms();
    for (procferry::captured &run : runs)
        procferry::async_capture(io, child, {L"lines", std::to_wstring(lines)}, quiet,
                                 [&run](procferry::captured c) { run = std::move(c); });
    io.run();
    double took = now_ms() - began;
    int failed = 0, amiss = 0;
    for (const procferry::captured &run : runs) {
        failed += !run.success();
        amiss += lines_amiss(run.out, "out", lines) + lines_amiss(run.err, "err", lines);
    }
    printf("async_capture: %d children x %d lines on stdout and stderr, one thread: %.0f ms; %d failed, "
           "%d lines lost or out of order\n",
           writers, lines, took, failed, amiss);
    three_ways(child, quiet, writers, lines);
    return done == count && started == count && failed == 0 && amiss == 0 ? 0 : 1;
}
