// Ten everyday jobs, each as short as with Python's subprocess, or one line
// longer at most. Each job's lines stand between its "job" and "end"
// comments; the first comment gives their count and Python's, which the
// doc_snippets test holds to the text. Built and run against the installed
// package: each job checks what it got, and the program exits 0 only when
// all ten did what they should.
//
// Usage: everyday_jobs            (the ten jobs)
//        everyday_jobs worker     (job 9's child: says "ready" on descriptor 3)
#include <io.h>
#include <stdio.h>
#include <string.h>

#include <iostream>
#include <string>
#include <vector>

#include <procferry/process.hpp>

static std::string self;

static bool run_a_program()
{
    // job 1, run a program: 1 line (Python 1)
    procferry::result r = procferry::run("cmd", {"/c", "exit 3"});
    // end
    return r.status() == 3u;
}

static bool capture_with_a_timeout()
{
    // job 2, capture its output within a time limit: 3 lines (Python 2)
    procferry::capture_options o;
    o.timeout_ms = 5000;
    procferry::captured c = procferry::capture("cmd", {"/c", "echo hi"}, o);
    // end
    return c.success() && c.out == "hi\r\n";
}

static bool stdin_to_stdout()
{
    // job 3, give it input and take its output: 1 line (Python 1)
    procferry::captured c = procferry::capture("cmd", {"/c", "more"}, {}, "b\r\na\r\n");
    // end
    return c.success() && c.out == "b\r\na\r\n";
}

static bool with_an_environment()
{
    // job 4, run it with a variable set: 3 lines (Python 3)
    procferry::capture_options o;
    o.env.set("GREETING", "hello");
    procferry::captured c = procferry::capture("cmd", {"/c", "echo %GREETING%"}, o);
    // end
    return c.out == "hello\r\n";
}

static bool lines_as_they_come()
{
    std::vector<std::string> seen;
    // job 5, its output line by line as it comes: 4 lines (Python 4)
    procferry::started s = procferry::start("cmd", {"/c", "echo one& echo two"}, procferry::options().out(procferry::pipe()));
    while (std::optional<std::string> line = s.pipes[1].read_line())
        seen.push_back(*line);
    procferry::result ended = s.process.wait();
    // end
    return ended.success() && seen == std::vector<std::string>{"one", "two"};
}

static bool a_pipeline()
{
    // job 6, a pipeline, "a | b": 1 line (Python 4)
    procferry::piped p = procferry::pipeline({{"cmd", {"/c", "echo b& echo a"}}, {"cmd", {"/c", "more"}}});
    // end
    return p.all_succeeded() && p.out == "b\r\na\r\n";
}

static bool first_of_five()
{
    // job 7, start five and take the first to end: 6 lines (Python 7)
    std::vector<procferry::child> children;
    for (int i = 0; i < 5; ++i)
        children.push_back(procferry::start("ping", {"-n", i == 2 ? "1" : "6", "127.0.0.1"}, procferry::options().out(procferry::null())).process);
    std::optional<size_t> first = procferry::wait_any(children, 30000);
    for (procferry::child &c : children)
        c.kill();
    // end
    return first == 2u;
}

static bool a_graceful_stop()
{
    // job 8, ask it to stop, end it if it will not: 2 lines (Python 2)
    procferry::started n = procferry::start("notepad");
    int how = n.process.stop(5000);
    // end
    return how == PROCFERRY_STOPPED_WHEN_ASKED;
}

static bool a_side_channel()
{
    // job 9, a side channel on the child's descriptor 3: 6 lines (Python 5)
    procferry::pipe_pair side = procferry::make_pipe();
    procferry::options o;
    o.extra_fds = {procferry::file(side.write)};
    procferry::started w = procferry::start(self, {"worker"}, o);
    side.write.close();
    std::optional<std::string> said = side.read.read_line();
    // end
    return said == std::string("ready") && w.process.wait(10000).success();
}

static bool words_for_a_failure()
{
    std::string shown;
    // job 10, say why a start failed: 3 lines (Python 5)
    procferry::result r = procferry::run("procferry-no-such-program");
    if (!r.success())
        shown = r.words; // "procferry-no-such-program: not found on PATH ..."
    // end
    return r.kind == PROCFERRY_LAUNCH_FAILED && shown.find("not found") != std::string::npos;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "worker") == 0)
        return _write(3, "ready\n", 6) == 6 ? 0 : 1;
    self = argv[0];
    struct {
        const char *name;
        bool (*job)();
    } jobs[] = {{"run", run_a_program}, {"capture with a timeout", capture_with_a_timeout},
                {"stdin to stdout", stdin_to_stdout}, {"environment", with_an_environment},
                {"lines as they come", lines_as_they_come}, {"pipeline", a_pipeline},
                {"first of five", first_of_five}, {"graceful stop", a_graceful_stop},
                {"side channel", a_side_channel}, {"words for a failure", words_for_a_failure}};
    int failed = 0;
    for (const auto &one : jobs) {
        bool done = one.job();
        std::cout << (done ? "done: " : "FAILED: ") << one.name << "\n";
        failed += !done;
    }
    return failed;
}
