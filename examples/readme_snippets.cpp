// The README's C++ examples, each as it stands there, compiled with the
// other examples against the installed package.
//
// Usage: readme_snippets NAME   (run, capture, lines, pipeline, stop)
#include <stdio.h>
#include <string.h>

#include <iostream>

#include <procferry/process.hpp>

static void run()
{
    procferry::result r = procferry::run("cmd", {"/c", "exit 3"});
    if (!r.success())
        std::cerr << r.words << "\n"; // cmd exited with status 3
}

static void capture()
{
    procferry::capture_options o;
    o.timeout_ms = 5000;
    procferry::captured c = procferry::capture("cmd", {"/c", "dir nosuch"}, o);
    std::cout << c.out;
    if (!c.success())
        std::cerr << c.words << "\n" << c.err; // the status and the child's own words
}

static void lines()
{
    procferry::options o;
    o.streams[1] = procferry::pipe();
    procferry::started s = procferry::start("ping", {"-n", "3", "127.0.0.1"}, o);
    while (std::optional<std::string> line = s.pipes[1].read_line())
        std::cout << "> " << *line << "\n";
    s.process.wait();
}

static void pipeline()
{
    procferry::options first, second;
    first.streams[1] = procferry::pipe();
    procferry::started a = procferry::start("cmd", {"/c", "echo b& echo a"}, first);
    second.streams[0] = procferry::file(a.pipes[1]);
    second.streams[1] = procferry::pipe();
    procferry::started b = procferry::start("sort", {}, second);
    a.pipes[1].close(); // sort sees the end once cmd ends
    std::cout << b.pipes[1].read_all(); // a, then b
}

static void stop()
{
    procferry::started n = procferry::start("notepad");
    n.process.on_exit([](uint32_t status) { std::cout << "ended with " << status << "\n"; });
    int how = n.process.stop(5000); // PROCFERRY_STOPPED_WHEN_ASKED: its window took the close
    std::cout << (how == PROCFERRY_STOPPED_WHEN_ASKED ? "asked" : "ended") << "\n";
}

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "";
    struct {
        const char *name;
        void (*snippet)();
    } snippets[] = {{"run", run}, {"capture", capture}, {"lines", lines}, {"pipeline", pipeline}, {"stop", stop}};
    for (const auto &one : snippets)
        if (strcmp(name, one.name) == 0) {
            one.snippet();
            return 0;
        }
    fprintf(stderr, "usage: readme_snippets run|capture|lines|pipeline|stop\n");
    return 2;
}
