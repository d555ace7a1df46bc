// Starting the relay on a command line of one's own making: the library's
// own step under procferry_session_start_options, and what the tests' parent
// uses to write lines no ordinary parent writes. Not installed: a line of
// one's own needs the relay's protocol, which is the library's to know.
#ifndef PROCFERRY_RELAY_START_H
#define PROCFERRY_RELAY_START_H

#include "procferry/parent.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The relay's descriptor numbers of one start. */
struct procferry_relay_fds {
    int report;        /* the report channel's write end */
    int sync;          /* the sync channel's read end */
    int streams[3];    /* copies of procferry_relay_start.streams; -1 for none */
};

/* Writes the relay's whole command text, relay name first, for the given
   descriptors: a string from malloc, which the library frees; NULL when it
   cannot. */
typedef wchar_t *(*procferry_line_builder)(void *context, const struct procferry_relay_fds *fds);

struct procferry_relay_start {
    const wchar_t *relay;             /* the relay program's path */
    procferry_line_builder build_line;
    void *context;
    /* Streams of the caller's (PROCFERRY_STREAM_FD or _HANDLE) that the relay
       inherits as descriptors for the child's streams; their numbers reach
       build_line. Other kinds: none. */
    struct procferry_stream streams[3];
    /* Gives the relay a private pipe as its stderr, to capture a check
       report; else the relay's stderr is the caller's. */
    int capture_relay_stderr;
    /* A block for CREATE_UNICODE_ENVIRONMENT, or NULL for the caller's own. */
    const wchar_t *environment;
    /* 0: the start gets a job of its own (see PROCFERRY_NO_JOB). */
    int no_job;
    /* 0: the child's standard streams reach it in text mode. */
    int binary_streams;
    /* The relay starts a console process group of its own, which its child
       joins. */
    int new_process_group;
    /* The relay is started without a console window (CREATE_NO_WINDOW). */
    int no_window;
};

/* Starts a relay on a command line of the caller's making. 0 once the relay
   runs; -1 when it did not start: spawn_errno says why (EBADF: a stream to
   hand over is not open; ENOEXEC: the relay is not a program image; EACCES:
   it is a directory; E2BIG: the text is past 32,767 units), and win32_error
   when a channel could not be made. Nothing is left open then. */
int procferry_session_start_line(const struct procferry_relay_start *start,
                                 struct procferry_session *session);
/* procferry_session_start_line, with relay_streams[n] (PROCFERRY_STREAM_FD)
   as the relay's descriptor n instead of the caller's (NULL: none), and with
   pass_inheritable_fds every inheritable descriptor of the caller's from 3
   up at its own number, as a runtime spawn hands them (the channels then
   come after the highest). For the tests' parent. */
int procferry_session_start_line_standing_in(const struct procferry_relay_start *start,
                                             const struct procferry_stream *relay_streams,
                                             int pass_inheritable_fds,
                                             struct procferry_session *session);

#ifdef __cplusplus
}
#endif

#endif
