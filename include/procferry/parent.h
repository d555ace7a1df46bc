/* Starting programs from a parent's side, directly or through the relay.

   Two ways to start, one set of rules. Both find the program by the same
   search (on the PATH of the child's environment), take a relative name
   against the child's directory, run a batch file through the command
   interpreter with a text that hands its arguments on exactly (or refuse
   it), quote the arguments so that the child's runtime splits them back
   exactly, give the child its three standard streams in text mode and no
   descriptor from 3 up but those asked for (extra_fds), and report a
   failure with the same kind and errno.

   - Direct (the default): the library starts the child itself, one process
     start per child. Pick it unless one of the reasons below holds.
   - Through the relay (options.relay or relay_utf8 named, or PROCFERRY_RELAY
     or PROCFERRY_GUI_RELAY set): the library starts procferry-console.exe or
     procferry.exe, which sets up its own streams, directory and descriptors
     as asked and launches the child with its C runtime's spawn, then sends
     the library one record; two process starts per child. Pick it to have
     the child started by a program of the other architecture, by a console
     program or a GUI program of the relay's kind rather than by the caller
     (the child then shares the relay's console, or lack of one), by the
     base library's own runtime.

   The library creates the two channels, writes and quotes the relay's command
   line, starts the relay, reads its record within a timeout while watching the
   relay's process, releases it, and hands back one result. Plain C; every
   handle is a HANDLE passed as void * so that this header needs no windows.h.

   Typical use:

       struct procferry_options options;
       struct procferry_result result;
       procferry_options_init(&options);
       options.program = L"C:\\Windows\\system32\\cmd.exe";
       options.args = args;            (the child's arguments after argument zero)
       options.arg_count = 2;
       options.timeout_ms = 10000;
       if (procferry_start(&options, &result) == PROCFERRY_EXITED)
           printf("status %lu\n", (unsigned long)result.exit_status);

   (A direct start. With PROCFERRY_RELAY and options.relay NULL:
   procferry-console.exe beside the program.)

   Threads: any number of threads may start programs at once. The relay, or
   a direct start's child, is started with an explicit list of the handles it
   inherits (its channels and the three streams), so no other handle of the
   caller's, inheritable or not, reaches the relay or the child, and starts
   need no lock to stay apart.

   By default each start puts the relay (or the direct child) and everything
   it starts into a job object of its own: a timeout, procferry_child_kill and
   the end of a capture's time end the whole tree, grandchildren included. */
#ifndef PROCFERRY_PARENT_H
#define PROCFERRY_PARENT_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A HANDLE. */
typedef void *procferry_handle;

/* A started child (PROCFERRY_STARTED): the caller's until
   procferry_child_close. */
struct procferry_child;
struct procferry_cancel;

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
    PROCFERRY_STREAM_HANDLE = 3,  /* handle: a file, pipe or device HANDLE of the caller's */
    PROCFERRY_STREAM_PIPE = 4,    /* the library makes a pipe; the caller's end (stdin: the
                                     write end; stdout, stderr: the read end) is
                                     procferry_result.pipes[n], private to the caller and
                                     the caller's to close. With PROCFERRY_NO_WAIT only:
                                     in wait mode the ends would come once the child
                                     ended, and one that fills its pipe never would
                                     (INVALID_ARGUMENT) */
    PROCFERRY_STREAM_STDOUT = 5,  /* stderr only: the same file or pipe as the child's stdout */
    PROCFERRY_STREAM_NONE = 6     /* descriptors from 3 up only (extra_fds): none open at
                                     this number in the child */
};

struct procferry_stream {
    int kind;
    int fd;
    procferry_handle handle;
};

/* The size of a pseudo console (procferry_options.console). */
struct procferry_console_size {
    uint16_t columns;
    uint16_t rows;
};

/* Flags of a start. */
enum {
    PROCFERRY_NO_WAIT = 1,         /* return once the child runs, with its process handle */
    PROCFERRY_ARGV0 = 2,           /* args[0] is the child's argument zero; else the program is */
    PROCFERRY_GUI_RELAY = 4,       /* default relay: procferry.exe instead of procferry-console.exe */
    PROCFERRY_NO_JOB = 8,          /* no job object of the start's own (for callers that manage
                                      jobs themselves, or run where a process may not join a
                                      second job: there a start fails with
                                      PROCFERRY_SYSTEM_ERROR without this flag): a timeout or
                                      kill then ends only the relay and its direct child */
    PROCFERRY_KILL_ON_CLOSE = 16,  /* procferry_child_close ends the child's tree too (with
                                      PROCFERRY_NO_WAIT only: a waited-for child has no close) */
    PROCFERRY_CLEAR_ENV = 32,      /* the child's environment starts empty (but for SYSTEMROOT
                                      and SYSTEMDRIVE, see env); env entries then apply */
    PROCFERRY_BINARY_STREAMS = 64, /* the child's C runtime opens its standard streams, the
                                      null device included, in binary mode; by default they
                                      start in text mode, as they do for a program started
                                      by CreateProcessW or by the runtime's own spawn */
    PROCFERRY_RELAY = 128,         /* start through the relay (see the top of this file);
                                      implied by options.relay and PROCFERRY_GUI_RELAY */
    PROCFERRY_NO_WINDOW = 256,     /* no console window for the child (CREATE_NO_WINDOW).
                                      Through the relay the relay is started so, and a
                                      console child shares its window-less console; the GUI
                                      relay has no console, so its console child gets a
                                      console of its own, window and all */
    PROCFERRY_NEW_PROCESS_GROUP = 512, /* the child runs in a console process group of its
                                      own, so that procferry_child_stop can send it a
                                      Ctrl+Break without the caller hearing it; the child
                                      then ignores Ctrl+C typed at a shared console. The
                                      break reaches only a child on the caller's console:
                                      not with PROCFERRY_NO_WINDOW or the GUI relay */
    PROCFERRY_NO_SEARCH_PATH = 1024, /* a bare program name is a file in the child's
                                      directory, not looked up on PATH. Searching is the
                                      default, in C as in C++, so that setting flags to
                                      anything else never turns it off by the way */
    PROCFERRY_OVERLAPPED_PIPES = 2048 /* the caller's ends of PROCFERRY_STREAM_PIPE streams
                                      are overlapped (a named pipe's, unique, not
                                      inheritable, with the child's end its one client):
                                      for a completion port, or procferry_pipe_read_timeout.
                                      The child's end stays an ordinary synchronous handle */
};

/* The longest path the library keeps (procferry_result.relay.path). */
enum { PROCFERRY_PATH_SIZE = 1024 };

struct procferry_options {
    uint32_t size;                /* sizeof (struct procferry_options); set by procferry_options_init */
    const wchar_t *relay;         /* path of procferry.exe or procferry-console.exe, for a
                                     start through the relay; NULL: a direct start, or with
                                     PROCFERRY_RELAY procferry-console.exe (procferry.exe
                                     with PROCFERRY_GUI_RELAY) in the folder of the module
                                     that holds this library. It must be a program image: a batch
                                     file, a text file or a directory is refused before
                                     anything starts (PROCFERRY_RELAY_MISSING, ENOEXEC; a
                                     directory EACCES). Both the 32- and the 64-bit relay
                                     can be started from either kind of caller. */
    const wchar_t *program;       /* the program to run (required) */
    const wchar_t *const *args;   /* the child's arguments after argument zero (see PROCFERRY_ARGV0) */
    size_t arg_count;
    const wchar_t *dir;           /* the child's working directory; NULL: the caller's */
    struct procferry_stream streams[3]; /* stdin, stdout, stderr; default: inherit */
    uint32_t flags;               /* PROCFERRY_NO_WAIT | ... */
    uint32_t timeout_ms;          /* until the record arrives (in wait mode: until the
                                     child ended); default PROCFERRY_INFINITE */
    /* The same texts in UTF-8, for callers that hold UTF-8. A text may be given
       in one form only; giving both is an invalid argument, and so is text that
       is not UTF-8 (bytes that are not UTF-8, encoded surrogates, overlong
       forms): it is refused, never replaced. */
    const char *relay_utf8;
    const char *program_utf8;
    const char *const *args_utf8;
    const char *dir_utf8;
    /* When not NULL, receives the relay's command text as started (in a
       direct start, the child's), cut to command_line_capacity units
       including the terminating zero. */
    wchar_t *command_line;
    size_t command_line_capacity;
    /* The child's environment, as changes to the caller's (or, with
       PROCFERRY_CLEAR_ENV, to an empty one), applied in order: "NAME=VALUE"
       sets, "NAME" unsets; the name ends at the first '=' past its first
       unit, so "=C:=C:\\dir" sets "=C:" (the entries that hold each drive's
       directory). Names compare as the system compares them (without regard
       to case) and the block is sorted as the system expects. An empty name
       (also "=" alone) or a NULL entry is an invalid argument (EINVAL). The
       block is built for the relay (or the direct child) alone: nothing in
       the caller's process changes. The program is looked up on the PATH of
       this block. */
    const wchar_t *const *env;
    const char *const *env_utf8;  /* the same in UTF-8; one form only */
    size_t env_count;
    /* The child's descriptors from 3 up: extra_fds[i] becomes its descriptor
       3 + i, as a pipe for a side channel or a file it reads by number. Each
       is FD or HANDLE (a file, pipe or device of the caller's, borrowed as
       the streams are), INHERIT (the caller's own descriptor 3 + i), NULL
       (the null device, for reading and writing) or NONE (nothing open
       there); a pipe of the library's or STDOUT is an invalid argument. They
       reach the child in binary mode, and the same through the relay, whose
       own channels then come after them. At most PROCFERRY_EXTRA_FD_LIMIT.
       A pipe end handed over is read by the caller alone: in a start that
       waits, nobody reads it before the child ended, so a child that fills
       it never ends (before the timeout); read it beside a PROCFERRY_NO_WAIT
       start. */
    const struct procferry_stream *extra_fds;
    size_t extra_fd_count;
    /* With columns and rows set, the child runs in a pseudo console of its
       own of that size (a direct start with PROCFERRY_NO_WAIT, or a capture;
       Windows 10 1809 and later): its stdin and stdout are the console's
       (streams[0] and streams[1] stay PROCFERRY_STREAM_INHERIT), and so is
       its stderr unless streams[2] sends it elsewhere (a pipe, a file, the
       null device). The child gets no handle of the caller's for them.
       result.pipes[1] is what the console shows (VT text, UTF-8) and
       result.pipes[0] its keyboard (UTF-8), overlapped with
       PROCFERRY_OVERLAPPED_PIPES. The library reads the console's output
       itself for as long as the console lives, keeping for the caller what
       the caller has not read yet (while the child runs, up to about 1 MiB:
       then the child waits for the caller's reading, as with a pipe; once
       it has ended, all): the console closes once the child has ended,
       without waiting on the caller, and pipes[1] ends after every byte the
       console showed. procferry_child_resize changes its size. */
    struct procferry_console_size console;
};

/* The most extra descriptors a start hands over: a runtime keeps descriptors
   below 2048, and through the relay its two channels and the streams it
   hands on follow them, with a number free for the null device. */
enum { PROCFERRY_EXTRA_FD_LIMIT = 2040 };

/* What became of a start. Exactly one kind applies; the fields each kind sets
   are named beside it, all others are zero. */
enum procferry_kind {
    PROCFERRY_EXITED = 1,           /* wait mode: exit_status and pid are the child's */
    PROCFERRY_STARTED = 2,          /* no-wait mode: child and pid; the child is the caller's
                                       to close */
    PROCFERRY_DIR_FAILED = 3,       /* error: errno of the directory change; nothing ran */
    PROCFERRY_LAUNCH_FAILED = 4,    /* error: errno of the child's launch (E2BIG: the child's
                                       command text past 32,767 units, either way) */
    PROCFERRY_INVALID_ARGUMENT = 5, /* error: EINVAL (or E2BIG for the relay's own command
                                       text past 32,767 units, terminator included, which is
                                       longer than its child's); nothing was started */
    /* RELAY_MISSING, RELAY_CRASHED, CHECK_REPORT and BAD_RECORD come of starts
       through the relay only; a direct start times out only in wait mode. */
    PROCFERRY_RELAY_MISSING = 6,    /* error: errno of the relay's own start (ENOENT...;
                                       ENOEXEC: not a program image; EACCES: a directory);
                                       relay.path names it */
    PROCFERRY_RELAY_CRASHED = 7,    /* the relay ended without a record; relay.exit_status */
    PROCFERRY_CHECK_REPORT = 8,     /* the relay refused its command line (no record, and a
                                       captured report or the check-failure exit status):
                                       relay.check_report, relay.exit_status */
    PROCFERRY_TIMED_OUT = 9,        /* timeout_ms passed: with pid 0, before the relay's
                                       record; in wait mode with pid set and relay.record_code
                                       0, the child was launched and still ran. The relay
                                       and everything it started were ended (without a
                                       job: the relay and its child) */
    PROCFERRY_BAD_RECORD = 10,      /* a short record or an unknown code (record_*), or a
                                       child handle that could not be taken over (win32_error) */
    PROCFERRY_SYSTEM_ERROR = 11,    /* win32_error: a pipe, handle, job or event could not be made */
    PROCFERRY_CANCELLED = 12        /* a capture's cancel object was signalled (see
                                       procferry_capture_options.cancel) */
};

/* What the library itself did to the child, which the kind alone does not
   say: a child it ended never reads as one that exited by itself. */
enum procferry_ended_by {
    PROCFERRY_ENDED_BY_ITSELF = 0,      /* the child ended on its own, or nothing ran */
    PROCFERRY_ENDED_AT_TIME_LIMIT = 1,  /* its tree was ended at timeout_ms */
    PROCFERRY_ENDED_ON_CANCEL = 2,      /* its tree was ended when the run was cancelled */
    PROCFERRY_ENDED_ON_KILL = 3,        /* procferry_child_kill ended its tree */
    PROCFERRY_ENDED_ON_STOP = 4,        /* procferry_child_stop ended it or had it asked */
    PROCFERRY_ENDED_WITH_PIPELINE = 5,  /* another stage of its pipeline failed */
    PROCFERRY_LEFT_RUNNING = 6          /* cancelled and left running, as asked */
};

/* The longest check report kept, and the longest words a result keeps,
   terminating zero included. */
enum { PROCFERRY_CHECK_REPORT_SIZE = 512, PROCFERRY_WORDS_SIZE = 1024 };

/* What a start found out on its way, which its words tell: the words look
   at no file or module of their own, so that describing a result later says
   what the start saw. Filled by the start for the outcomes it concerns; the
   library's to read (procferry_describe). */
enum procferry_found {
    PROCFERRY_FOUND_UNKNOWN = 0, /* not looked at */
    PROCFERRY_FOUND_NOTHING,
    PROCFERRY_FOUND_DIRECTORY,
    PROCFERRY_FOUND_OTHER_FILE, /* a file that is no program */
    PROCFERRY_FOUND_PROGRAM
};
enum procferry_child_path {
    PROCFERRY_PATH_UNKNOWN = 0, PROCFERRY_PATH_SET, PROCFERRY_PATH_ABSENT, PROCFERRY_PATH_EMPTY
};
struct procferry_findings {
    int program;       /* enum procferry_found: what the program's name led to */
    int batch;         /* 1: that is a batch file */
    int in_start_dir;  /* enum procferry_found: what a bare name is in the start directory */
    int child_path;    /* enum procferry_child_path: PATH in the child's environment */
    uint32_t relay_units;         /* the relay's path in full, long form, in units */
    uint32_t default_relay_units; /* the default relay's path, in units; 0: unknown */
    wchar_t program_path[PROCFERRY_PATH_SIZE]; /* the program as taken from the start directory */
    wchar_t dir_path[PROCFERRY_PATH_SIZE];     /* the child's directory in full */
};

/* A start through the relay: the relay, its record and its end. */
struct procferry_relay_outcome {
    /* The relay used or tried, also when options.relay was NULL. */
    wchar_t path[PROCFERRY_PATH_SIZE];
    int ended;                   /* 1 when the relay's exit status is known */
    uint32_t exit_status;
    int record_bytes;            /* bytes of the record that arrived, 0 to 8 */
    int32_t record_code;         /* the record as it arrived, when record_bytes is 8 */
    int32_t record_value;
    /* PROCFERRY_CHECK_REPORT: the relay's text */
    char check_report[PROCFERRY_CHECK_REPORT_SIZE];
};

struct procferry_result {
    int kind;                    /* enum procferry_kind */
    uint32_t exit_status;        /* PROCFERRY_EXITED */
    int error;                   /* errno, for the kinds that say so */
    uint32_t win32_error;
    struct procferry_child *child; /* PROCFERRY_STARTED: the child, for procferry_child_* */
    uint32_t pid;                /* PROCFERRY_STARTED (meaningful while the child is open),
                                    PROCFERRY_EXITED, PROCFERRY_TIMED_OUT after a launch */
    /* PROCFERRY_STREAM_PIPE: the caller's end of stream n, else NULL. Set for
       PROCFERRY_STARTED only (a start that waits takes no pipe); on failure none
       is left. */
    procferry_handle pipes[3];
    /* What only a start through the relay fills (all zero for a direct one). */
    struct procferry_relay_outcome relay;
    struct procferry_findings findings;
    int ended_by;                /* enum procferry_ended_by */
    /* The words of procferry_describe for this result as the start (or the
       capture) returned it: UTF-8, cut at a character to fit
       PROCFERRY_WORDS_SIZE bytes with the zero. */
    char words[PROCFERRY_WORDS_SIZE];
};

void procferry_options_init(struct procferry_options *options);

/* Starts options->program, directly or through the relay, and fills *result.
   Returns result->kind. Whatever the kind, the relay has ended or been ended,
   and no handle, descriptor or process of the start remains but
   result->child. */
int procferry_start(const struct procferry_options *options, struct procferry_result *result);
/* procferry_start that a cancel object ends while it waits for the relay's
   answer: PROCFERRY_CANCELLED, with the relay and what it started ended
   (result.ended_by PROCFERRY_ENDED_ON_CANCEL). A cancel signalled already
   starts nothing. A direct start does not wait, and is not cut short. */
int procferry_start_cancellable(const struct procferry_options *options, const struct procferry_cancel *cancel,
                                struct procferry_result *result);

/* The kind's name, such as "exited" or "timed_out"; "unknown" for a value
   that is none. */
const char *procferry_kind_name(int kind);

/* The default relay's path: procferry-console.exe, or with PROCFERRY_GUI_RELAY
   among flags procferry.exe, beside the module that holds this library (the
   program itself when it links the library statically). Writes it into out
   when it fits in capacity units with its zero (else an empty text) and
   returns its length; 0 when the module's path cannot be had. */
size_t procferry_default_relay(uint32_t flags, wchar_t *out, size_t capacity);

/* The platform's limit on a command text, and on an environment variable's
   value with its name, in UTF-16 units with the terminating zero. */
enum { PROCFERRY_COMMAND_TEXT_LIMIT = 32767 };

/* A started child. It holds the child's process, its pid and the job of its
   start, and every call acts on it alone, so nothing done to other handles
   (one closed and its value reused, a pid reused) can turn a call on it
   against another process. wait returns 0 once the child ended (its status
   in *exit_status when not NULL), PROCFERRY_TIMED_OUT when it still runs
   after timeout_ms (it is left running), -1 on NULL. kill ends the child
   with exit_code, and with it everything in the start's job (the whole tree,
   unless the start had PROCFERRY_NO_JOB; a process that broke away from the
   job on purpose is not in it); a child that already ended counts as ended
   (0); -1 on NULL. close frees the child and closes its handles; it ends the
   tree only with PROCFERRY_KILL_ON_CLOSE. wait and kill may run at the same
   time on different threads; close must not race either of them. */
int procferry_child_wait(struct procferry_child *child, uint32_t timeout_ms, uint32_t *exit_status);
int procferry_child_kill(struct procferry_child *child, uint32_t exit_code);
void procferry_child_close(struct procferry_child *child);
/* The child's process handle, to wait on beside other objects; it belongs to
   the child and is closed with it: never close it yourself. */
procferry_handle procferry_child_process(const struct procferry_child *child);
uint32_t procferry_child_pid(const struct procferry_child *child);

/* Calls callback(context, exit_status) once the child has ended, on a thread
   of the system's thread pool: no thread of its own per child, so that any
   number of children are waited for at once. 0, or -1 on a NULL child or
   when the wait cannot be made. One callback a child: another call replaces
   it, and a NULL callback cancels it (not from within the callback: -1).
   procferry_child_close cancels it too: once close returns, the callback
   neither runs nor is still running; close from within the callback itself
   returns at once, and the child is freed when the callback returns. */
typedef void (*procferry_exit_callback)(void *context, uint32_t exit_status);
int procferry_child_on_exit(struct procferry_child *child, procferry_exit_callback callback, void *context);

/* Asks the child to stop, and ends its tree as procferry_child_kill does
   (with exit_code) when it has not ended within grace_ms. The request is a
   CTRL_BREAK_EVENT to a console child started with
   PROCFERRY_NEW_PROCESS_GROUP, else a close of each of the child's top-level
   windows; a windowed (GUI) program still starting is looked at again until
   it has a window, through the grace period (10 s at most with
   PROCFERRY_INFINITE). Once the child ended, what it
   started gets the rest of the grace period, then is ended: a stop ends the
   tree, as a kill does. Returns PROCFERRY_STOPPED_WHEN_ASKED when the child
   ended within the grace period (or had ended already),
   PROCFERRY_STOPPED_BY_KILL when it still ran at the end of the grace period
   (or a windowed child showed no window in it) and its tree was ended, PROCFERRY_STOPPED_UNASKED when its tree was ended
   at once as it could not be asked (a console child without a group of its
   own and without windows, or a request the system refused), -1 on NULL or
   when it could not be ended. */
enum { PROCFERRY_STOPPED_WHEN_ASKED = 1, PROCFERRY_STOPPED_BY_KILL = 2, PROCFERRY_STOPPED_UNASKED = 3 };
int procferry_child_stop(struct procferry_child *child, uint32_t grace_ms, uint32_t exit_code);

/* A cancel object: signalled from any thread, it ends at once the captures,
   waits and stops given it (each says what a cancel does to it), and stays
   signalled. make returns NULL when no event can be made; a NULL cancel is
   none. Free it once nothing uses it. */
struct procferry_cancel *procferry_cancel_make(void);
void procferry_cancel_signal(struct procferry_cancel *cancel);
int procferry_cancel_signalled(const struct procferry_cancel *cancel);
void procferry_cancel_free(struct procferry_cancel *cancel);
/* The cancel's event, set once it is signalled: to wait on beside other
   objects, or on an event loop. It is the cancel's: never close it. */
procferry_handle procferry_cancel_handle(const struct procferry_cancel *cancel);
/* procferry_child_wait that also returns PROCFERRY_CANCELLED once cancel is
   signalled, leaving the child running. */
int procferry_child_wait_cancellable(struct procferry_child *child, uint32_t timeout_ms,
                                     const struct procferry_cancel *cancel, uint32_t *exit_status);
/* procferry_child_stop whose grace period a cancel cuts short: the tree is
   ended at once and the stop returns PROCFERRY_STOPPED_CANCELLED (-1 when it
   could not be ended). */
enum { PROCFERRY_STOPPED_CANCELLED = 4 };
int procferry_child_stop_cancellable(struct procferry_child *child, uint32_t grace_ms, uint32_t exit_code,
                                     const struct procferry_cancel *cancel);

/* A console child's new size (options.console): 0; PROCFERRY_INVALID_ARGUMENT
   for a child without a console of its own or a size with a zero; 1 once
   its console has closed (the child ended); -1 on NULL or when the system
   refused (its reason for GetLastError: ERROR_CALL_NOT_IMPLEMENTED where
   it has no resize, as under wine 8). */
int procferry_child_resize(struct procferry_child *child, uint16_t columns, uint16_t rows);

/* Names for logs and machine-readable output, "unknown" for a value that is
   none: what ended a child (enum procferry_ended_by: "by_itself",
   "at_time_limit", "on_cancel", "on_kill", "on_stop", "with_pipeline",
   "left_running"), a stop's outcome ("when_asked", "by_kill", "unasked",
   "cancelled") and one start flag by its bit ("no_wait" ...
   "overlapped_pipes", the flag's name in lower case). */
const char *procferry_ended_by_name(int ended_by);
const char *procferry_stopped_name(int stopped);
const char *procferry_flag_name(uint32_t flag);

/* Waiting for a set of children, of any size (the system's own wait takes
   at most 64 objects). wait_any returns 0 once one of them has ended, with
   its index in *index (of those ended already, the first in order), and
   wait_all returns 0 once all have; each returns PROCFERRY_TIMED_OUT after
   timeout_ms, leaving them running, and -1 for an empty set or a NULL
   entry. Neither closes anything. */
int procferry_children_wait_any(struct procferry_child *const *children, size_t count,
                                uint32_t timeout_ms, size_t *index);
int procferry_children_wait_all(struct procferry_child *const *children, size_t count,
                                uint32_t timeout_ms);

/* A pipe whose two ends are the caller's (neither inheritable; a start hands
   a child a copy of the end it is given): for extra_fds, or a stream between
   two children. 0, or -1 with the system's error left for GetLastError. */
int procferry_pipe_make(procferry_handle *read_end, procferry_handle *write_end);
/* The same with one end overlapped, the caller's (a named pipe's, as with
   PROCFERRY_OVERLAPPED_PIPES); the other, for the child, synchronous. */
enum { PROCFERRY_PIPE_SYNCHRONOUS = 0, PROCFERRY_PIPE_OVERLAPPED_READ = 1, PROCFERRY_PIPE_OVERLAPPED_WRITE = 2 };
int procferry_pipe_make_overlapped(procferry_handle *read_end, procferry_handle *write_end, int overlapped_end);

/* The caller's end of a PROCFERRY_STREAM_PIPE stream (procferry_result.pipes),
   or an end of procferry_pipe_make. read blocks until some bytes come and returns their count, 0 at the end
   (every writer closed its end), -1 on failure and for a size of 0 (no room
   to read into, which 0 would misreport as the end); write returns 0 once all
   size bytes are written, -1 when the reader is gone; close closes it. */
long procferry_pipe_read(procferry_handle pipe, void *buffer, size_t size);
/* A read that waits at most timeout_ms on an overlapped end (-2 when the time
   passed first, nothing lost); a synchronous end waits as procferry_pipe_read.
   procferry_pipe_cancel, from any thread, ends the reads and writes pending
   on an end at that moment (not one begun after it): they return -1 (-2 for
   a read with a timeout). The library's own reads and writes never post to
   a completion port the caller tied an end to. */
long procferry_pipe_read_timeout(procferry_handle pipe, void *buffer, size_t size, uint32_t timeout_ms);
void procferry_pipe_cancel(procferry_handle pipe);
int procferry_pipe_write(procferry_handle pipe, const void *data, size_t size);
void procferry_pipe_close(procferry_handle pipe);

/* ---- Capture: run to the end with the output in memory ---- */

struct procferry_capture_options {
    uint32_t size;             /* set by procferry_capture_options_init */
    const void *input;         /* bytes written to the child's stdin, then closed; NULL:
                                  stdin is the null device */
    size_t input_size;
    size_t stdout_cap;         /* bytes kept at most; default 64 MiB */
    size_t stderr_cap;
    uint32_t drain_ms;         /* once the child has ended, how long its outputs may stay
                                  open: a process it left running (a grandchild) can hold
                                  them for as long as it runs. What the child wrote is
                                  kept; when drain_ms has passed (or the run's timeout,
                                  whichever comes first), what waits in the pipes is read,
                                  the reading stops, and the run is EXITED with the
                                  child's status. The holder is left running: it is not
                                  the child. Default 1000; 0: only what waits in the
                                  pipes; PROCFERRY_INFINITE: until every holder closed
                                  them. Options whose size ends before this field get
                                  the default. */
    const struct procferry_cancel *cancel; /* once signalled, the run ends at once: the
                                  kind is PROCFERRY_CANCELLED, out and err keep what was
                                  read, and the child's tree is ended unless
                                  leave_running_when_cancelled (then the child runs on
                                  with its pipes closed: its next write to them fails;
                                  result.pid names it, and no handle is kept). Once the
                                  child has ended, a cancel ends the drain only: the run
                                  is EXITED. NULL: none */
    int leave_running_when_cancelled;
};

struct procferry_capture_result {
    struct procferry_result result; /* kind EXITED with exit_status, or the failure;
                                       TIMED_OUT when options.timeout_ms passed before
                                       the child ended (the tree was ended; out and err
                                       keep what was read); CANCELLED (see cancel) */
    char *out;                 /* what the child wrote, with a zero after it; the
                                  library's, freed by procferry_capture_free */
    size_t out_size;
    int out_capped;            /* more was written than kept (the rest was read and dropped) */
    char *err;
    size_t err_size;
    int err_capped;
};

void procferry_capture_options_init(struct procferry_capture_options *capture);
/* Runs options->program to its end with its stdout kept, and each other
   stream as the options choose:
     stdin  (streams[0]): INHERIT (default) the input's bytes, or the null
            device without input; NULL; or the caller's FD or HANDLE;
     stdout (streams[1]): INHERIT only: always kept, up to stdout_cap;
     stderr (streams[2]): INHERIT (default) kept apart in err; STDOUT merged
            into out; NULL; or the caller's FD or HANDLE (descriptor 2 for
            the caller's own stderr).
   A choice a capture cannot honour (a pipe; stdout elsewhere; input with a
   stdin choice) is refused with PROCFERRY_INVALID_ARGUMENT, never replaced,
   and so is PROCFERRY_KILL_ON_CLOSE; PROCFERRY_NO_WAIT is implied. Input is
   written while the output is read, so no child deadlocks it, whatever it
   reads or writes. options->timeout_ms bounds the whole run; the end of the
   child and capture->drain_ms end the reading. Returns result->result.kind. */
int procferry_capture(const struct procferry_options *options,
                      const struct procferry_capture_options *capture,
                      struct procferry_capture_result *result);
void procferry_capture_free(struct procferry_capture_result *result);
/* What procferry_capture would refuse, told before anything starts (for a
   capture run elsewhere, as on an event loop): 0 when it would go on, else
   PROCFERRY_INVALID_ARGUMENT with the refusal's errno and words in *result. */
int procferry_capture_check(const struct procferry_options *options,
                            const struct procferry_capture_options *capture, struct procferry_result *result);

/* ---- Counted texts ----
   A start's texts given with their lengths, for a layer whose texts carry
   them (C++'s string views, another language's strings): such a text may
   hold any unit, a zero included, and the library refuses with words naming
   it (PROCFERRY_INVALID_ARGUMENT, EINVAL) what it would otherwise read
   differently from how it was given: a zero inside (the system ends a text
   there), UTF-8 that is not UTF-8, a text missing where one is needed (a
   null pointer), and an environment name that is empty, "=" alone, or holds
   an '=' past its first unit. Nothing is cut, replaced or skipped. */
struct procferry_text {
    const wchar_t *wide; /* UTF-16 units; or */
    const char *utf8;    /* UTF-8 bytes: one of the two, or neither for no text */
    size_t length;       /* in units of the one given; an empty text is a pointer
                            with length 0 */
};
/* One change to the child's environment, in order, as procferry_options.env:
   name set to value, or with unset non-zero, name removed (value unread). */
struct procferry_env_change {
    struct procferry_text name;
    struct procferry_text value;
    int unset;
};
struct procferry_texts {
    uint32_t size;                      /* sizeof (struct procferry_texts) */
    struct procferry_text relay;        /* no text: as options.relay NULL */
    struct procferry_text program;      /* required */
    struct procferry_text dir;          /* no text: the caller's directory */
    const struct procferry_text *args;  /* after argument zero (see PROCFERRY_ARGV0) */
    size_t arg_count;
    const struct procferry_env_change *env;
    size_t env_count;
};
/* procferry_start_cancellable, procferry_capture and procferry_capture_check
   with the texts counted: every other choice is in options, whose relay,
   program, dir, args and env (in either form) are then left unset; texts
   given there as well are refused. Results and words are those of the
   calls they stand for. */
int procferry_start_texts(const struct procferry_options *options, const struct procferry_texts *texts,
                          const struct procferry_cancel *cancel, struct procferry_result *result);
int procferry_capture_texts(const struct procferry_options *options, const struct procferry_texts *texts,
                            const struct procferry_capture_options *capture,
                            struct procferry_capture_result *result);
int procferry_capture_check_texts(const struct procferry_options *options,
                                  const struct procferry_texts *texts,
                                  const struct procferry_capture_options *capture,
                                  struct procferry_result *result);

/* ---- Words ---- */

/* One line of UTF-8, no newline: what ran or should have run (the program as
   given, and the relay for relay failures), what happened, the errno's name
   and words ("ENOENT: no such file or directory"), the next step where there
   is one. Returns the full length; writes up to capacity - 1 bytes and a zero.
   With options NULL, the words the start kept in result->words (which a
   result from procferry_start or procferry_capture holds); with the options
   of that start, the same words, uncut, worked out now. */
size_t procferry_describe(const struct procferry_options *options,
                          const struct procferry_result *result, char *out, size_t capacity);

/* The words of a start refused before the library saw it, for a layer of
   the caller's that checks first: "PROGRAM: the start was refused: WHY:
   EINVAL: invalid argument", with program and why in UTF-8. Same
   conventions. */
size_t procferry_describe_refusal(const char *program, const char *why, char *out, size_t capacity);

/* What the words call the options their next steps name, for a program that
   offers them to its users under names of its own; a NULL field keeps the
   library's phrase (shown). size is sizeof (struct procferry_terms) as the
   caller was built, so that terms added later keep the library's phrase for
   callers built before them; 0 (terms zeroed, then filled in) stands for
   the six terms below. */
struct procferry_terms {
    uint32_t size;
    const char *search_on;    /* "start without PROCFERRY_NO_SEARCH_PATH" (to search PATH) */
    const char *relays_home;  /* "the program" (the relays belong beside it) */
    const char *relay_option; /* "in the options" (or name one there) */
    const char *env_option;   /* "among the environment changes" (set PATH there) */
    const char *program;      /* "program" (a relative one is taken from the directory) */
    const char *dir_option;   /* the option that names the child's directory, such as
                                 "--cwd": "the --cwd directory", and a directory that
                                 failed leads the words with it; NULL: "the directory" */
};
/* procferry_describe in the caller's terms; the options are required. */
size_t procferry_describe_in_terms(const struct procferry_options *options,
                                   const struct procferry_result *result,
                                   const struct procferry_terms *terms, char *out,
                                   size_t capacity);
/* The errno's symbolic name ("ENOENT"), or NULL when unknown. */
const char *procferry_errno_name(int error);

/* ---- Quoting ----
   Each writes the quoted text into out (capacity units, terminating zero
   included, cut when short) and returns the full length without the zero.
   A NULL text is refused: 0 and an empty text (an empty argument is "",
   2 units). */

/* One argument for a runtime that splits with the usual backslash rules; the
   result is always enclosed in quotes, so that even an empty one survives. */
size_t procferry_quote_argument(const wchar_t *entry, wchar_t *out, size_t capacity);
/* Argument zero, which the runtime splits by simpler rules: quotes group,
   backslashes are plain. */
size_t procferry_quote_program(const wchar_t *path, wchar_t *out, size_t capacity);

/* UTF-8 to UTF-16 and back; same conventions; the text ends at its zero.
   Text that is not UTF-8 (bytes that are not, encoded surrogates, overlong
   forms; or, back, UTF-16 with a lone surrogate) is not converted: both
   return 0 and write an empty text, so 0 for a non-empty text says so. */
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
/* The architecture a program file is built for, as the library reads it to
   start a relay: "i686", "x86_64", or NULL for anything else. */
const char *procferry_program_architecture(const wchar_t *path);

/* The same for the child of a start with these environment changes: the
   PATH searched is the one that start's relay gets, this process's (none
   when clear is non-zero) changed by env as procferry_options.env changes it.
   EINVAL also for a malformed entry, E2BIG for a value past 32,766 units. */
int procferry_find_program_with_env(const wchar_t *program, const wchar_t *dir,
                                    const wchar_t *const *env, size_t env_count, int clear,
                                    int search, wchar_t *found, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
