// Shared by the library's files; not installed.
#ifndef PROCFERRY_PARENT_INTERNAL_H
#define PROCFERRY_PARENT_INTERNAL_H

#include <windows.h>

#include "procferry/parent.h"
#include "procferry/protocol.h"

// The public names of the record stand for the protocol's own.
static_assert((int)PROCFERRY_RECORD_SIZE == (int)RELAY_RECORD_SIZE, "record size");
static_assert((int)PROCFERRY_RECORD_OK == (int)RELAY_OK && (int)PROCFERRY_RECORD_DIR_FAILED == (int)RELAY_DIR_FAILED &&
                  (int)PROCFERRY_RECORD_LAUNCH_FAILED == (int)RELAY_LAUNCH_FAILED,
              "record codes");

// Milliseconds left until deadline (a GetTickCount value); INFINITE stays so.
DWORD pf_remaining(DWORD deadline, DWORD timeout_ms);

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

// For the tests' parent (declared again in its own header): a start whose
// relay takes relay_streams[n] (PROCFERRY_STREAM_FD) as its descriptor n
// instead of the caller's.
extern "C" int procferry_session_start_line_standing_in(const struct procferry_relay_start *start,
                                                        const struct procferry_stream *relay_streams,
                                                        struct procferry_session *session);

#endif
