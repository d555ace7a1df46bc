// A whole start: checking the options, the session's steps in order, and the
// result; and what a caller does with a no-wait child afterwards.
#include <errno.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

#include "option_checks.h"
#include "parent_internal.h"

namespace {

// Once the record is in or the relay is released, the relay ends within
// milliseconds; this bounds one that does not.
const DWORD RELAY_END_WAIT_MS = 10000;
// The child's pipes: large enough that a child writing in bursts seldom
// waits for its reader.
const DWORD PIPE_BUFFER_SIZE = 65536;

// Wide copies of the options' UTF-8 texts, and what else a start makes
// before the relay runs; freed together.
struct start_texts {
    wchar_t *relay = nullptr, *program = nullptr, *dir = nullptr;
    wchar_t **args = nullptr;
    size_t arg_count = 0;
    wchar_t **env = nullptr;
    size_t env_count = 0;
    wchar_t *environment = nullptr;
    wchar_t *default_relay = nullptr;
    pf_extra_fds extras = {nullptr, 0, nullptr};
    ~start_texts()
    {
        pf_extra_fds_close(&extras);
        free(relay);
        free(program);
        free(dir);
        for (size_t i = 0; args && i < arg_count; ++i)
            free(args[i]);
        free(args);
        for (size_t i = 0; env && i < env_count; ++i)
            free(env[i]);
        free(env);
        free(environment);
        free(default_relay);
    }
};

// A wide copy of a UTF-8 text; *ok turns false when it is not UTF-8 or
// cannot be made.
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

// A list of the options' texts, given in either form but not both; the
// UTF-8 one is converted into *converted.
bool pick_list(const wchar_t *const *wide, const char *const *utf8, size_t count,
               wchar_t ***converted, size_t *converted_count, const wchar_t *const **chosen)
{
    *chosen = wide;
    if (wide && utf8)
        return false;
    if (count && !wide && !utf8)
        return false;
    for (size_t i = 0; wide && i < count; ++i)
        if (!wide[i])
            return false;
    if (!utf8)
        return true;
    *converted = (wchar_t **)calloc(count + 1, sizeof(wchar_t *));
    if (!*converted)
        return false;
    bool ok = true;
    for (size_t i = 0; ok && i < count; ++i) {
        (*converted)[i] = widen(utf8[i], &ok);
        *converted_count = i + 1;
        ok = ok && (*converted)[i];
    }
    *chosen = *converted;
    return ok;
}

// procferry-console.exe (or procferry.exe) beside the module that holds
// this library: the program's own file when the library is linked in. The
// module's path may be as long as the system allows; the caller frees it.
wchar_t *find_default_relay(uint32_t flags)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(void *)&procferry_start, &module))
        return nullptr;
    const wchar_t *name = flags & PROCFERRY_GUI_RELAY ? L"procferry.exe" : L"procferry-console.exe";
    for (DWORD capacity = MAX_PATH + 1; capacity <= 65536; capacity *= 2) {
        wchar_t *path = (wchar_t *)malloc((capacity + wcslen(name)) * sizeof(wchar_t));
        if (!path) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        DWORD length = GetModuleFileNameW(module, path, capacity);
        if (length > 0 && length < capacity) {
            wchar_t *slash = wcsrchr(path, L'\\');
            wchar_t *other = wcsrchr(path, L'/');
            if (other > slash)
                slash = other;
            wcscpy(slash ? slash + 1 : path, name);
            return path;
        }
        free(path);
        if (length == 0)
            return nullptr;
    }
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
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

void close_pipes(procferry_result *result)
{
    for (procferry_handle &pipe : result->pipes) {
        if (pipe)
            CloseHandle((HANDLE)pipe);
        pipe = nullptr;
    }
}

// What a relay that ended without a record left behind.
int no_record(procferry_session &session, procferry_result *result, uint64_t deadline,
              uint32_t timeout_ms)
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

namespace {

// Checks a start's options and makes what either way of starting needs (the
// wide texts, the environment block, the pipes), then starts: the relay into
// *session, or with session NULL the child itself into result->child.
// Returns 0 once started; else the kind of the failure, with *result filled
// and nothing left open.
// waits: the caller waits for the child, where pipes and
// PROCFERRY_KILL_ON_CLOSE do not apply (the options' own flags may say
// otherwise: the relay is always asked not to wait).
int begin_start(const struct procferry_options *options, struct procferry_session *session,
                struct procferry_result *result, bool waits)
{
    memset(result, 0, sizeof *result);
    if (session) {
        memset(session, 0, sizeof *session);
        session->relay_report_fd = session->relay_sync_fd = -1;
    }
    pf_refused refusal = pf_check_options(options, waits);
    if (refusal.why != PF_ACCEPTED)
        return finish(result, PROCFERRY_INVALID_ARGUMENT,
                      refusal.why == PF_ENV_TOO_LONG ? E2BIG : EINVAL);
    start_texts texts;
    pf_line_request line = {};
    bool valid = pick(options->relay, options->relay_utf8, &texts.relay, &line.relay) &&
                 pick(options->program, options->program_utf8, &texts.program, &line.program) &&
                 pick(options->dir, options->dir_utf8, &texts.dir, &line.dir) && line.program &&
                 pick_list(options->args, options->args_utf8, options->arg_count, &texts.args,
                           &texts.arg_count, &line.args);
    line.arg_count = options->arg_count;
    line.flags = options->flags;
    if (valid && (options->flags & PROCFERRY_ARGV0) && options->arg_count == 0)
        valid = false; // argument zero was promised but not given
    const wchar_t *const *env = nullptr;
    valid = valid && pick_list(options->env, options->env_utf8, options->env_count, &texts.env,
                               &texts.env_count, &env);
    if (!valid) { // the checks passed: only memory can have run out
        result->win32_error = ERROR_NOT_ENOUGH_MEMORY;
        return finish(result, PROCFERRY_SYSTEM_ERROR);
    }
    if (options->env_count || (options->flags & PROCFERRY_CLEAR_ENV)) {
        int failed = pf_build_environment(env, options->env_count,
                                          (options->flags & PROCFERRY_CLEAR_ENV) != 0,
                                          &texts.environment);
        if (failed == ENOMEM) {
            result->win32_error = ERROR_NOT_ENOUGH_MEMORY;
            return finish(result, PROCFERRY_SYSTEM_ERROR);
        }
        if (failed)
            return finish(result, PROCFERRY_INVALID_ARGUMENT, failed);
    }
    if (session && !line.relay) {
        if (!(texts.default_relay = find_default_relay(options->flags))) {
            result->win32_error = GetLastError();
            return finish(result, PROCFERRY_SYSTEM_ERROR);
        }
        line.relay = texts.default_relay;
    }
    if (session) {
        size_t relay_length = wcslen(line.relay);
        if (relay_length >= PROCFERRY_PATH_SIZE)
            relay_length = PROCFERRY_PATH_SIZE - 1;
        memcpy(result->relay_path, line.relay, relay_length * sizeof(wchar_t));
    }

    procferry_relay_start start = {};
    start.relay = line.relay;
    shown_line shown = {&line, options->command_line, options->command_line_capacity};
    start.build_line = build_and_show;
    start.context = &shown;
    start.environment = texts.environment;
    start.no_job = (options->flags & PROCFERRY_NO_JOB) != 0;
    start.binary_streams = (options->flags & PROCFERRY_BINARY_STREAMS) != 0;
    start.new_process_group = (options->flags & PROCFERRY_NEW_PROCESS_GROUP) != 0;
    start.no_window = (options->flags & PROCFERRY_NO_WINDOW) != 0;
    // The relay's stderr is always a private pipe, so that a check report
    // is caught without touching the caller's descriptor 2; a child that
    // inherits stderr gets the caller's by number (the null device when the
    // caller has none, rather than the pipe nobody reads once the relay ends).
    // A direct start's child gets stderr the same way, so that both ways
    // hand it the same file.
    start.capture_relay_stderr = 1;
    if (DWORD failed = pf_extra_fds_open(options->extra_fds, options->extra_fd_count, &texts.extras)) {
        result->win32_error = failed;
        return finish(result, PROCFERRY_SYSTEM_ERROR);
    }
    start.extra_fds = texts.extras.handles;
    start.extra_fd_count = texts.extras.count;
    HANDLE child_ends[3] = {nullptr, nullptr, nullptr};
    for (int stream = 0; stream < 3; ++stream) {
        procferry_stream choice = options->streams[stream];
        if (choice.kind == PROCFERRY_STREAM_PIPE) {
            HANDLE read_end, write_end;
            if (!CreatePipe(&read_end, &write_end, nullptr, PIPE_BUFFER_SIZE)) {
                result->win32_error = GetLastError();
                for (HANDLE end : child_ends)
                    if (end)
                        CloseHandle(end);
                close_pipes(result);
                return finish(result, PROCFERRY_SYSTEM_ERROR);
            }
            child_ends[stream] = stream == 0 ? read_end : write_end;
            result->pipes[stream] = stream == 0 ? write_end : read_end;
            choice = {PROCFERRY_STREAM_HANDLE, 0, child_ends[stream]};
        } else if (choice.kind == PROCFERRY_STREAM_STDOUT) {
            choice = start.streams[1];
            if (choice.kind == PROCFERRY_STREAM_INHERIT)
                choice = pf_is_stream_fd(1) ? procferry_stream{PROCFERRY_STREAM_FD, 1, nullptr}
                                        : procferry_stream{PROCFERRY_STREAM_NULL, 0, nullptr};
        } else if (stream == 2 && choice.kind == PROCFERRY_STREAM_INHERIT) {
            choice = pf_is_stream_fd(2) ? procferry_stream{PROCFERRY_STREAM_FD, 2, nullptr}
                                    : procferry_stream{PROCFERRY_STREAM_NULL, 0, nullptr};
        }
        line.stream_letters[stream] =
            choice.kind == PROCFERRY_STREAM_NULL ? RELAY_STREAM_NULL : RELAY_STREAM_INHERIT;
        start.streams[stream] = choice;
    }

    if (!session) {
        pf_direct_request direct = {line.program, line.args, line.arg_count, line.dir,
                                    texts.environment, {start.streams[0], start.streams[1],
                                    start.streams[2]}, start.extra_fds, start.extra_fd_count,
                                    options->flags, options->command_line,
                                    options->command_line_capacity};
        int kind = pf_direct_start(direct, result);
        // The child holds its copies of its ends; the caller keeps its own.
        for (HANDLE end : child_ends)
            if (end)
                CloseHandle(end);
        if (kind != 0)
            close_pipes(result);
        return kind;
    }
    int started = procferry_session_start_line(&start, session);
    // The relay holds its copies of the child's ends; the caller keeps its own.
    for (HANDLE end : child_ends)
        if (end)
            CloseHandle(end);
    if (started == 0)
        return 0;
    close_pipes(result);
    result->win32_error = session->win32_error;
    if (session->spawn_errno == E2BIG || session->spawn_errno == EBADF)
        return finish(result, PROCFERRY_INVALID_ARGUMENT, session->spawn_errno);
    if (session->spawn_errno)
        return finish(result, PROCFERRY_RELAY_MISSING, session->spawn_errno);
    return finish(result, PROCFERRY_SYSTEM_ERROR);
}

// Whether a start goes through the relay (else it is direct).
bool through_relay(const procferry_options &options)
{
    return options.relay || options.relay_utf8 ||
           (options.flags & (PROCFERRY_RELAY | PROCFERRY_GUI_RELAY));
}

// A start through the relay up to its record: PROCFERRY_STARTED with
// result->child, or any other kind with the relay gone and *result complete.
int start_through_relay(const procferry_options *options, procferry_result *result,
                        uint64_t deadline, uint32_t timeout, bool waits)
{
    procferry_session session;
    if (begin_start(options, &session, result, waits) != 0)
        return result->kind;

    procferry_record record = {0, 0};
    int got = procferry_session_read_record(&session, timeout, &record);
    result->record_bytes = got > 0 ? got : 0;
    if (got < 0) {
        procferry_session_kill_tree(&session);
        result->win32_error = got == -2 ? session.win32_error : 0;
        procferry_session_close(&session);
        close_pipes(result);
        return finish(result, got == -2 ? PROCFERRY_SYSTEM_ERROR : PROCFERRY_TIMED_OUT);
    }
    if (got < RELAY_RECORD_SIZE) {
        procferry_session_release(&session, 1);
        int kind = got > 0 ? PROCFERRY_BAD_RECORD : no_record(session, result, deadline, timeout);
        if (kind == PROCFERRY_BAD_RECORD)
            finish(result, kind);
        procferry_session_close(&session);
        close_pipes(result);
        return kind;
    }
    result->record_code = record.code;
    result->record_value = record.value;
    int kind = PROCFERRY_BAD_RECORD;
    int error = 0;
    switch (record.code) {
    case RELAY_OK:
        if ((result->child = procferry_session_take_child(&session, record.value))) {
            kind = PROCFERRY_STARTED;
            result->pid = procferry_child_pid(result->child);
            pf_child_add_flags(result->child, options->flags & PROCFERRY_KILL_ON_CLOSE);
            // The group is the relay's, whose id names it after the relay
            // ended; the child keeps the relay's handle, so that the id
            // cannot go to another process meanwhile.
            HANDLE holder = nullptr;
            if ((options->flags & PROCFERRY_NEW_PROCESS_GROUP) &&
                DuplicateHandle(GetCurrentProcess(), (HANDLE)session.relay, GetCurrentProcess(),
                                &holder, SYNCHRONIZE, FALSE, 0))
                pf_child_set_group(result->child, session.relay_pid, holder);
        } else {
            // Launched, but not ours to wait for or end later: end it now.
            result->win32_error = session.win32_error;
            procferry_session_kill_tree(&session);
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
    if (kind != PROCFERRY_STARTED)
        close_pipes(result);
    return finish(result, kind, error);
}

} // namespace

int procferry_session_start_options(const struct procferry_options *options,
                                    struct procferry_session *session,
                                    struct procferry_result *result)
{
    return begin_start(options, session, result, false);
}

int pf_start(const struct procferry_options *options, struct procferry_result *result)
{
    uint32_t timeout = options ? options->timeout_ms : 0;
    uint64_t deadline = pf_deadline(timeout);
    // The relay never waits: the library takes the child and waits for it
    // itself, so that a timeout tells a relay that did not answer from a
    // program that ran too long, and the pid is known in either mode. A
    // direct start's child is waited for the same way.
    procferry_options relayed;
    bool wait_for_child = false;
    bool direct = false;
    if (options && options->size >= sizeof *options) {
        relayed = *options;
        wait_for_child = !(options->flags & PROCFERRY_NO_WAIT);
        direct = !through_relay(*options);
        relayed.flags |= PROCFERRY_NO_WAIT;
        options = &relayed;
    }
    // Checked once, against the caller's own waiting: the caller would get
    // its pipe ends only once the child ended, and a child that fills a pipe
    // never ends; nor is there a close to end the tree at.
    int kind = direct ? begin_start(options, nullptr, result, wait_for_child)
                      : start_through_relay(options, result, deadline, timeout, wait_for_child);
    if (direct && kind == 0)
        kind = PROCFERRY_STARTED;
    if (kind != PROCFERRY_STARTED)
        return kind;
    if (wait_for_child) {
        int waited = procferry_child_wait(result->child, pf_remaining(deadline, timeout),
                                          &result->exit_status);
        if (waited == PROCFERRY_TIMED_OUT) {
            procferry_child_kill(result->child, 1);
            procferry_child_wait(result->child, RELAY_END_WAIT_MS, nullptr);
            result->exit_status = 0;
        }
        kind = waited == 0 ? PROCFERRY_EXITED : PROCFERRY_TIMED_OUT;
        if (waited < 0) {
            result->win32_error = GetLastError();
            result->exit_status = 0;
            kind = PROCFERRY_SYSTEM_ERROR;
        }
        procferry_child_close(result->child);
        result->child = nullptr;
    }
    if (kind != PROCFERRY_EXITED && kind != PROCFERRY_STARTED)
        close_pipes(result);
    return finish(result, kind);
}

int procferry_start(const struct procferry_options *options, struct procferry_result *result)
{
    int kind = pf_start(options, result);
    pf_keep_words(options, result);
    return kind;
}

const char *procferry_kind_name(int kind)
{
    static const char *const names[] = {
        "none",           "exited",      "started",       "dir_failed",
        "launch_failed",  "invalid_argument", "relay_missing", "relay_crashed",
        "check_report",   "timed_out",   "bad_record",    "system_error"};
    return kind >= 0 && kind < (int)(sizeof names / sizeof names[0]) ? names[kind] : "unknown";
}
