// Shared by the library's files; not installed.
#ifndef PROCFERRY_PARENT_INTERNAL_H
#define PROCFERRY_PARENT_INTERNAL_H

#include <windows.h>

#include "procferry/parent.h"

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

#endif
