// What the parent asked for, read once from the command line; the stages
// act on this value and never look at the command line again.
#ifndef PROCFERRY_SETTINGS_H
#define PROCFERRY_SETTINGS_H

#include <wchar.h>

// How one standard stream of the child is set up.
enum stream_kind {
    STREAM_INHERIT, // left as the relay inherited it
    STREAM_NULL,    // the null device
    STREAM_FD       // the file behind one of the relay's descriptors
};

struct stream_setting {
    enum stream_kind kind;
    int fd; // STREAM_FD only
};

struct relay_settings {
    int report_fd;
    int sync_fd;
    struct stream_setting streams[3]; // for descriptors 0, 1 and 2
    bool change_dir;
    const wchar_t *work_dir; // null when the wide view ends before it
    bool close_fds;
    bool search;
    bool wait;
    const wchar_t *program;  // null when the wide view ends before it
    wchar_t **child_args;    // the child's vector before quoting, up to a null entry
};

// narrow holds at least ARG_COUNT entries; the wide view may hold fewer.
struct relay_settings read_settings(char **narrow, int wide_argc, wchar_t **wide);

#endif
