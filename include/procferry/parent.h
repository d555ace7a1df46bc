/* Starting programs through the relay, from a parent's side.

   The library creates the two channels, writes and quotes the relay's command
   line, starts the relay, reads its record within a timeout while watching the
   relay's process, releases it, and hands back one result. Plain C; every
   handle is a HANDLE passed as void * so that this header needs no windows.h.

   Typical use:

       struct procferry_options options;
       struct procferry_result result;
       procferry_options_init(&options);
       options.relay = L"C:\\procferry\\bin\\procferry-console.exe";
       options.program = L"C:\\Windows\\system32\\cmd.exe";
       options.args = args;            (the child's arguments after argument zero)
       options.arg_count = 2;
       options.timeout_ms = 10000;
       if (procferry_start(&options, &result) == PROCFERRY_EXITED)
           printf("status %lu\n", (unsigned long)result.exit_status);

   Threads: any number of threads may start programs at once. The channel
   ends the relay needs exist as inheritable handles only inside one
   process-wide lock around the relay's start, and are closed before the lock
   is let go, so that no other start through this library (nor its relay or
   child) can hold them. A start elsewhere in the process that inherits every
   inheritable handle while not holding this lock can still catch the caller's
   own inheritable descriptors; the library's channels are never among them. */
#ifndef PROCFERRY_PARENT_H
#define PROCFERRY_PARENT_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "rules/protocol.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A HANDLE. */
typedef void *procferry_handle;

/* Waits that never end. */
#define PROCFERRY_INFINITE 0xFFFFFFFFu

/* Where one of the child's standard streams comes from or goes to. The
   library borrows a descriptor or handle of the caller's: it never closes it
   nor changes its inheritance, and hands the relay a copy of its own that is
   inheritable only while the relay starts. What travels is the file, not the
   runtime's flags on the caller's descriptor: a descriptor opened with
   _O_APPEND reaches the child as a plain writer at the file's current
   position. For a child that appends, open the file with FILE_APPEND_DATA
   access alone; the system then appends whatever writes to it. */
enum procferry_stream_kind {
    PROCFERRY_STREAM_INHERIT = 0, /* the caller's own stream of that number */
    PROCFERRY_STREAM_NULL = 1,    /* the null device */
    PROCFERRY_STREAM_FD = 2,      /* fd: a C runtime descriptor of the caller's */
    PROCFERRY_STREAM_HANDLE = 3   /* handle: a file, pipe or device HANDLE of the caller's */
};

struct procferry_stream {
    int kind;
    int fd;
    procferry_handle handle;
};

/* Flags of a start. */
enum {
    PROCFERRY_SEARCH_PATH = 1,   /* look a bare program name up on PATH (after the directory change) */
    PROCFERRY_CLOSE_FDS = 2,     /* the child gets no inherited descriptor from 3 to 999 */
    PROCFERRY_NO_WAIT = 4,       /* return once the child runs, with its process handle */
    PROCFERRY_ARGV0 = 8,         /* args[0] is the child's argument zero; else the program is */
    /* Keep the text of a check report (see procferry_result.check_report).
       The relay reports on its stderr, which it takes from the caller's
       descriptor 2; to catch the text, descriptor 2 stands for a private pipe
       while the relay starts (inside the start lock), and a child that is to
       inherit stderr gets the caller's by number instead (the null device
       when the caller has none). Meanwhile, writes of other threads to
       descriptor 2 go to that pipe, and afterwards it holds a new handle to
       the same stream. Without this flag the report goes to the caller's
       stderr and only the kind tells of it. */
    PROCFERRY_CAPTURE_CHECK_REPORT = 16
};

struct procferry_options {
    uint32_t size;                /* sizeof (struct procferry_options); set by procferry_options_init */
    const wchar_t *relay;         /* path of procferry.exe or procferry-console.exe */
    const wchar_t *program;       /* the program to run (required) */
    const wchar_t *const *args;   /* the child's arguments after argument zero (see PROCFERRY_ARGV0) */
    size_t arg_count;
    const wchar_t *dir;           /* the child's working directory; NULL: the caller's */
    struct procferry_stream streams[3]; /* stdin, stdout, stderr; default: inherit */
    uint32_t flags;               /* PROCFERRY_SEARCH_PATH | ... */
    uint32_t timeout_ms;          /* until the record arrives (in wait mode: until the
                                     child ended); default PROCFERRY_INFINITE */
    /* The same texts in UTF-8, for callers that hold UTF-8. A text may be given
       in one form only; giving both is an invalid argument. */
    const char *relay_utf8;
    const char *program_utf8;
    const char *const *args_utf8;
    const char *dir_utf8;
    /* When not NULL, receives the relay's command text as started, cut to
       command_line_capacity units including the terminating zero. */
    wchar_t *command_line;
    size_t command_line_capacity;
};

/* What became of a start. Exactly one kind applies; the fields each kind sets
   are named beside it, all others are zero. */
enum procferry_kind {
    PROCFERRY_EXITED = 1,           /* wait mode: exit_status is the child's */
    PROCFERRY_STARTED = 2,          /* no-wait mode: process and pid, the caller's to close */
    PROCFERRY_DIR_FAILED = 3,       /* error: errno of the directory change; nothing ran */
    PROCFERRY_LAUNCH_FAILED = 4,    /* error: errno of the child's launch */
    PROCFERRY_INVALID_ARGUMENT = 5, /* error: EINVAL (or E2BIG for a command text past the
                                       platform's limit); nothing was started */
    PROCFERRY_RELAY_MISSING = 6,    /* error: errno of the relay's own start (ENOENT...) */
    PROCFERRY_RELAY_CRASHED = 7,    /* the relay ended without a record; relay_exit_status */
    PROCFERRY_CHECK_REPORT = 8,     /* the relay refused its command line (no record, and a
                                       captured report or the check-failure exit status):
                                       check_report, relay_exit_status */
    PROCFERRY_TIMED_OUT = 9,        /* no record within timeout_ms; the relay and the
                                       program it started were ended */
    PROCFERRY_BAD_RECORD = 10,      /* a short record or an unknown code (record_*), or a
                                       child handle that could not be taken over (win32_error) */
    PROCFERRY_SYSTEM_ERROR = 11     /* win32_error: a pipe or handle could not be made */
};

/* The longest check report kept, terminating zero included. */
enum { PROCFERRY_CHECK_REPORT_SIZE = 512 };

struct procferry_result {
    int kind;                    /* enum procferry_kind */
    uint32_t exit_status;        /* PROCFERRY_EXITED */
    int error;                   /* errno, for the kinds that say so */
    uint32_t win32_error;
    procferry_handle process;    /* PROCFERRY_STARTED: the child, valid in the caller */
    uint32_t pid;                /* PROCFERRY_STARTED; meaningful while process is open */
    int relay_ended;             /* 1 when the relay's exit status is known */
    uint32_t relay_exit_status;
    int record_bytes;            /* bytes of the record that arrived, 0 to 8 */
    int32_t record_code;         /* the record as it arrived, when record_bytes is 8 */
    int32_t record_value;
    /* PROCFERRY_CHECK_REPORT with PROCFERRY_CAPTURE_CHECK_REPORT: the relay's text */
    char check_report[PROCFERRY_CHECK_REPORT_SIZE];
};

void procferry_options_init(struct procferry_options *options);

/* Starts options->program through options->relay and fills *result. Returns
   result->kind. Whatever the kind, the relay has ended or been ended, and no
   handle, descriptor or process of the start remains but result->process. */
int procferry_start(const struct procferry_options *options, struct procferry_result *result);

/* The kind's name, such as "exited" or "timed_out". */
const char *procferry_kind_name(int kind);

/* A started child. wait returns 0 once the child ended (its status in
   *exit_status when not NULL), PROCFERRY_TIMED_OUT when it still runs after
   timeout_ms (it is left running), -1 on a bad handle. kill ends the child
   with exit_code; a child that already ended counts as ended (0); -1 on a bad
   handle. wait and kill may run at the same time on different threads; close
   must not race either of them. */
int procferry_child_wait(procferry_handle process, uint32_t timeout_ms, uint32_t *exit_status);
int procferry_child_kill(procferry_handle process, uint32_t exit_code);
void procferry_child_close(procferry_handle process);

/* ---- Steps of a start, for parents that drive the protocol themselves ----

   procferry_start is these steps in order: session_begin, read_record,
   take_child (no-wait), release, wait_relay, session_close; session_end
   when the record does not come in time. */

/* The relay's descriptor numbers of one start, known only while it starts. */
struct procferry_relay_fds {
    int report;        /* the report channel's write end */
    int sync;          /* the sync channel's read end */
    int streams[3];    /* copies of procferry_relay_start.streams; -1 for none */
};

/* Writes the relay's whole command text, relay name first, for the given
   descriptors: a string from malloc, which the library frees; NULL when it
   cannot. Runs inside the start lock, so it should only format. */
typedef wchar_t *(*procferry_line_builder)(void *context, const struct procferry_relay_fds *fds);

struct procferry_relay_start {
    const wchar_t *relay;             /* the relay program's path */
    procferry_line_builder build_line;
    void *context;
    /* Streams of the caller's (PROCFERRY_STREAM_FD or _HANDLE) that the relay
       inherits as descriptors for the child's streams; their numbers reach
       build_line. Other kinds: none. Descriptors are looked up inside the
       start lock. */
    struct procferry_stream streams[3];
    /* Descriptors of the caller's (PROCFERRY_STREAM_FD) that the relay gets
       as its 0, 1, 2 instead of the caller's own; other kinds: the caller's own. */
    struct procferry_stream relay_streams[3];
    /* Gives the relay a private pipe as its stderr (in place of
       relay_streams[2]) to capture a check report. */
    int capture_relay_stderr;
};

/* A started relay and the parent's ends of its channels. */
struct procferry_session {
    procferry_handle relay;         /* the relay's process; NULL when it is not running */
    uint32_t relay_pid;
    procferry_handle report;        /* parent's read end of the report channel */
    procferry_handle sync;          /* parent's write end of the sync channel */
    procferry_handle relay_stderr;  /* parent's read end of the relay's stderr, or NULL */
    int relay_report_fd;            /* the descriptor numbers the relay was given */
    int relay_sync_fd;
    int spawn_errno;                /* the relay's start failed with this errno */
    uint32_t win32_error;           /* a channel could not be made */
};

/* Starts the relay for options as procferry_start does. Returns 0 once the
   relay runs; else the kind of the failure, with *result filled and nothing
   left open. */
int procferry_session_begin(const struct procferry_options *options,
                            struct procferry_session *session, struct procferry_result *result);

/* Starts a relay on a command line of the caller's making. 0 once the relay
   runs; -1 when it did not start: spawn_errno says why (EBADF: a stream to
   hand over is not open), and win32_error when a channel could not be made.
   Nothing is left open then. */
int procferry_session_start(const struct procferry_relay_start *start,
                            struct procferry_session *session);
/* Reads the record. Returns RELAY_RECORD_SIZE with *record filled, 0 to 7
   when the channel ended first (the relay ended or let it go), or -1 when
   timeout_ms passed first. Returns early when the relay ends without
   writing. The timeout holds for the report channel the session made; a
   caller that puts a blocking pipe handle of its own in session->report
   reads it blocking. */
int procferry_session_read_record(struct procferry_session *session, uint32_t timeout_ms,
                                  struct relay_report *record);
/* Lets the relay end: writes one byte to the sync channel (when with_byte)
   and closes it. */
void procferry_session_release(struct procferry_session *session, int with_byte);
/* Waits for the relay to end: 0 with its status, or PROCFERRY_TIMED_OUT
   after ending it. Closes the relay's process handle either way. */
int procferry_session_wait_relay(struct procferry_session *session, uint32_t timeout_ms,
                                 uint32_t *status);
/* The process handle of a no-wait child, taken over from the relay with the
   record's value; the relay must not have been released yet. NULL on failure. */
procferry_handle procferry_session_take_child(struct procferry_session *session, int32_t value);
/* What the relay wrote on its captured stderr so far, up to capacity - 1
   bytes and a terminating zero; returns the byte count. */
size_t procferry_session_relay_stderr(struct procferry_session *session, char *text,
                                      size_t capacity);
/* Ends the relay and the programs it started, for a relay that did not
   answer in time; a child taken over with take_child is the caller's and is
   ended as well only when it is still the relay's direct child. */
void procferry_session_end(struct procferry_session *session);
/* Ends a relay still running (only the relay) and closes everything that is left. */
void procferry_session_close(struct procferry_session *session);

/* ---- Quoting ----
   Each writes the quoted text into out (capacity units, terminating zero
   included, cut when short) and returns the full length without the zero. */

/* One argument for a runtime that splits with the usual backslash rules; the
   result is always enclosed in quotes, so that even an empty one survives. */
size_t procferry_quote_argument(const wchar_t *entry, wchar_t *out, size_t capacity);
/* Argument zero, which the runtime splits by simpler rules: quotes group,
   backslashes are plain. */
size_t procferry_quote_program(const wchar_t *path, wchar_t *out, size_t capacity);

/* UTF-8 to UTF-16 and back; same conventions; the text ends at its zero. */
size_t procferry_utf8_to_wide(const char *text, wchar_t *out, size_t capacity);
size_t procferry_wide_to_utf8(const wchar_t *text, char *out, size_t capacity);

/* ---- Finding the program ----
   The file a relay would launch for program, found by the relay's own rules
   and file tests: a relative name is taken against dir (NULL: the current
   directory), as the relay takes it once it stands in its DIR; with search
   non-zero, a bare name is looked for along path_value (NULL: this
   process's PATH) only. Returns 0 with the full path in found (capacity
   units; 260 always suffice), or the errno the relay would report: ENOENT,
   EACCES (a directory), ENOEXEC (neither a program image nor a batch file),
   ENAMETOOLONG, EINVAL (no program, or a batch file the interpreter cannot
   open); ERANGE when found is too short, ENOMEM. */
int procferry_find_program(const wchar_t *program, const wchar_t *dir, const wchar_t *path_value,
                           int search, wchar_t *found, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
