// The launch relay: the parent's command line in, one report record out.
#ifndef PROCFERRY_RELAY_H
#define PROCFERRY_RELAY_H

#include <stdint.h>
#include <wchar.h>

// Positions of the relay's command line. Entry 0 is the relay's own name.
enum {
    ARG_REPORT_FD = 1,   // report descriptor, optionally followed by the argv-zero marker "#"
    ARG_SYNC_FD = 2,     // sync descriptor
    ARG_STDIN_SPEC = 3,  // "-", "z" or a descriptor number, for descriptor 0
    ARG_STDOUT_SPEC = 4, // the same, for descriptor 1
    ARG_STDERR_SPEC = 5, // the same, for descriptor 2
    ARG_WORK_DIR = 6,    // exactly "-" for no change, else a directory
    ARG_CLOSE_FDS = 7,   // "y..." closes descriptors 3 to 999 but the channels
    ARG_SEARCH_PATH = 8, // "y..." searches the executable search path
    ARG_WAIT_MODE = 9,   // "w..." waits for the child
    ARG_TARGET = 10,     // the program to launch
    ARG_COUNT = 10       // the shortest command line accepted
};

// Report codes, the first field of the record.
enum {
    RELAY_OK = 0,            // value: child's process handle (no-wait) or exit status (wait)
    RELAY_DIR_FAILED = 1,    // value: errno of the failed directory change
    RELAY_LAUNCH_FAILED = 2  // value: errno of the failed launch
};

// The one record the relay writes to its report channel, as two 4-byte
// native-order writes.
struct relay_report {
    int32_t code;
    int32_t value;
};

int relay_main(const char *entry_name);

#endif
