// procferry-run: plays the relay's parent for a person at a command prompt.
// procferry_run.cpp reads the options, launch.cpp runs the relay and tells
// what happened, demo.cpp sends a set of hard arguments to the probe child.
#ifndef PROCFERRY_RUN_H
#define PROCFERRY_RUN_H

#include <string>

#include "reference_parent.h"

// The tool's own exit statuses. In wait mode it otherwise exits with the
// child's status, which may of course be one of these too.
enum {
    RUN_EXIT_MISMATCH = 1,           // --demo: an argument did not arrive intact
    RUN_EXIT_USAGE = 2,              // bad options
    RUN_EXIT_RELAY_NOT_STARTED = 120,
    RUN_EXIT_NO_REPORT = 121,        // the relay ended without a record (a failed check)
    RUN_EXIT_TIMED_OUT = 122,        // no record within --timeout
    RUN_EXIT_DIR_FAILED = 123,
    RUN_EXIT_LAUNCH_FAILED = 124,
    RUN_EXIT_STREAM_NOT_OPENED = 125 // a --stdin/--stdout/--stderr file
};

// Where one of the child's standard streams comes from or goes to.
struct stream_choice {
    enum { inherit, null_device, file } kind = inherit;
    std::wstring path;
    bool append = false;
};

struct run_options {
    parent::relay_request request; // relay, directory, flags, program, arguments
    stream_choice streams[3];      // stdin, stdout, stderr
    bool stderr_to_stdout = false;
    bool verbose = false;
    bool json = false;
    int timeout_ms = 0;            // 0: wait for the record as long as it takes
};

enum class outcome_kind {
    exited,             // wait mode: the child ended
    running,            // no-wait mode: the child was started
    dir_failed,
    launch_failed,
    no_report,
    timed_out,
    relay_not_started,
    stream_not_opened
};

struct launch_outcome {
    outcome_kind kind = outcome_kind::no_report;
    parent::record_result record;
    int error = 0;                  // errno of whatever failed, 0 if none
    int relay_exit_status = -1000;  // -1000: not known
    std::wstring command_line;
    std::string relay_stderr;       // what the relay printed when it sent no record
    std::string message;            // the line a person reads
    int exit_status = 0;            // the tool's own
};

// Starts the relay as asked and collects its record and exit status. Prints
// --verbose lines as it goes, but not the outcome.
launch_outcome run_launch(run_options &options);
// The outcome as words on stderr, or as one JSON object on stdout.
void print_outcome(const run_options &options, const launch_outcome &outcome);

int run_demo(run_options &options);

std::string errno_name(int error);

#endif
