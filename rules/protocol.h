/* The relay's protocol with its parent: the command-line positions and their
   letters, the report record and its codes, and the relay's exit statuses.
   The relay and the parent library take these from here and nowhere else.
   Plain C, so that any parent can include it. */
#ifndef PROCFERRY_PROTOCOL_H
#define PROCFERRY_PROTOCOL_H

#include <stdint.h>

/* Positions of the relay's command line. Entry 0 is the relay's own name. */
enum {
    ARG_REPORT_FD = 1,     /* report descriptor, optionally followed by RELAY_ARGV0_MARKER */
    ARG_SYNC_FD = 2,       /* sync descriptor */
    ARG_STDIN_SETTING = 3, /* RELAY_STREAM_INHERIT, RELAY_STREAM_NULL or a descriptor number */
    ARG_STDOUT_SETTING = 4,
    ARG_STDERR_SETTING = 5,
    ARG_WORK_DIR = 6,      /* exactly RELAY_NO_CHANGE_DIR, else a directory */
    ARG_CLOSE_FDS = 7,     /* first letter RELAY_YES: close descriptors 3 to 999 but the channels */
    ARG_SEARCH_PATH = 8,   /* first letter RELAY_YES: look a bare program name up on PATH */
    ARG_WAIT_MODE = 9,     /* first letter RELAY_WAIT: wait for the child */
    ARG_TARGET = 10,       /* the program to launch */
    ARG_COUNT = 10         /* the shortest command line accepted */
};

/* Letters of the command line; a letter test looks at the first character only. */
#define RELAY_ARGV0_MARKER '#'    /* last character of position 1 */
#define RELAY_STREAM_INHERIT '-'
#define RELAY_STREAM_NULL 'z'
#define RELAY_NO_CHANGE_DIR "-"   /* the whole text of position 6 */
#define RELAY_YES 'y'
#define RELAY_WAIT 'w'

/* Descriptors the relay closes when asked to; 0 to 2 and 1000 up are kept. */
enum { RELAY_FIRST_CLOSED_FD = 3, RELAY_LAST_CLOSED_FD = 999 };

/* Report codes, the first field of the record. */
enum {
    RELAY_OK = 0,           /* value: child's exit status (wait) or process handle (no-wait) */
    RELAY_DIR_FAILED = 1,   /* value: errno of the failed directory change */
    RELAY_LAUNCH_FAILED = 2 /* value: errno of the failed launch */
};

/* The one record the relay writes to its report channel: two little-endian
   32-bit integers, code then value, 8 bytes with nothing around them. On a
   64-bit relay the no-wait value is a process handle, which fits: kernel
   handles are significant in their low 32 bits only, so that 32- and 64-bit
   processes can hand them to each other. */
struct relay_report {
    int32_t code;
    int32_t value;
};
enum { RELAY_RECORD_SIZE = 8, RELAY_RECORD_VALUE_OFFSET = 4 };

static inline int32_t relay_record_field(const unsigned char *bytes)
{
    return (int32_t)((uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
                     (uint32_t)bytes[3] << 24);
}

/* The record as the relay writes it. */
static inline void relay_record_encode(struct relay_report report, unsigned char bytes[RELAY_RECORD_SIZE])
{
    uint32_t fields[2] = {(uint32_t)report.code, (uint32_t)report.value};
    for (int i = 0; i < RELAY_RECORD_SIZE; ++i)
        bytes[i] = (unsigned char)(fields[i / 4] >> (8 * (i % 4)));
}

/* The record as it arrived on the report channel. */
static inline struct relay_report relay_record_decode(const unsigned char bytes[RELAY_RECORD_SIZE])
{
    struct relay_report report;
    report.code = relay_record_field(bytes);
    report.value = relay_record_field(bytes + RELAY_RECORD_VALUE_OFFSET);
    return report;
}

/* The relay's exit statuses. A failed check on a broken command line ends the
   relay inside the base library's check reporter; the stand-in built here
   ends it with RELAY_EXIT_CHECK_FAILED. */
enum {
    RELAY_EXIT_RELEASED = 0, /* after a RELAY_OK record and the release */
    RELAY_EXIT_FAILED = 1,   /* after a failure record, or with no channel to write one on */
    RELAY_EXIT_CHECK_FAILED = 3
};

/* The longest command text the platform takes, terminator included; and
   the longest value of an environment variable, which has the same bound. */
enum { RELAY_COMMAND_TEXT_LIMIT = 32767, ENV_VALUE_LIMIT = 32767 };

#endif
