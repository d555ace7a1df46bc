// Shared by the library's files; not installed.
#ifndef PROCFERRY_PARENT_INTERNAL_H
#define PROCFERRY_PARENT_INTERNAL_H

#include <windows.h>

#include "procferry/parent.h"
#include "rules/protocol.h"
#include "relay_start.h"

// The public limit is the protocol's own.
static_assert((int)PROCFERRY_COMMAND_TEXT_LIMIT == (int)RELAY_COMMAND_TEXT_LIMIT, "command text limit");
// The public names of the record stand for the protocol's own.
static_assert((int)PF_RECORD_SIZE == (int)RELAY_RECORD_SIZE, "record size");
static_assert((int)PF_RECORD_OK == (int)RELAY_OK && (int)PF_RECORD_DIR_FAILED == (int)RELAY_DIR_FAILED &&
                  (int)PF_RECORD_LAUNCH_FAILED == (int)RELAY_LAUNCH_FAILED,
              "record codes");

// A deadline timeout_ms from now, and the milliseconds left until it;
// PROCFERRY_INFINITE stays so. 64-bit ticks, so that a timeout of 2^31 ms
// or more is as long as it says.
uint64_t pf_deadline(uint32_t timeout_ms);
DWORD pf_remaining(uint64_t deadline, uint32_t timeout_ms);

// Waits for object, or for nothing when NULL, at most timeout_ms, unless the
// cancel (NULL: none) is signalled first: WaitForSingleObject's answers, or
// PF_WAIT_CANCELLED.
enum { PF_WAIT_CANCELLED = WAIT_OBJECT_0 + 0x100 };
DWORD pf_wait_or_cancel(HANDLE object, DWORD timeout_ms, const procferry_cancel *cancel);

// The relay's descriptors: 0 to 2 its own streams, then the extra
// descriptors for the child (from 3), the report channel, the sync channel,
// and the child's streams when handed over: 3 to 7 without extra ones.
enum { PF_FIRST_EXTRA_FD = 3, PF_RELAY_FD_COUNT = 8 };

// Sets a result's kind and errno; returns the kind.
inline int pf_finish(procferry_result *result, int kind, int error = 0)
{
    result->kind = kind;
    result->error = error;
    return kind;
}

// The handle behind a descriptor of the caller's, or NULL when it has none.
HANDLE pf_fd_handle(int fd);
// The handle behind an FD or HANDLE stream, else NULL.
HANDLE pf_stream_handle(const procferry_stream &choice);

// The handles for a start's extra descriptors (NULL: none open there), with
// the null device opened once for those that ask for it.
struct pf_extra_fds {
    procferry_handle *handles;
    size_t count;
    HANDLE null_device;
};
// 0, or the system's error with nothing left open.
int pf_extra_fds_open(const procferry_stream *extras, size_t count, pf_extra_fds *opened);
void pf_extra_fds_close(pf_extra_fds *opened);

// A process to start, the relay or a direct start's child, with the handles
// behind its descriptors (NULL: not open).
struct pf_process_spawn {
    const wchar_t *program; // the image, as CreateProcessW's application name
    wchar_t *line;
    const wchar_t *environment;
    const wchar_t *directory; // NULL: the caller's
    HANDLE *fds;
    int fd_count;
    // A handle from this descriptor up that cannot be handed over fails the
    // start (EBADF); one below is left out, as a stream the caller lacks.
    int first_required_fd;
    unsigned required_fds; // and these below it, by bit
    int handle_width; // of the program's architecture: 4 or 8
    bool job;
    DWORD creation;   // creation flags added to the start's own
    // Descriptors marked for text mode in the runtime's table (the child's
    // standard streams, -1 for none).
    int text_fds[6];
    void *console; // a pseudo console to start the process in, or NULL
};
struct pf_spawned {
    HANDLE process;
    DWORD pid;
    HANDLE job;
    int start_errno;   // the process could not be started (with win32_error)
    bool handle_refused; // a handle it was to get could not be handed over
    DWORD win32_error; // alone: a handle, list or job could not be made
};
// The handle width of a program image's architecture (4 or 8), or minus the
// errno that says why it is no program the library can start: ENOENT,
// EACCES (a directory), ENOEXEC (no program image, or another machine).
// *windowed (when given) says whether it is a windowed (GUI) program.
int pf_image_handle_width(const wchar_t *path, DWORD *win32_error, bool *windowed = nullptr);
// Starts the process; 0, or -1 with nothing left open.
int pf_spawn_process(const pf_process_spawn &spawn, pf_spawned &spawned);
// The errno a system error stands for, by the Windows C runtime's table.
int pf_errno_of_win32(DWORD error);

// Ends a job's processes or, without a job, a relay and its direct children.
void pf_end_relay_tree(HANDLE relay, DWORD relay_pid);
// The one way a tree is ended: the process with code, then all that runs in
// its job (NULL: none); false when the process could not be ended (it may
// have ended already). pf_end_tree then waits for the process and closes
// both handles.
bool pf_terminate_tree(HANDLE process, HANDLE job, DWORD code);
void pf_end_tree(HANDLE process, HANDLE job, DWORD code);

// A pipe whose caller's end is overlapped (the named pipe's server, unique,
// not inheritable, one instance) and whose child's end is an ordinary
// synchronous handle; caller_reads says which way bytes go. False with the
// system's error set.
bool pf_overlapped_pipe(bool caller_reads, HANDLE *caller_end, HANDLE *child_end, DWORD buffer_size,
                        bool child_end_overlapped = false);

// A pseudo console and the pump that reads its output (child/console.cpp).
// make creates it over the console's two pipe ends (which the caller may
// close afterwards); pump hands it the child's process, the overlapped end
// it reads the console's output from and the overlapped end it writes the
// caller's output to (both its own from then on), and the pump closes the
// console once the child ended; abandon ends a console whose pump never
// ran; release drops the start's hold. resize: 0, 1 once closed, -1 refused.
struct pf_console;
bool pf_console_available();
DWORD pf_console_make(uint16_t columns, uint16_t rows, HANDLE console_input, HANDLE console_output,
                      pf_console **made);
void *pf_console_handle(pf_console *console);
DWORD pf_console_pump(pf_console *console, HANDLE process, HANDLE from_console, HANDLE to_caller);
void pf_console_abandon(pf_console *console);
void pf_console_release(pf_console *console);
int pf_console_resize(pf_console *console, uint16_t columns, uint16_t rows);
void pf_child_set_console(procferry_child *child, pf_console *console);

// The full path of path, from malloc, or NULL.
wchar_t *pf_full_path(const wchar_t *path);

// The default relay's path, beside the module that holds this library
// (procferry.exe with PROCFERRY_GUI_RELAY, else procferry-console.exe); from
// malloc, NULL with the system's error set.
wchar_t *pf_default_relay(uint32_t flags);

// Whether length bytes of text are UTF-8 as the standard has it (a zero
// byte is U+0000).
bool pf_strict_utf8(const char *text, size_t length);

// Whether a start looks a bare program name up on PATH: unless told not to.
inline bool pf_searches(uint32_t flags)
{
    return !(flags & PROCFERRY_NO_SEARCH_PATH);
}

// A file, pipe or device the child's runtime keeps as a descriptor (a
// handle, or a descriptor of the caller's).
bool pf_is_stream_object(HANDLE handle);
bool pf_is_stream_fd(int fd);

// The environment block for the relay: the caller's (none when clear) with
// the changes applied, sorted; 0, EINVAL for a bad entry, or ENOMEM.
int pf_build_environment(const wchar_t *const *changes, size_t change_count, bool clear,
                         wchar_t **block);
// The value of name in a block, or NULL when it holds none.
const wchar_t *pf_block_value(const wchar_t *block, const wchar_t *name);

// procferry_start without its words, for a call that keeps its own; a
// cancel, when given, ends the wait for the relay's answer.
int pf_start(const struct procferry_options *options, struct procferry_result *result,
             const struct procferry_cancel *cancel = nullptr);

// Keeps the words of the finished result in result->words; refusal, when
// not NULL, is what refused the start (else the options' checks say).
struct pf_refused;
void pf_keep_words(const struct procferry_options *options, struct procferry_result *result,
                   const struct pf_refused *refusal = nullptr);

// The file to start (the program found, or the interpreter for a batch file)
// in application (PF_PROGRAM_PATH_CAPACITY units) and the command text in
// *text, from malloc, for the child's vector (argument zero first,
// null-ended); 0, or the errno the relay would report for the launch
// (EINVAL, E2BIG, ENOENT, ENAMETOOLONG), ENOMEM.
int pf_direct_command(const wchar_t *found, const wchar_t *const *vector, wchar_t *application,
                      wchar_t **text);

// The file a start with this environment block (NULL: the caller's own)
// launches for program, as procferry_find_program_with_env finds it.
int pf_find_program_in_block(const wchar_t *program, const wchar_t *dir, const wchar_t *block,
                             int search, wchar_t *found, size_t capacity);

// A child's own flag beside the options' ones: its program is a windowed
// one, which a stop asks through its windows even before it made any.
enum : uint32_t { PF_CHILD_WINDOWED = 0x80000000u };
// A child for the caller, holding process and job from now on; NULL (and
// nothing taken) when it cannot be made.
procferry_child *pf_child_make(HANDLE process, HANDLE job, uint32_t flags);
void pf_child_add_flags(procferry_child *child, uint32_t flags);
// The console process group the child runs in (PROCFERRY_NEW_PROCESS_GROUP),
// and a handle to the group's first process when that is not the child (the
// child closes it).
void pf_child_set_group(procferry_child *child, DWORD group, HANDLE holder);

// What the library's line for the relay holds: the relay, the program the
// plan found, the child's vector (argument zero first, null-ended), the
// full directory (NULL: no change), and whether the relay waits for the
// child (the library's own starts never ask it to).
struct pf_line_request {
    const wchar_t *relay;
    const wchar_t *program;
    const wchar_t *const *vector;
    const wchar_t *dir;
    bool relay_waits;
};
// A pf_line_builder over a pf_line_request.
wchar_t *pf_build_line(void *request, const struct pf_relay_fds *fds);

#endif
