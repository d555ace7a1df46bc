// A whole start: checking the options, the session's steps in order, and the
// result; and what a caller does with a no-wait child afterwards.
#include <errno.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"

namespace {

// Once the record is in or the relay is released, the relay ends within
// milliseconds; this bounds one that does not.
const DWORD RELAY_END_WAIT_MS = 10000;

// Wide copies of the options' UTF-8 texts, freed together.
struct wide_texts {
    wchar_t *relay = nullptr, *program = nullptr, *dir = nullptr;
    wchar_t **args = nullptr;
    size_t arg_count = 0;
    ~wide_texts()
    {
        free(relay);
        free(program);
        free(dir);
        for (size_t i = 0; args && i < arg_count; ++i)
            free(args[i]);
        free(args);
    }
};

// A wide copy of a UTF-8 text; *ok turns false when it cannot be made.
wchar_t *widen(const char *text, bool *ok)
{
    if (!text)
        return nullptr;
    size_t length = procferry_utf8_to_wide(text, nullptr, 0);
    wchar_t *wide = (wchar_t *)malloc((length + 1) * sizeof(wchar_t));
    if (!wide || (*text && length == 0)) { // length 0 for a non-empty text: not UTF-8
        free(wide);
        *ok = false;
        return nullptr;
    }
    procferry_utf8_to_wide(text, wide, length + 1);
    return wide;
}

// One text of the options, given in either form but not both.
bool pick(const wchar_t *wide, const char *utf8, wchar_t **converted, const wchar_t **chosen)
{
    if (wide && utf8)
        return false;
    bool ok = true;
    *converted = widen(utf8, &ok);
    *chosen = wide ? wide : *converted;
    return ok;
}

bool handle_open(HANDLE handle)
{
    DWORD flags;
    return handle && handle != INVALID_HANDLE_VALUE && GetHandleInformation(handle, &flags);
}

bool stream_open(int fd)
{
    return fd >= 0 && handle_open((HANDLE)_get_osfhandle(fd));
}

// Whether a stream choice names something the caller has.
bool stream_known(const procferry_stream &stream)
{
    switch (stream.kind) {
    case PROCFERRY_STREAM_INHERIT:
    case PROCFERRY_STREAM_NULL:
        return true;
    case PROCFERRY_STREAM_FD:
        return stream_open(stream.fd);
    case PROCFERRY_STREAM_HANDLE:
        return handle_open((HANDLE)stream.handle);
    }
    return false;
}

// The line builder of a start, which also hands the caller the text.
struct shown_line {
    pf_line_request *line;
    wchar_t *out;
    size_t capacity;
};

wchar_t *build_and_show(void *context, const procferry_relay_fds *fds)
{
    shown_line &shown = *(shown_line *)context;
    wchar_t *text = pf_build_line(shown.line, fds);
    if (text && shown.out && shown.capacity) {
        size_t length = wcslen(text);
        size_t kept = length < shown.capacity ? length : shown.capacity - 1;
        memcpy(shown.out, text, kept * sizeof(wchar_t));
        shown.out[kept] = 0;
    }
    return text;
}

int finish(procferry_result *result, int kind, int error = 0)
{
    result->kind = kind;
    result->error = error;
    return kind;
}

// What a relay that ended without a record left behind.
int no_record(procferry_session &session, procferry_result *result, DWORD deadline,
              DWORD timeout_ms)
{
    DWORD left = pf_remaining(deadline, timeout_ms);
    if (WaitForSingleObject((HANDLE)session.relay, left < RELAY_END_WAIT_MS ? left : RELAY_END_WAIT_MS) !=
        WAIT_OBJECT_0) {
        procferry_session_kill_tree(&session);
        return finish(result, PROCFERRY_TIMED_OUT);
    }
    procferry_session_wait_relay(&session, 0, &result->relay_exit_status);
    result->relay_ended = 1;
    if (procferry_session_relay_stderr(&session, result->check_report,
                                       sizeof result->check_report) > 0)
        return finish(result, PROCFERRY_CHECK_REPORT);
    if (result->relay_exit_status == RELAY_EXIT_CHECK_FAILED)
        return finish(result, PROCFERRY_CHECK_REPORT);
    return finish(result, PROCFERRY_RELAY_CRASHED);
}

} // namespace

void procferry_options_init(struct procferry_options *options)
{
    memset(options, 0, sizeof *options);
    options->size = sizeof *options;
    options->timeout_ms = PROCFERRY_INFINITE;
}

int procferry_session_start_options(const struct procferry_options *options,
                            struct procferry_session *session, struct procferry_result *result)
{
    memset(result, 0, sizeof *result);
    memset(session, 0, sizeof *session);
    session->relay_report_fd = session->relay_sync_fd = -1;
    if (!options || options->size < sizeof *options)
        return finish(result, PROCFERRY_INVALID_ARGUMENT, EINVAL);
    wide_texts converted;
    pf_line_request line = {};
    bool valid = pick(options->relay, options->relay_utf8, &converted.relay, &line.relay) &&
                 pick(options->program, options->program_utf8, &converted.program, &line.program) &&
                 pick(options->dir, options->dir_utf8, &converted.dir, &line.dir) &&
                 line.relay && line.program && !(options->args && options->args_utf8) &&
                 (options->arg_count == 0 || options->args || options->args_utf8);
    if (valid && options->args_utf8) {
        converted.args = (wchar_t **)calloc(options->arg_count + 1, sizeof(wchar_t *));
        valid = converted.args != nullptr;
        for (size_t i = 0; valid && i < options->arg_count; ++i) {
            converted.args[i] = widen(options->args_utf8[i], &valid);
            converted.arg_count = i + 1;
            valid = valid && converted.args[i];
        }
        line.args = converted.args;
    } else {
        line.args = options->args;
    }
    for (size_t i = 0; valid && options->args && i < options->arg_count; ++i)
        valid = options->args[i] != nullptr;
    line.arg_count = options->arg_count;
    line.flags = options->flags;
    if (valid && (options->flags & PROCFERRY_ARGV0) && options->arg_count == 0)
        valid = false; // argument zero was promised but not given

    procferry_relay_start start = {};
    start.relay = line.relay;
    shown_line shown = {&line, options->command_line, options->command_line_capacity};
    start.build_line = build_and_show;
    start.context = &shown;
    for (int stream = 0; stream < 3; ++stream) {
        const procferry_stream &choice = options->streams[stream];
        line.stream_letters[stream] =
            choice.kind == PROCFERRY_STREAM_NULL ? RELAY_STREAM_NULL : RELAY_STREAM_INHERIT;
        valid = valid && stream_known(choice);
        start.streams[stream] = choice;
    }
    if (!valid)
        return finish(result, PROCFERRY_INVALID_ARGUMENT, EINVAL);

    // The relay then takes a private pipe as its stderr, and a child that
    // inherits stderr gets the caller's descriptor 2 by number. A caller
    // without one has nothing to hand on; its child gets the null device
    // rather than the pipe, which nobody reads once the relay has ended.
    if (options->flags & PROCFERRY_CAPTURE_CHECK_REPORT) {
        start.capture_relay_stderr = 1;
        if (options->streams[2].kind == PROCFERRY_STREAM_INHERIT) {
            if (stream_open(2))
                start.streams[2] = {PROCFERRY_STREAM_FD, 2, nullptr};
            else
                line.stream_letters[2] = RELAY_STREAM_NULL;
        }
    }

    if (procferry_session_start_line(&start, session) == 0)
        return 0;
    if (session->win32_error) {
        result->win32_error = session->win32_error;
        return finish(result, PROCFERRY_SYSTEM_ERROR, session->spawn_errno);
    }
    if (session->spawn_errno == E2BIG || session->spawn_errno == EBADF)
        return finish(result, PROCFERRY_INVALID_ARGUMENT, session->spawn_errno);
    return finish(result, PROCFERRY_RELAY_MISSING, session->spawn_errno);
}

int procferry_start(const struct procferry_options *options, struct procferry_result *result)
{
    DWORD timeout = options ? options->timeout_ms : 0;
    DWORD deadline = GetTickCount() + timeout;
    procferry_session session;
    if (procferry_session_start_options(options, &session, result) != 0)
        return result->kind;

    procferry_record record = {0, 0};
    int got = procferry_session_read_record(&session, timeout, &record);
    result->record_bytes = got > 0 ? got : 0;
    if (got < 0) {
        procferry_session_kill_tree(&session);
        procferry_session_close(&session);
        return finish(result, PROCFERRY_TIMED_OUT);
    }
    if (got < RELAY_RECORD_SIZE) {
        procferry_session_release(&session, 1);
        int kind = got > 0 ? PROCFERRY_BAD_RECORD : no_record(session, result, deadline, timeout);
        if (kind == PROCFERRY_BAD_RECORD)
            finish(result, kind);
        procferry_session_close(&session);
        return kind;
    }
    result->record_code = record.code;
    result->record_value = record.value;
    int kind = PROCFERRY_BAD_RECORD;
    int error = 0;
    switch (record.code) {
    case RELAY_OK:
        if (!(options->flags & PROCFERRY_NO_WAIT)) {
            kind = PROCFERRY_EXITED;
            result->exit_status = (uint32_t)record.value;
        } else if ((result->process = procferry_session_take_child(&session, record.value))) {
            kind = PROCFERRY_STARTED;
            result->pid = GetProcessId((HANDLE)result->process);
        } else {
            result->win32_error = session.win32_error;
        }
        break;
    case RELAY_DIR_FAILED:
        kind = PROCFERRY_DIR_FAILED;
        error = record.value;
        break;
    case RELAY_LAUNCH_FAILED:
        kind = PROCFERRY_LAUNCH_FAILED;
        error = record.value;
        break;
    }
    procferry_session_release(&session, 1);
    if (procferry_session_wait_relay(&session, RELAY_END_WAIT_MS, &result->relay_exit_status) == 0)
        result->relay_ended = 1;
    procferry_session_close(&session);
    return finish(result, kind, error);
}

const char *procferry_kind_name(int kind)
{
    static const char *const names[] = {
        "none",           "exited",      "started",       "dir_failed",
        "launch_failed",  "invalid_argument", "relay_missing", "relay_crashed",
        "check_report",   "timed_out",   "bad_record",    "system_error"};
    return kind >= 0 && kind < (int)(sizeof names / sizeof names[0]) ? names[kind] : "unknown";
}

int procferry_child_wait(procferry_handle process, uint32_t timeout_ms, uint32_t *exit_status)
{
    DWORD waited = WaitForSingleObject((HANDLE)process, timeout_ms);
    if (waited == WAIT_TIMEOUT)
        return PROCFERRY_TIMED_OUT;
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess((HANDLE)process, &code))
        return -1;
    if (exit_status)
        *exit_status = code;
    return 0;
}

int procferry_child_kill(procferry_handle process, uint32_t exit_code)
{
    if (TerminateProcess((HANDLE)process, exit_code))
        return 0;
    // Ending a process that already ended is refused; it is ended all the same.
    DWORD code;
    if (WaitForSingleObject((HANDLE)process, 0) == WAIT_OBJECT_0 &&
        GetExitCodeProcess((HANDLE)process, &code))
        return 0;
    return -1;
}

void procferry_child_close(procferry_handle process)
{
    if (process)
        CloseHandle((HANDLE)process);
}
