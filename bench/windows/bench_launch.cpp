// What a launch through the relay costs. Three ways of starting the bench
// child (which ends at once), interleaved round by round so that all see the
// same warm wineserver:
//   direct      the parent starts the child itself (_wspawnvp, wait);
//   null relay  the parent starts a program that only starts the child and
//               waits (the floor: any relay is one more process start);
//   relay       parent -> relay -> child in wait mode, released at once, for
//               both relay programs.
// Wine stalls a nested process start now and then by tens of milliseconds,
// so each way prints its minimum and its median, and the verdict rests on
// the minimums: relay / null relay, goal <= 1.05. For the relay the time
// until the record arrives, when the parent knows the outcome, is printed
// too; the rest is the release and the relay's exit.
//
// With "search", every way finds the child by its bare name at the end of a
// 20-entry PATH instead of being given its full path.
//
// Usage: bench_launch [launches per way, default 100] [search]
#include <io.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "parent/relay_start.h"

#include "bench_clock.h"
#include "procferry/parent.h"
#include "rules/protocol.h"

namespace {

const int WARM_UP_ROUNDS = 3;
const DWORD HANG_TIMEOUT_MS = 30000;

struct way {
    std::string name;
    // Launches once; may note the moment the outcome was known.
    std::function<bool(double *record_at)> launch;
    std::vector<double> ms;
    std::vector<double> record_ms;
};

bool spawn_and_wait(const std::vector<std::wstring> &entries)
{
    std::vector<const wchar_t *> argv;
    for (const std::wstring &entry : entries)
        argv.push_back(entry.c_str());
    argv.push_back(nullptr);
    return _wspawnvp(_P_WAIT, entries[0].c_str(), argv.data()) == 0;
}

// One launch through the parent library, step by step so that the moment the
// record arrives can be noted. The library waits for the record on the
// channel and the relay's process at once, so no polling interval is
// measured along with the relay; a relay that hangs is ended at the timeout.
bool relay_once(const procferry_options &options, double *record_at)
{
    pf_session session;
    procferry_result failure;
    if (pf_session_start_options(&options, &session, &failure) != 0)
        return false;
    pf_record record = {-1, -1};
    int got = pf_session_read_record(&session, HANG_TIMEOUT_MS, &record);
    *record_at = now_ms();
    pf_session_release(&session, 1);
    uint32_t exit_status = 1;
    int ended = pf_session_wait_relay(&session, HANG_TIMEOUT_MS, &exit_status);
    pf_session_close(&session);
    return got == RELAY_RECORD_SIZE && record.code == RELAY_OK && record.value == 0 && ended == 0 &&
           exit_status == RELAY_EXIT_RELEASED;
}

// For "search": PATH becomes 19 directories without the probe followed by
// the one with it, and the current directory one without it, so that every
// way finds the probe by its bare name at the end of a 20-entry PATH. The
// entries are short: the runtime's own search, which the floor uses, finds
// nothing on a PATH much longer than a file path.
void use_long_search_path(const std::wstring &probe_dir)
{
    std::wstring base = L"C:\\pb";
    CreateDirectoryW(base.c_str(), nullptr);
    std::wstring path;
    for (int i = 0; i < 19; ++i) {
        std::wstring entry = base + L"\\e" + std::to_wstring(i);
        CreateDirectoryW(entry.c_str(), nullptr);
        path += entry + L";";
    }
    path += probe_dir.substr(0, probe_dir.size() - 1);
    SetEnvironmentVariableW(L"PATH", path.c_str());
    _wputenv((L"PATH=" + path).c_str());
    SetCurrentDirectoryW(base.c_str());
}

double minimum(std::vector<double> values)
{
    return *std::min_element(values.begin(), values.end());
}

// The tenth percentile: near the floor like the minimum, but not one lucky run.
double tenth_percentile(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 10];
}

} // namespace

int main(int argc, char **argv)
{
    int launches = argc > 1 ? atoi(argv[1]) : 100;
    if (launches < 1)
        launches = 1;
    std::wstring dir = own_directory();
    std::wstring probe = dir + L"bench_child.exe";
    std::wstring null_relay = dir + L"null_relay.exe";
    bool search = argc > 2 && strcmp(argv[2], "search") == 0;
    if (search) {
        use_long_search_path(dir);
        probe = L"bench_child.exe";
    }

    std::vector<way> ways;
    ways.push_back({"direct", [&](double *) { return spawn_and_wait({probe}); }, {}, {}});
    ways.push_back({"null relay", [&](double *) { return spawn_and_wait({null_relay, probe}); }, {}, {}});
    static const std::wstring relays[] = {dir + L"procferry-console.exe", dir + L"procferry.exe"};
    for (const std::wstring &relay : relays) {
        procferry_options options;
        procferry_options_init(&options);
        options.relay = relay.c_str();
        options.program = probe.c_str();
        std::string name = &relay == &relays[0] ? "relay (console)" : "relay (gui)";
        ways.push_back({name, [options](double *record_at) { return relay_once(options, record_at); }, {}, {}});
    }

    int failures = 0;
    for (int round = 0; round < WARM_UP_ROUNDS + launches; ++round) {
        // Rotate the order so that no way always follows the same one.
        for (size_t i = 0; i < ways.size(); ++i) {
            way &current = ways[(round + i) % ways.size()];
            double start = now_ms();
            double record_at = -1;
            bool ok = current.launch(&record_at);
            double elapsed = now_ms() - start;
            if (!ok) {
                ++failures;
            } else if (round >= WARM_UP_ROUNDS) {
                current.ms.push_back(elapsed);
                if (record_at >= 0)
                    current.record_ms.push_back(record_at - start);
            }
        }
    }
    if (failures) {
        fprintf(stderr, "bench_launch: %d launches failed\n", failures);
        return 1;
    }

    printf("launch cost under wine, %d launches per way, interleaved (ms)%s\n", launches,
           search ? ", the program found at the end of a 20-entry PATH" : "");
    printf("  %-16s %9s %9s %9s   %s\n", "way", "min", "p10", "median",
           "until the record: min, median");
    for (const way &w : ways) {
        printf("  %-16s %9.2f %9.2f %9.2f", w.name.c_str(), minimum(w.ms), tenth_percentile(w.ms),
               median(w.ms));
        if (!w.record_ms.empty())
            printf("   %9.2f %9.2f", minimum(w.record_ms), median(w.record_ms));
        printf("\n");
    }
    const way &floor = ways[1];
    for (size_t i = 2; i < ways.size(); ++i)
        printf("%s / null relay: min %.3f (goal <= 1.05), p10 %.3f, median %.3f\n",
               ways[i].name.c_str(), minimum(ways[i].ms) / minimum(floor.ms),
               tenth_percentile(ways[i].ms) / tenth_percentile(floor.ms),
               median(ways[i].ms) / median(floor.ms));
    return 0;
}
