// One run of PROGRAM through the parent library, and what became of it.
#ifndef PROCFERRY_RUN_RUN_H
#define PROCFERRY_RUN_RUN_H

#include "options.h"

struct launch_outcome {
    procferry_result result = {};  // the library's answer; kind 0 when nothing was asked
    int failed_stream = -1;        // 0 to 2: that stream's file could not be opened (error)
    int error = 0;                 // errno of the stream file
    bool ended = false;            // exit_status is known
    int32_t exit_status = 0;       // the child's, in full
    bool timed_out = false;        // --timeout passed and the child's tree was ended
    bool killed = false;           // --kill-after: asking was not enough, the tree was ended
    int stopped = 0;               // --kill-after: procferry_child_stop's answer (0: no stop)
    std::wstring program;          // as found, or as typed when it was not found
    std::wstring relay;            // the relay used or tried
    uint64_t started_at = 0;       // GetTickCount64 when the run began
    uint64_t elapsed_ms = 0;
    procferry_child *child = nullptr; // --no-wait: the child, still the caller's to close
};

// The file the relay will launch for PROGRAM, found the relay's way in the
// directory the child starts in and on the PATH it will have; PROGRAM as
// typed when there is none.
std::wstring program_to_launch(const run_options &options, const std::wstring &start_dir);

// The library's options for a run; args and env hold the pointers it uses.
procferry_options start_options(const run_options &options, std::vector<const wchar_t *> &args,
                                std::vector<const wchar_t *> &env);

// Runs the program as asked: waits for it, ending its tree at the timeout,
// or with --no-wait returns it running in outcome.child. Prints the
// --verbose lines as it goes, not the outcome.
launch_outcome run_launch(const run_options &options);

// --no-wait with --timeout: ends outcome.child's tree once the time since
// the start is up, unless it ended first; closes the child. True when it ended it.
bool end_child_at_timeout(const run_options &options, launch_outcome &outcome);

#endif
