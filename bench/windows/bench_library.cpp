// What the parent library costs against starting the child directly.
//
//   capture   64 MiB of the child's stdout collected in memory: through
//             procferry_capture, and through CreateProcessW with a pipe the
//             caller reads. Rounds alternate; the verdict rests on the
//             minimums: library / direct, goal <= 1.10.
//   starts    the time of one wait-mode start of a child that ends at once,
//             from 1 and 8 threads, each thread starting and waiting in a
//             loop: through procferry_start as it starts by default (the
//             child alone), through procferry_start with the relay (relay,
//             then child), and through CreateProcessW. The three ways take
//             turns in short slices, so that wine's stalls fall on all
//             alike; the verdict rests on medians. Goal: library / direct
//             <= 1.15 at 1 and at 8 threads; the relay's ratio is shown
//             beside it (a second process start, about 2).
//
// Usage: bench_library [capture rounds, default 5] [seconds per way and thread count, default 3]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "procferry/parent.h"

namespace {

const size_t CAPTURE_BYTES = (size_t)64 << 20;
const DWORD HANG_TIMEOUT_MS = 120000;

std::wstring relay, child;

// The direct way: the child's stdout is a pipe whose read end the caller
// drains into a growing buffer, as the library does.
bool capture_direct(size_t *got)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 65536))
        return false;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    std::wstring line = L"\"" + child + L"\" " + std::to_wstring(CAPTURE_BYTES);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process;
    bool started = CreateProcessW(child.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        return false;
    }
    CloseHandle(process.hThread);
    size_t size = 0, capacity = 0;
    char *data = nullptr;
    for (;;) {
        if (size == capacity) {
            capacity = capacity ? capacity * 2 : 65536;
            data = (char *)realloc(data, capacity);
        }
        DWORD count = 0;
        DWORD room = (DWORD)std::min<size_t>(capacity - size, 65536);
        if (!ReadFile(read_end, data + size, room, &count, nullptr) || count == 0)
            break;
        size += count;
    }
    CloseHandle(read_end);
    WaitForSingleObject(process.hProcess, HANG_TIMEOUT_MS);
    CloseHandle(process.hProcess);
    free(data);
    *got = size;
    return true;
}

bool capture_library(size_t *got)
{
    std::wstring bytes = std::to_wstring(CAPTURE_BYTES);
    const wchar_t *args[] = {bytes.c_str()};
    procferry_options options;
    procferry_options_init(&options);
    options.program = child.c_str();
    options.args = args;
    options.arg_count = 1;
    options.timeout_ms = HANG_TIMEOUT_MS;
    procferry_capture_options capture;
    procferry_capture_options_init(&capture);
    procferry_capture_result result;
    bool ok = procferry_capture(&options, &capture, &result) == PROCFERRY_EXITED &&
              result.result.exit_status == 0;
    *got = result.out_size;
    procferry_capture_free(&result);
    return ok;
}

bool start_direct()
{
    std::wstring line = L"\"" + child + L"\"";
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(child.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    DWORD code = 1;
    WaitForSingleObject(process.hProcess, HANG_TIMEOUT_MS);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return code == 0;
}

bool start_library(const wchar_t *through)
{
    procferry_options options;
    procferry_options_init(&options);
    options.relay = through;
    options.program = child.c_str();
    options.timeout_ms = HANG_TIMEOUT_MS;
    procferry_result result;
    return procferry_start(&options, &result) == PROCFERRY_EXITED && result.exit_status == 0;
}

bool start_library_direct()
{
    return start_library(nullptr);
}

bool start_library_relay()
{
    return start_library(relay.c_str());
}

// Adds the time of each start made by threads starting in a loop for seconds.
void time_starts(bool (*start)(), int threads, double seconds, std::vector<double> &times,
                 int *failures)
{
    std::atomic<long> failed{0};
    double until = now_ms() + seconds * 1000;
    std::vector<std::vector<double>> per_thread(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            while (now_ms() < until) {
                double begin = now_ms();
                if (start())
                    per_thread[t].push_back(now_ms() - begin);
                else
                    ++failed;
            }
        });
    for (std::thread &worker : workers)
        worker.join();
    for (const std::vector<double> &some : per_thread)
        times.insert(times.end(), some.begin(), some.end());
    *failures += (int)failed;
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    double seconds = argc > 2 ? std::max(0.5, atof(argv[2])) : 3;
    const std::wstring folder = own_directory();
    relay = folder + L"procferry-console.exe";
    child = folder + L"bench_child.exe";
    int failures = 0;

    std::vector<double> direct_ms, library_ms;
    for (int round = 0; round < rounds + 1; ++round) { // the first round warms up
        for (int way = 0; way < 2; ++way) {
            bool library = (way + round) % 2 == 1;
            size_t got = 0;
            double start = now_ms();
            bool ok = library ? capture_library(&got) : capture_direct(&got);
            double elapsed = now_ms() - start;
            if (!ok || got != CAPTURE_BYTES) {
                ++failures;
                fprintf(stderr, "capture (%s) got %zu bytes\n", library ? "library" : "direct", got);
            } else if (round > 0) {
                (library ? library_ms : direct_ms).push_back(elapsed);
            }
        }
    }
    if (!direct_ms.empty() && !library_ms.empty()) {
        double direct = *std::min_element(direct_ms.begin(), direct_ms.end());
        double library = *std::min_element(library_ms.begin(), library_ms.end());
        printf("capture of 64 MiB of stdout, %d rounds (ms, minimum): direct %.1f, library %.1f\n",
               rounds, direct, library);
        printf("capture library / direct: %.3f (goal <= 1.10)\n", library / direct);
    }

    printf("wait-mode starts, %.1f s per way in slices (ms per start, median): threads, "
           "CreateProcessW, library, library through the relay; library / direct, relay / direct\n",
           seconds);
    const int slices = 12;
    bool (*const ways[3])() = {start_direct, start_library_direct, start_library_relay};
    for (int threads : {1, 8}) {
        std::vector<double> times[3];
        for (int slice = 0; slice < slices; ++slice)
            for (int way = 0; way < 3; ++way)
                time_starts(ways[(way + slice) % 3], threads, seconds / slices, times[(way + slice) % 3],
                            &failures);
        double direct = median(times[0]), library = median(times[1]), relayed = median(times[2]);
        printf("  %d  %7.2f  %7.2f  %7.2f   %.3f (goal <= 1.15)  %.3f\n", threads, direct, library,
               relayed, library / direct, relayed / direct);
    }
    if (failures) {
        fprintf(stderr, "bench_library: %d runs failed\n", failures);
        return 1;
    }
    return 0;
}
