// Shared by the library's files; not installed.
#ifndef PROCFERRY_PARENT_INTERNAL_H
#define PROCFERRY_PARENT_INTERNAL_H

#include <windows.h>

#include "procferry/parent.h"
#include "rules/protocol.h"
#include "relay_start.h"

// The public names of the record stand for the protocol's own.
static_assert((int)PROCFERRY_RECORD_SIZE == (int)RELAY_RECORD_SIZE, "record size");
static_assert((int)PROCFERRY_RECORD_OK == (int)RELAY_OK && (int)PROCFERRY_RECORD_DIR_FAILED == (int)RELAY_DIR_FAILED &&
                  (int)PROCFERRY_RECORD_LAUNCH_FAILED == (int)RELAY_LAUNCH_FAILED,
              "record codes");

// A deadline timeout_ms from now, and the milliseconds left until it;
// PROCFERRY_INFINITE stays so. 64-bit ticks, so that a timeout of 2^31 ms
// or more is as long as it says.
uint64_t pf_deadline(uint32_t timeout_ms);
DWORD pf_remaining(uint64_t deadline, uint32_t timeout_ms);

// The relay's descriptors: 0 to 2 its own streams, 3 the report channel, 4
// the sync channel, 5 to 7 the child's streams when handed over. (The tests'
// parent may hand over more below them, up to PF_TEST_FD_COUNT in all.)
enum { PF_REPORT_FD = 3, PF_RELAY_FD_COUNT = 8, PF_TEST_FD_COUNT = 2048 };

// The handles behind the relay's descriptors (NULL: not open).
struct pf_relay_spawn {
    const wchar_t *relay;
    wchar_t *line;
    const wchar_t *environment;
    HANDLE *fds;
    int fd_count;
    int handle_width; // of the relay's architecture: 4 or 8
    bool job;
    bool new_process_group; // the relay, and so its child, in a group of its own
    // Descriptors marked for text mode in the runtime's table (the child's
    // standard streams, -1 for none).
    int text_fds[6];
};
struct pf_spawned {
    HANDLE process;
    DWORD pid;
    HANDLE job;
    int start_errno;   // the relay could not be started (with win32_error)
    DWORD win32_error; // alone: a handle, list or job could not be made
};
// The handle width of the relay's architecture (4 or 8), or minus the errno
// that says why it is no program the library can start: ENOENT, EACCES (a
// directory), ENOEXEC (no program image, or another machine).
int pf_relay_handle_width(const wchar_t *relay, DWORD *win32_error);
// Starts the relay; 0, or -1 with nothing left open.
int pf_spawn_relay(const pf_relay_spawn &spawn, pf_spawned &spawned);

// Ends a job's processes or, without a job, a relay and its direct children.
void pf_end_relay_tree(HANDLE relay, DWORD relay_pid);

// The environment block for the relay: the caller's (none when clear) with
// the changes applied, sorted; 0, EINVAL for a bad entry, or ENOMEM.
int pf_build_environment(const wchar_t *const *changes, size_t change_count, bool clear,
                         wchar_t **block);
// The value of name in a block, or NULL when it holds none.
const wchar_t *pf_block_value(const wchar_t *block, const wchar_t *name);

// A child for the caller, holding process and job from now on; NULL (and
// nothing taken) when it cannot be made.
procferry_child *pf_child_make(HANDLE process, HANDLE job, uint32_t flags);
void pf_child_add_flags(procferry_child *child, uint32_t flags);
// The console process group the child runs in (PROCFERRY_NEW_PROCESS_GROUP).
void pf_child_set_group(procferry_child *child, DWORD group);

// What the default command line holds; the stream settings whose
// procferry_relay_fds entry is -1 come from stream_letters.
struct pf_line_request {
    const wchar_t *relay;
    const wchar_t *program;
    const wchar_t *const *args;
    size_t arg_count;
    const wchar_t *dir; // NULL: no change
    char stream_letters[3];
    uint32_t flags;
};
// A procferry_line_builder over a pf_line_request.
wchar_t *pf_build_line(void *request, const struct procferry_relay_fds *fds);

#endif
