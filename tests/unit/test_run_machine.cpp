// The run machine's rules, told events in order as an engine would tell
// them; each step shows the actions asked for, and each row ends with the
// run's end. One row per rule; the rows named for a fault failed before
// the machine owned the rule.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "procferry/run_machine.h"

namespace {

struct step {
    const char *event; // begin, cancelled_begin, started, started_no_in, start_failed, read1, read2,
                       // written, end0, end1, end2, child, timer, cancel
    uint64_t now;
    size_t count;      // read, written; the child's status for "child"
    const char *actions; // what the answer asks, as shown()
};

std::string shown(const pf_run_actions &act)
{
    std::string text;
    auto add = [&](bool on, const std::string &name) {
        if (on)
            text += (text.empty() ? "" : " ") + name;
    };
    add(act.start, "start");
    add(act.read[1], "read1");
    add(act.read[2], "read2");
    add(act.write, "write");
    add(act.close[0], "close0");
    add(act.close[1], "close1");
    add(act.close[2], "close2");
    add(act.end_tree, "end_tree");
    add(act.arm_timer, "timer@" + std::to_string(act.timer_at));
    add(act.finish, "finish");
    return text;
}

pf_run_actions tell(pf_run &run, const step &s)
{
    std::string event = s.event;
    size_t keep = 0;
    if (event == "begin")
        return pf_run_begin(&run, s.now, 0);
    if (event == "cancelled_begin")
        return pf_run_begin(&run, s.now, 1);
    if (event == "started")
        return pf_run_started(&run, s.now, 1, 1, 1);
    if (event == "started_no_in")
        return pf_run_started(&run, s.now, 0, 1, 1);
    if (event == "start_failed")
        return pf_run_start_failed(&run);
    if (event == "read1")
        return pf_run_read(&run, 1, s.count, &keep);
    if (event == "read2")
        return pf_run_read(&run, 2, s.count, &keep);
    if (event == "written")
        return pf_run_written(&run, s.count);
    if (event == "end0" || event == "end1" || event == "end2")
        return pf_run_stream_end(&run, event[3] - '0');
    if (event == "child")
        return pf_run_child_end(&run, s.now, (uint32_t)s.count);
    if (event == "timer")
        return pf_run_timer(&run, s.now);
    if (event == "cancel")
        return pf_run_cancel(&run, s.now);
    ADD_FAILURE() << "no event " << event;
    return pf_run_none();
}

struct row {
    const char *name;
    uint32_t timeout_ms, drain_ms;
    size_t input;
    bool leave_running;
    std::vector<step> steps;
    int kind, ended_by;
    uint32_t status;
    size_t kept_out;
    bool out_capped;
    size_t out_cap = 8; // the caps of the run (stdout's; stderr's is 8)
    bool keep_input = false; // a console's keyboard
};

} // namespace

TEST(RunMachine, EachEventInEachPhaseAsksWhatTheRulesSay)
{
    const uint32_t NO_LIMIT = PROCFERRY_INFINITE;
    const row rows[] = {
        {"a child that writes and ends", NO_LIMIT, 300, 0, false,
         {{"begin", 0, 0, "start"},
          {"started", 5, 0, "read1 read2 close0"},
          {"read1", 10, 4, "read1"},
          {"child", 20, 3, "timer@320"},
          {"end1", 21, 0, ""},
          {"end2", 22, 0, "finish"}},
         PROCFERRY_EXITED, PROCFERRY_ENDED_BY_ITSELF, 3, 4, false},
        {"the input written in pieces, then closed", NO_LIMIT, 300, 10, false,
         {{"begin", 0, 0, "start"},
          {"started", 5, 0, "read1 read2 write"},
          {"written", 6, 4, "write"},
          {"written", 7, 6, "close0"},
          {"end1", 8, 0, ""},
          {"end2", 8, 0, ""},
          {"child", 9, 0, "finish"}},
         PROCFERRY_EXITED, PROCFERRY_ENDED_BY_ITSELF, 0, 0, false},
        {"a child that stops reading its input ends the writing", NO_LIMIT, 300, 10, false,
         {{"begin", 0, 0, "start"},
          {"started", 5, 0, "read1 read2 write"},
          {"end0", 6, 0, ""},
          {"written", 7, 4, ""},
          {"child", 9, 0, "timer@309"},
          {"end1", 10, 0, ""},
          {"end2", 10, 0, "finish"}},
         PROCFERRY_EXITED, PROCFERRY_ENDED_BY_ITSELF, 0, 0, false},
        {"bytes past the cap are dropped and said", NO_LIMIT, 300, 0, false,
         {{"begin", 0, 0, "start"},
          {"started_no_in", 5, 0, "read1 read2"},
          {"read1", 6, 6, "read1"},
          {"read1", 7, 6, "read1"},
          {"end1", 8, 0, ""},
          {"end2", 8, 0, ""},
          {"child", 9, 0, "finish"}},
         PROCFERRY_EXITED, PROCFERRY_ENDED_BY_ITSELF, 0, 8, true},
        // fault: an Asio capture read on past its drain while a grandchild
        // kept writing: a read done then asked for another (the one pending
        // at the end still brings what it read)
        {"a grandchild that keeps writing gets the drain window only", NO_LIMIT, 300, 0, false,
         {{"begin", 0, 0, "start"},
          {"started_no_in", 5, 0, "read1 read2"},
          {"child", 100, 0, "timer@400"},
          {"read1", 200, 65536, "read1"},
          {"timer", 400, 0, "close1 close2 finish"},
          {"read1", 401, 65536, ""}},
         PROCFERRY_EXITED, PROCFERRY_ENDED_BY_ITSELF, 0, 131072, false, PF_RUN_DEFAULT_CAP},
        {"the drain ends with the run's own time", 1000, 300, 0, false,
         {{"begin", 0, 0, "start timer@1000"},
          {"started_no_in", 5, 0, "read1 read2 timer@1000"},
          {"child", 900, 0, "timer@1000"},
          {"timer", 1000, 0, "close1 close2 finish"}},
         PROCFERRY_EXITED, PROCFERRY_ENDED_BY_ITSELF, 0, 0, false},
        {"the time limit counts from before the start, and ends the tree", 1000, 300, 0, false,
         {{"begin", 0, 0, "start timer@1000"},
          {"started_no_in", 400, 0, "read1 read2 timer@1000"},
          {"timer", 1000, 0, "end_tree timer@3000"},
          {"child", 1010, 1, "close1 close2 finish"}},
         PROCFERRY_TIMED_OUT, PROCFERRY_ENDED_AT_TIME_LIMIT, 0, 0, false},
        {"an ended tree that never shows its end ends the run", 1000, 300, 0, false,
         {{"begin", 0, 0, "start timer@1000"},
          {"started_no_in", 400, 0, "read1 read2 timer@1000"},
          {"timer", 1000, 0, "end_tree timer@3000"},
          {"timer", 3000, 0, "close1 close2 finish"}},
         PROCFERRY_TIMED_OUT, PROCFERRY_ENDED_AT_TIME_LIMIT, 0, 0, false},
        {"a start that returns past the time limit ends the tree", 1000, 300, 0, false,
         {{"begin", 0, 0, "start timer@1000"},
          {"timer", 1000, 0, ""},
          {"started", 1200, 0, "close0 end_tree timer@3200"},
          {"child", 1300, 1, "close1 close2 finish"}},
         PROCFERRY_TIMED_OUT, PROCFERRY_ENDED_AT_TIME_LIMIT, 0, 0, false},
        {"a cancel signalled before the begin starts nothing", NO_LIMIT, 300, 0, false,
         {{"cancelled_begin", 0, 0, "finish"}},
         PROCFERRY_CANCELLED, PROCFERRY_ENDED_BY_ITSELF, 0, 0, false},
        // fault: a cancel while the relay had not answered was seen only
        // after its 5 s
        {"a cancel during the start is honoured once it returns", NO_LIMIT, 300, 0, false,
         {{"begin", 0, 0, "start"},
          {"cancel", 300, 0, ""},
          {"started", 310, 0, "close0 end_tree timer@2310"},
          {"child", 320, 1, "close1 close2 finish"}},
         PROCFERRY_CANCELLED, PROCFERRY_ENDED_ON_CANCEL, 0, 0, false},
        {"a cancel while it runs ends the tree, with what was read", NO_LIMIT, 300, 0, false,
         {{"begin", 0, 0, "start"},
          {"started_no_in", 5, 0, "read1 read2"},
          {"read1", 10, 5, "read1"},
          {"cancel", 500, 0, "end_tree timer@2500"},
          {"child", 510, 1, "close1 close2 finish"}},
         PROCFERRY_CANCELLED, PROCFERRY_ENDED_ON_CANCEL, 0, 5, false},
        // fault: an Asio capture left running went on reading a child that
        // kept writing, and never completed
        {"a cancel that leaves the tree running ends the run at once", NO_LIMIT, 300, 0, true,
         {{"begin", 0, 0, "start"},
          {"started_no_in", 5, 0, "read1 read2"},
          {"read1", 10, 65536, "read1"},
          {"cancel", 500, 0, "close1 close2 finish"},
          {"read1", 501, 65536, ""}},
         PROCFERRY_CANCELLED, PROCFERRY_LEFT_RUNNING, 0, 131072, false, PF_RUN_DEFAULT_CAP},
        {"a cancel during the drain ends the drain, and the end stands", NO_LIMIT, 5000, 0, false,
         {{"begin", 0, 0, "start"},
          {"started_no_in", 5, 0, "read1 read2"},
          {"child", 100, 7, "timer@5100"},
          {"cancel", 200, 0, "close1 close2 finish"}},
         PROCFERRY_EXITED, PROCFERRY_ENDED_BY_ITSELF, 7, 0, false},
        {"a cancel after the time limit's end keeps the time limit", 1000, 300, 0, false,
         {{"begin", 0, 0, "start timer@1000"},
          {"started_no_in", 5, 0, "read1 read2 timer@1000"},
          {"timer", 1000, 0, "end_tree timer@3000"},
          {"cancel", 1100, 0, "close1 close2 finish"}},
         PROCFERRY_TIMED_OUT, PROCFERRY_ENDED_AT_TIME_LIMIT, 0, 0, false},
        {"events after the end ask nothing", NO_LIMIT, 300, 0, false,
         {{"begin", 0, 0, "start"},
          {"started_no_in", 5, 0, "read1 read2"},
          {"end1", 6, 0, ""},
          {"end2", 6, 0, ""},
          {"child", 7, 0, "finish"},
          {"cancel", 8, 0, ""},
          {"timer", 9, 0, ""},
          {"child", 10, 5, ""}},
         PROCFERRY_EXITED, PROCFERRY_ENDED_BY_ITSELF, 0, 0, false},
        {"a start that failed keeps its own outcome", NO_LIMIT, 300, 0, false,
         {{"begin", 0, 0, "start"}, {"start_failed", 1, 0, "finish"}},
         0, PROCFERRY_ENDED_BY_ITSELF, 0, 0, false},
        {"a console's keyboard stays open, with no input or all of it written, to the run's end", NO_LIMIT, 300, 0,
         false,
         {{"begin", 0, 0, "start"},
          {"started", 5, 0, "read1 read2"},
          {"child", 20, 0, "timer@320"},
          {"end1", 21, 0, ""},
          {"end2", 22, 0, "close0 finish"}},
         PROCFERRY_EXITED, PROCFERRY_ENDED_BY_ITSELF, 0, 0, false, 8, true},
        {"a console's keyboard after its input, and at the time limit", 100, 300, 4, false,
         {{"begin", 0, 0, "start timer@100"},
          {"started", 5, 0, "read1 read2 write timer@100"},
          {"written", 6, 4, ""},
          {"timer", 100, 0, "end_tree timer@2100"},
          {"child", 110, 9, "close0 close1 close2 finish"}},
         PROCFERRY_TIMED_OUT, PROCFERRY_ENDED_AT_TIME_LIMIT, 0, 0, false, 8, true},
    };
    for (const row &r : rows) {
        pf_run run;
        pf_run_init(&run, r.timeout_ms, r.drain_ms, r.out_cap, 8, r.input, r.leave_running);
        run.keep_input = r.keep_input;
        for (const step &s : r.steps)
            EXPECT_EQ(shown(tell(run, s)), s.actions) << r.name << ": " << s.event << " at " << s.now;
        EXPECT_EQ(run.phase, PF_RUN_DONE) << r.name;
        EXPECT_EQ(run.end.kind, r.kind) << r.name;
        EXPECT_EQ(run.end.ended_by, r.ended_by) << r.name;
        EXPECT_EQ(run.end.exit_status, r.status) << r.name;
        EXPECT_EQ(run.kept[1], r.kept_out) << r.name;
        EXPECT_EQ(run.capped[1] != 0, r.out_capped) << r.name;
        EXPECT_EQ(run.end.timeout_ms, r.timeout_ms) << r.name << ": the limit asked for";
    }
}

// The streams a capture's child gets: what was chosen stays, the rest is
// the capture's; in a console only a stderr merged with stdout changes.
TEST(RunMachine, ACapturesStreamsKeepWhatWasChosen)
{
    const int I = PROCFERRY_STREAM_INHERIT, P = PROCFERRY_STREAM_PIPE, N = PROCFERRY_STREAM_NULL,
              F = PROCFERRY_STREAM_HANDLE, O = PROCFERRY_STREAM_STDOUT;
    struct {
        std::array<int, 3> given;
        bool console, input;
        std::array<int, 3> chosen;
    } rows[] = {
        {{I, I, I}, false, false, {N, P, P}},
        {{I, I, I}, false, true, {P, P, P}},
        {{F, I, O}, false, true, {F, P, O}},
        {{N, I, N}, false, false, {N, P, N}},
        {{I, I, F}, false, false, {N, P, F}},
        {{I, I, I}, true, false, {I, I, I}},
        {{I, I, O}, true, false, {I, I, I}},
        {{I, I, F}, true, false, {I, I, F}},
    };
    for (const auto &r : rows) {
        procferry_stream given[3], chosen[3];
        for (int n = 0; n < 3; ++n)
            given[n] = chosen[n] = {r.given[n], 0, nullptr};
        pf_run_streams(given, r.console, r.input, chosen);
        EXPECT_EQ((std::array<int, 3>{chosen[0].kind, chosen[1].kind, chosen[2].kind}), r.chosen)
            << r.given[0] << r.given[1] << r.given[2] << (r.console ? " in a console" : "")
            << (r.input ? " with input" : "");
    }
}
