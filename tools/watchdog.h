// --no-wait with --timeout: this tool returns at once, yet the child must be
// ended when the time is up, with everything it started. Only the process
// that started the child holds the library's job for it; so a copy of this
// tool, the watchdog, does the whole run, tells this tool the status to exit
// with, and stays behind to end the child at the timeout.
#ifndef PROCFERRY_RUN_WATCHDOG_H
#define PROCFERRY_RUN_WATCHDOG_H

#include "procferry_run.h"

// In the tool: starts the watchdog on the same command line and returns the
// status it tells; it gets the tool's standard streams.
int hand_over_to_watchdog(int argc, wchar_t **argv);

// In the watchdog: when args are the watchdog's, takes the marker and the
// channel out of them and returns the channel; else NULL.
void *watchdog_channel(std::vector<wchar_t *> &args);
// Tells the waiting tool its exit status and lets it go.
void tell_tool_status(void *channel, int status);

#endif
