// The C++ examples of the README and of docs/library.md, each as it stands
// there, built and run with the other examples against the installed package
// (the doc_snippets test holds the texts to each other).
//
// Usage: readme_snippets NAME   (run_and_capture, lines_and_pipeline, stop,
//                                console, library_capture, library_streams)
#include <stdio.h>
#include <string.h>

#include <iostream>
#include <string>

#include <procferry/process.hpp>

// README: run a program, capture its output.
static void run_and_capture()
{
    // Run a program to its end.
    procferry::result r = procferry::run("cmd", {"/c", "exit 3"});
    if (!r.success())
        std::cerr << r.words << "\n"; // cmd exited with status 3

    // Capture its output, within a time limit; a failing child shows its status and words.
    procferry::capture_options o;
    o.timeout_ms = 10000;
    procferry::captured c = procferry::capture("cmd", {"/c", "dir nosuch"}, o);
    std::cout << c.out;
    if (!c.success())
        std::cerr << c.words << "\n" << c.err;
}

// README: lines as they come, and a pipeline.
static void lines_and_pipeline()
{
    procferry::started s = procferry::start("ping", {"-n", "3", "127.0.0.1"}, procferry::options().out(procferry::pipe()));
    while (std::optional<std::string> line = s.pipes[1].read_line())
        std::cout << "> " << *line << "\n";
    procferry::result ended = s.process.wait();
    if (!ended.success())
        std::cerr << ended.words << "\n"; // ping exited with status 1, or why it did not run

    procferry::piped p = procferry::pipeline({{"cmd", {"/c", "echo b& echo a"}}, {"cmd", {"/c", "more"}}});
    std::cout << p.out; // b, then a
    if (!p.all_succeeded())
        for (const procferry::result &stage : p.stages)
            std::cerr << stage.words << "\n"; // each command's end, or why it did not run
}

// README: a polite stop, and an exit callback.
static void stop()
{
    bool started = false;
    std::string words;
    {
        procferry::started n = procferry::start("notepad");
        n.process.on_exit([](uint32_t status) { std::cout << "ended with " << status << "\n"; });
        if (n.process.stop(5000) != PROCFERRY_STOPPED_WHEN_ASKED) // its window took the close, or not
            std::cerr << "notepad had to be ended\n";
        started = n.process.valid();
        words = n.process.words();
    }
    // Not in the README: once the child object is gone (its callback has
    // returned or was cancelled), a line that tells the check this program
    // saw the stop return, so that an end of this program during it, or a
    // start that failed, is told apart from a quiet success.
    std::cout << "stop returned" << (started ? "" : "; notepad did not start: " + words) << "\n";
}

// README: a program in a pseudo console, its prompt answered.
static void console()
{
    procferry::started t = procferry::start("cmd", {"/k", "prompt ready$G"}, procferry::options().console({120, 30}));
    if (t.pipes[1].read_until("ready>", 10000)) // its prompt (or a std::regex), within 10 s
        t.pipes[0].write("exit 5\r");
    else
        t.process.kill();
    std::cout << t.pipes[1].read_all();          // what the screen showed, to its end
    std::cerr << t.process.wait().words << "\n"; // cmd exited with status 5
}

// docs/library.md: a capture with input, and a tree ended.
static void library_capture()
{
    procferry::options options;
    options.env.set(L"GREETING", L"hello").unset(L"TEMP");   // or .clear() first
    options.timeout_ms = 10000;
    procferry::captured run = procferry::capture(L"cmd", {L"/c", L"more"}, options, "b\r\na\r\n");
    if (run.success())
        std::cout << run.out;
    else
        std::cerr << run.words << "\n" << run.err; // what happened, then what the child said

    procferry::started started = procferry::start(L"cmd", {L"/c", L"ping -n 60 127.0.0.1"});
    if (started.process.valid())
        started.process.kill();        // cmd, and the ping it started
}

// docs/library.md: lines as they come, a pipeline and a side channel.
static void library_streams()
{
    procferry::options piped;
    piped.streams[1] = procferry::pipe();
    procferry::started ping = procferry::start(L"ping", {L"-n", L"4", L"127.0.0.1"}, piped);
    while (std::optional<std::string> line = ping.pipes[1].read_line())
        std::cout << "progress: " << *line << "\n";
    procferry::result status = ping.process.wait(); // status.status(): the exit status, if it exited

    procferry::started a = procferry::start(L"cmd", {L"/c", L"dir /b"}, piped);
    procferry::options from_a;
    from_a.streams[0] = procferry::file(a.pipes[1]);
    from_a.streams[1] = procferry::pipe();
    procferry::started b = procferry::start(L"cmd", {L"/c", L"more"}, from_a);
    a.pipes[1].close();                        // b holds its own copy
    std::cout << b.pipes[1].read_all();

    procferry::pipe_pair side = procferry::make_pipe();   // a side channel, descriptor 3
    procferry::options with_side;
    with_side.extra_fds = {procferry::file(side.write)};
    procferry::started worker = procferry::start(L"worker.exe", {L"--status-fd", L"3"}, with_side);
    if (!worker.process.valid())
        std::cerr << worker.words << "\n";     // worker.exe: not found on PATH ...
    side.write.close();                        // the child holds its own copy
    while (std::optional<std::string> status = side.read.read_line())
        std::cout << "worker: " << *status << "\n";
}

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "";
    struct {
        const char *name;
        void (*snippet)();
    } snippets[] = {{"run_and_capture", run_and_capture}, {"lines_and_pipeline", lines_and_pipeline}, {"stop", stop}, {"console", console}, {"library_capture", library_capture}, {"library_streams", library_streams}};
    for (const auto &one : snippets)
        if (strcmp(name, one.name) == 0) {
            one.snippet();
            return 0;
        }
    fprintf(stderr, "usage: readme_snippets NAME (see the top of this file)\n");
    return 2;
}
