// Waiting without a thread per child: 500 children that sleep a random 0 to
// 2 s each, every one waited for by procferry_child_on_exit (the system's
// thread pool). Reports the caller's thread count at its peak against its
// count at the start (goal: at most 16 more), and the time from the last
// child's end (its exit time) to the last callback.
//
// Usage: bench_exit_callbacks [children, default 500]
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "procferry/parent.h"

namespace {

const DWORD HANG_TIMEOUT_MS = 120000;

struct waited {
    procferry_child *child = nullptr;
    std::atomic<bool> called{false};
    FILETIME called_at = {};
};

std::atomic<int> callbacks{0};

void on_exit(void *context, uint32_t)
{
    waited &one = *(waited *)context;
    GetSystemTimePreciseAsFileTime(&one.called_at);
    one.called = true;
    ++callbacks;
}

} // namespace

int main(int argc, char **argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 500;
    std::wstring child = own_directory() + L"bench_child.exe";
    srand(20261210);

    int base = own_threads(), peak = base;
    std::vector<waited> children(count);
    std::vector<std::wstring> sleeps(count);
    int started = 0;
    for (int i = 0; i < count; ++i) {
        sleeps[i] = std::to_wstring(rand() % 2001);
        const wchar_t *args[] = {L"0", sleeps[i].c_str()};
        procferry_options options;
        procferry_options_init(&options);
        options.program = child.c_str();
        options.args = args;
        options.arg_count = 2;
        options.flags = PROCFERRY_NO_WAIT | PROCFERRY_NO_SEARCH_PATH;
        procferry_result result;
        if (procferry_start(&options, &result) != PROCFERRY_STARTED) {
            fprintf(stderr, "start %d: %s\n", i, result.words);
            continue;
        }
        children[i].child = result.child;
        if (procferry_child_on_exit(result.child, on_exit, &children[i]) == 0)
            ++started;
        if (i % 10 == 0)
            peak = std::max(peak, own_threads());
    }
    DWORD since = GetTickCount();
    while (callbacks < started && GetTickCount() - since < HANG_TIMEOUT_MS) {
        peak = std::max(peak, own_threads());
        Sleep(20);
    }

    uint64_t last_end = 0, last_call = 0;
    std::vector<double> delays;
    for (waited &one : children) {
        if (!one.child || !one.called)
            continue;
        FILETIME created, exited, kernel, user;
        if (GetProcessTimes((HANDLE)procferry_child_process(one.child), &created, &exited, &kernel, &user) &&
            ticks(exited)) {
            last_end = std::max(last_end, ticks(exited));
            delays.push_back((double)((int64_t)(ticks(one.called_at) - ticks(exited))) / 10000.0);
        }
        last_call = std::max(last_call, ticks(one.called_at));
    }
    for (waited &one : children)
        procferry_child_close(one.child);
    std::sort(delays.begin(), delays.end());
    printf("%d children, %d callbacks (%d started); threads: %d at the start, %d at the peak (+%d, goal <= +16)\n",
           count, callbacks.load(), started, base, peak, peak - base);
    if (last_end && !delays.empty())
        printf("last child's end to last callback: %.1f ms; end to callback, median %.1f ms, max %.1f ms\n",
               (double)((int64_t)(last_call - last_end)) / 10000.0, delays[delays.size() / 2], delays.back());
    else
        printf("the children's exit times are not known here: no end-to-callback figure\n");
    return callbacks == started && started == count ? 0 : 1;
}
