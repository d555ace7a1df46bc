// Starting the relay on a command line of one's own making: the library's
// own step under pf_session_start_options, and what the tests' parent
// uses to write lines no ordinary parent writes. Not installed: a line of
// one's own needs the relay's protocol, which is the library's to know.
#ifndef PROCFERRY_RELAY_START_H
#define PROCFERRY_RELAY_START_H

#include "procferry/parent.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Steps of a start through the relay, for the library and the tests' parent ----

   procferry_start is these steps in order: session_start_options,
   session_read_record, session_take_child (no-wait), session_release,
   session_wait_relay, session_close; session_kill_tree when the record does
   not come in time. */

/* The record the relay writes on its report channel: two little-endian
   32-bit integers, code then value. */
struct pf_record {
    int32_t code;   /* PF_RECORD_OK, _DIR_FAILED, _LAUNCH_FAILED */
    int32_t value;  /* OK: the child's exit status (wait) or process handle in the
                       relay (no-wait); else the errno */
};
enum {
    PF_RECORD_SIZE = 8,
    PF_RECORD_OK = 0,
    PF_RECORD_DIR_FAILED = 1,
    PF_RECORD_LAUNCH_FAILED = 2
};

/* A started relay and the parent's ends of its channels. */
struct pf_session {
    procferry_handle relay;         /* the relay's process; NULL when it is not running */
    uint32_t relay_pid;
    procferry_handle report;        /* parent's read end of the report channel */
    procferry_handle sync;          /* parent's write end of the sync channel */
    procferry_handle relay_stderr;  /* parent's read end of the relay's stderr, or NULL */
    int relay_report_fd;            /* the descriptor numbers the relay was given */
    int relay_sync_fd;
    int spawn_errno;                /* the relay's start failed with this errno */
    int handle_refused;             /* a handle for the relay could not be handed over (EBADF) */
    uint32_t win32_error;           /* a channel, job or event could not be made */
    procferry_handle job;           /* the start's job, or NULL */
    procferry_handle cancel;        /* an event that ends the wait for the record, or NULL */
};

/* Starts the relay for options as procferry_start does through the relay
   (the relay named, or with options.relay NULL the default one, with or
   without PROCFERRY_RELAY), on the same launch plan; the relay waits for the
   child unless PROCFERRY_NO_WAIT (procferry_start never has it wait).
   Returns 0 once the relay runs; else the kind of the failure, with *result
   filled and nothing left open. */
int pf_session_start_options(const struct procferry_options *options,
                                    struct pf_session *session,
                                    struct procferry_result *result);

/* Reads the record. Returns PF_RECORD_SIZE with *record filled, 0 to
   7 when the channel ended first (the relay ended or let it go), -1 when
   timeout_ms passed first, -3 when session->cancel was signalled first, or
   -2 when the wait could not be set up
   (session->win32_error says why). Returns early when the relay ends
   without writing. The timeout holds for the report channel the session
   made; a caller that puts a blocking pipe handle of its own in
   session->report reads it blocking. */
int pf_session_read_record(struct pf_session *session, uint32_t timeout_ms,
                                  struct pf_record *record);
/* Lets the relay end: writes one byte to the sync channel (when with_byte)
   and closes it. */
void pf_session_release(struct pf_session *session, int with_byte);
/* Waits for the relay to end: 0 with its status, or PROCFERRY_TIMED_OUT
   after ending it. Closes the relay's process handle either way. */
int pf_session_wait_relay(struct pf_session *session, uint32_t timeout_ms,
                                 uint32_t *status);
/* A no-wait child, its process taken over from the relay with the record's
   value; the relay must not have been released yet. NULL on failure. The
   session's job goes with the child: procferry_child_kill ends the tree,
   procferry_child_close lets go of the job. */
struct procferry_child *pf_session_take_child(struct pf_session *session,
                                                     int32_t value);
/* What the relay wrote on its captured stderr so far, up to capacity - 1
   bytes and a terminating zero; returns the byte count. */
size_t pf_session_relay_stderr(struct pf_session *session, char *text,
                                      size_t capacity);
/* Ends the relay and everything it started (the job; without one, the relay
   and its direct children), for a relay that did not answer in time. */
void pf_session_kill_tree(struct pf_session *session);
/* Closes what is left of the session: ends a relay still running (only the
   relay) and closes the channels and the job handle (which does not end the
   job's processes). */
void pf_session_close(struct pf_session *session);

/* The relay's descriptor numbers of one start. */
struct pf_relay_fds {
    int report;        /* the report channel's write end */
    int sync;          /* the sync channel's read end */
    int streams[3];    /* copies of pf_relay_start.streams; -1 for none */
};

/* Writes the relay's whole command text, relay name first, for the given
   descriptors: a string from malloc, which the library frees; NULL when it
   cannot. */
typedef wchar_t *(*pf_line_builder)(void *context, const struct pf_relay_fds *fds);

struct pf_relay_start {
    const wchar_t *relay;             /* the relay program's path */
    pf_line_builder build_line;
    void *context;
    /* Streams of the caller's (PROCFERRY_STREAM_FD or _HANDLE) that the relay
       inherits as descriptors for the child's streams; their numbers reach
       build_line. Other kinds: none. */
    struct procferry_stream streams[3];
    /* Handles the relay and its child get as descriptors 3, 4, ... (NULL:
       none open at that number); the channels come after them. */
    const procferry_handle *extra_fds;
    size_t extra_fd_count;
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

/* Starts a relay on a command line of the caller's making, with the caller's
   descriptors 0 to 2 as its own streams. 0 once the relay runs; -1 when it did not start: spawn_errno says why (EBADF: a stream to
   hand over is not open; ENOEXEC: the relay is not a program image; EACCES:
   it is a directory; E2BIG: the text is past 32,767 units), and win32_error
   when a channel could not be made. Nothing is left open then. */
int pf_session_start_line(const struct pf_relay_start *start,
                                 struct pf_session *session);

#ifdef __cplusplus
}
#endif

#endif
