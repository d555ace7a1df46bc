// A run's outcome for a person and for a script.
#ifndef PROCFERRY_RUN_PRINT_H
#define PROCFERRY_RUN_PRINT_H

#include "run.h"

// The outcome as a line on stderr, as one JSON object on stderr instead, or
// as one JSON object in json_file (when not NULL) besides the line. Returns
// the status the tool exits with.
int print_outcome(const run_options &options, const launch_outcome &outcome, FILE *json_file);

// "ENOENT: no such file or directory", for failures of the tool's own.
std::string errno_words(int error);

// The line of a --no-wait child ended at its timeout, said by the copy that watched it.
void say_ended_at_timeout(const run_options &options, const launch_outcome &outcome);

#endif
