// One run, every engine: the same requests through capture(), async_capture
// on one thread and on three, and a one-command pipeline, on the direct start
// and through each relay. Every way must give the same kind, status, bytes,
// capped flags, what the library did and words. The requests come from a
// seeded generator (PROCFERRY_SEED, PROCFERRY_RUNS); their moments are chosen
// where the outcome is one whatever the host's speed.
// Asio first: it includes the sockets header before windows.h.
#include "procferry/asio.hpp"

#include <functional>
#include <random>
#include <thread>

#include "parent_library_fixture.h"

namespace {

struct request {
    std::string name;
    std::map<std::string, std::string> env;
    std::string input;
    uint32_t timeout_ms = PROCFERRY_INFINITE;
    uint32_t drain_ms = 300;
    size_t out_cap = 0;
    int cancel = 0;         // 0: none; 1: signalled before; 2: at cancel_ms
    uint32_t cancel_ms = 0;
    bool leave_running = false;
    bool silent_relay = false; // the probe stands in for a relay that never answers
};

struct outcome {
    int kind = 0;
    uint32_t status = 0;
    std::string out, err;
    bool out_capped = false, err_capped = false;
    int ended_by = 0;
    std::string words;
};

// The words with process ids taken out: each run has its own.
std::string without_pids(std::string words)
{
    for (size_t at = 0; (at = words.find("process ", at)) != std::string::npos;) {
        at += 8;
        size_t end = at;
        while (end < words.size() && isdigit((unsigned char)words[end]))
            ++end;
        words.replace(at, end - at, "N");
    }
    return words;
}

outcome told(const procferry::captured &c)
{
    outcome o;
    o.kind = c.kind;
    o.status = c.kind == PROCFERRY_EXITED ? c.exit_status : 0;
    o.out = c.out;
    o.err = c.err;
    o.out_capped = c.out_capped;
    o.err_capped = c.err_capped;
    o.ended_by = c.ended_by;
    o.words = without_pids(c.words);
    return o;
}

std::string shown(const outcome &o)
{
    return std::string(procferry_kind_name(o.kind)) + " status " + std::to_string(o.status) + " out " +
           std::to_string(o.out.size()) + (o.out_capped ? " capped" : "") + " err " + std::to_string(o.err.size()) +
           (o.err_capped ? " capped" : "") + " ended_by " + std::to_string(o.ended_by) + ": " + o.words;
}

// Signals the request's cancel at its moment, from another thread.
std::thread cancel_later(const request &r, const procferry::canceller &cancel)
{
    if (r.cancel != 2)
        return std::thread();
    return std::thread([cancel, ms = r.cancel_ms] {
        Sleep(ms);
        cancel.cancel();
    });
}

} // namespace

class RunEngines : public ParentLibrary {
protected:
    procferry::capture_options choices(const request &r, const procferry::canceller &cancel) const
    {
        procferry::capture_options c;
        c.env = r.env;
        c.timeout_ms = r.timeout_ms;
        c.drain_ms = r.drain_ms;
        c.stdout_cap = r.out_cap;
        c.flags = PROCFERRY_BINARY_STREAMS;
        if (r.silent_relay)
            c.relay = probe_path();
        else if (!direct())
            c.relay = relay_path();
        if (r.cancel)
            c.cancel = cancel;
        c.leave_running_when_cancelled = r.leave_running;
        if (r.cancel == 1)
            cancel.cancel();
        return c;
    }

    outcome by_capture(const request &r) const
    {
        procferry::canceller cancel;
        procferry::capture_options c = choices(r, cancel);
        std::thread later = cancel_later(r, cancel);
        outcome o = told(procferry::capture(probe_path(), {}, c, r.input));
        if (later.joinable())
            later.join();
        return o;
    }

    outcome by_asio(const request &r, int threads) const
    {
        procferry::canceller cancel;
        procferry::capture_options c = choices(r, cancel);
        asio::io_context io;
        procferry::captured got;
        std::thread later = cancel_later(r, cancel);
        procferry::async_capture(io, probe_path(), {}, c, r.input, [&got](procferry::captured done) { got = std::move(done); });
        std::vector<std::thread> runners;
        for (int t = 1; t < threads; ++t)
            runners.emplace_back([&io] { io.run(); });
        io.run();
        for (std::thread &runner : runners)
            runner.join();
        if (later.joinable())
            later.join();
        return told(got);
    }

    outcome by_pipeline(const request &r) const
    {
        procferry::canceller cancel;
        procferry::capture_options c = choices(r, cancel);
        std::thread later = cancel_later(r, cancel);
        procferry::piped p = procferry::pipeline({{probe_path(), {}}}, c);
        if (later.joinable())
            later.join();
        return told(p);
    }
};

TEST_P(RunEngines, EveryEngineTellsTheSameRun)
{
    const unsigned long seed = setting("PROCFERRY_SEED", 20261210);
    const unsigned long count = setting("PROCFERRY_RUNS", 6);
    std::mt19937 random(seed);
    auto pick = [&](uint32_t low, uint32_t high) { return std::uniform_int_distribution<uint32_t>(low, high)(random); };
    const int slow = parent::wait_limit_ms(1); // every moment widened on a slow host

    // The fixed ones, each a rule; then as many drawn as asked.
    auto make = [](const char *name, std::map<std::string, std::string> env) {
        request r;
        r.name = name;
        r.env = std::move(env);
        return r;
    };
    std::vector<request> requests = {
        make("writes and exits 3", {{"PROBE_WRITE", "1"}, {"PROBE_EXIT", "3"}}),
        make("input larger than a pipe, echoed", {{"PROBE_ECHO", "1"}}),
        make("a grandchild holds the outputs",
             {{"PROBE_WRITE", "1"}, {"PROBE_EXIT", "3"}, {"PROBE_SPAWN", "hold"}, {"PROBE_SLEEP_MS", "10000"}}),
        make("cancelled before it started", {{"PROBE_WRITE", "1"}}),
    };
    requests[1].input = std::string(300000, 'i');
    requests[3].cancel = 1;
    if (!direct()) {
        request silent = make("a relay that never answers, cancelled", {{"PROBE_SLEEP_MS", "20000"}});
        silent.cancel = 2;
        silent.cancel_ms = 300 * slow;
        silent.silent_relay = true;
        requests.push_back(silent);
    }
    for (unsigned long i = 0; i < count; ++i) {
        request r;
        switch (pick(0, 4)) {
        case 0: // a time limit shorter than the child
            r.name = "a time limit shorter than the child";
            r.env = {{"PROBE_WRITE", "1"}, {"PROBE_SLEEP_MS", "60000"}};
            r.timeout_ms = pick(1500, 2500) * slow;
            break;
        case 1: // a time limit longer than the child
            r.name = "a time limit longer than the child";
            r.env = {{"PROBE_WRITE", "1"}, {"PROBE_SLEEP_MS", std::to_string(pick(0, 200))}, {"PROBE_EXIT", "4"}};
            r.timeout_ms = 20000 * slow;
            break;
        case 2: // a cancel while it runs, once it has written
            r.name = "a cancel while it runs";
            r.env = {{"PROBE_WRITE", "1"}, {"PROBE_SLEEP_MS", "60000"}};
            r.cancel = 2;
            r.cancel_ms = pick(1000, 1600) * slow;
            r.leave_running = pick(0, 1) != 0;
            break;
        case 3: // a cancel during the drain, after the child's end
            r.name = "a cancel during the drain";
            r.env = {{"PROBE_WRITE", "1"}, {"PROBE_EXIT", "5"}, {"PROBE_SPAWN", "hold"}, {"PROBE_SLEEP_MS", "10000"}};
            r.drain_ms = 8000 * slow;
            r.cancel = 2;
            r.cancel_ms = pick(2000, 2500) * slow;
            break;
        default: // a cap
            r.name = "bytes past a cap";
            r.env = {{"PROBE_WRITE_BYTES", std::to_string(pick(70000, 300000))}};
            r.out_cap = pick(1, 65536);
            break;
        }
        requests.push_back(r);
    }

    for (const request &r : requests) {
        outcome first = by_capture(r);
        end_probes();
        struct other {
            const char *name;
            std::function<outcome()> run;
        } others[] = {
            {"async_capture on one thread", [&] { return by_asio(r, 1); }},
            {"async_capture on three threads", [&] { return by_asio(r, 3); }},
            {"a one-command pipeline", [&] { return by_pipeline(r); }},
        };
        for (const other &way : others) {
            // A pipeline takes no input of its own.
            if (!r.input.empty() && std::string(way.name) == "a one-command pipeline")
                continue;
            outcome then = way.run();
            end_probes();
            EXPECT_EQ(shown(then), shown(first)) << r.name << ", seed " << seed << ": " << way.name << " against capture()";
            EXPECT_TRUE(then.out == first.out && then.err == first.err) << r.name << ": " << way.name << "'s bytes";
        }
    }
}

INSTANTIATE_FOR_RELAYS_AND_DIRECT(RunEngines);
