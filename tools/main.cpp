// procferry-run [options] [--] PROGRAM [ARG...]: runs PROGRAM through the
// relay, as the base library's spawning facility would, and says what happened.
#include <errno.h>
#include <stdio.h>

#include "demo.h"
#include "print.h"
#include "watchdog.h"

int wmain(int argc, wchar_t **argv)
{
    int demo_child = run_demo_child_if_asked(argc, argv);
    if (demo_child >= 0)
        return demo_child;
    std::vector<wchar_t *> args(argv, argv + argc);
    void *watchdog = watchdog_channel(args);

    run_options run;
    bool demo = false;
    int status = parse_command_line((int)args.size(), args.data(), run, &demo);
    if (status < 0 && demo)
        status = run_demo(run);
    else if (status < 0 && !run.wait && run.timeout_ms && !watchdog)
        status = hand_over_to_watchdog(argc, argv);
    if (status >= 0) {
        if (watchdog)
            tell_tool_status(watchdog, status);
        return status;
    }

    // The file is made before anything runs, so that a name that cannot be
    // written stops the run rather than losing its outcome.
    FILE *json_file = nullptr;
    if (!run.json_file.empty() && !(json_file = _wfopen(run.json_file.c_str(), L"wb"))) {
        say("--json-file " + to_utf8(full_path(run.json_file)) + ": cannot create it: " +
            errno_words(errno) + "; nothing was run");
        status = RUN_EXIT_OWN_FAILURE;
    } else {
        launch_outcome outcome = run_launch(run);
        status = print_outcome(run, outcome, json_file);
        if (json_file)
            fclose(json_file);
        if (watchdog) {
            tell_tool_status(watchdog, status);
            watchdog = nullptr;
            // With --json the one object is all the tool prints.
            if (end_child_at_timeout(run, outcome) && !run.json)
                say_ended_at_timeout(run, outcome);
        }
    }
    if (watchdog)
        tell_tool_status(watchdog, status);
    return status;
}
