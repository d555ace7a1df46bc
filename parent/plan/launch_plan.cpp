// The launch plan: the options checked, their texts made wide, the child's
// environment block, directory, program, command text and descriptors, each
// decided once, here, for both ways of starting.
#include "launch_plan.h"

#include <errno.h>
#include <new>
#include <stdlib.h>
#include <string.h>

#include "program_lookup.h"

// The plan's own copies and what it opened, freed or closed with it.
struct pf_plan_texts {
    wchar_t *relay = nullptr, *program = nullptr, *dir = nullptr;
    wchar_t **args = nullptr;
    size_t arg_count = 0;
    wchar_t **env = nullptr;
    size_t env_count = 0;
    wchar_t *environment = nullptr;
    wchar_t directory[WORK_DIR_PATH_CAPACITY] = {};
    const wchar_t **vector = nullptr;
    wchar_t *command_text = nullptr;
    pf_extra_fds extras = {nullptr, 0, nullptr};
    HANDLE child_ends[3] = {nullptr, nullptr, nullptr}; // pipes' and the null device's
    ~pf_plan_texts()
    {
        pf_extra_fds_close(&extras);
        for (HANDLE end : child_ends)
            if (end)
                CloseHandle(end);
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
        free(vector);
        free(command_text);
    }
};

pf_plan::~pf_plan()
{
    if (texts) {
        texts->~pf_plan_texts();
        free(texts);
    }
    for (procferry_handle pipe : pipes)
        if (pipe)
            CloseHandle((HANDLE)pipe);
    HANDLE console_ends[] = {console_input, console_output, pump_reads, pump_writes};
    for (HANDLE end : console_ends)
        if (end)
            CloseHandle(end);
}

void pf_plan_close_child_ends(pf_plan *plan)
{
    for (HANDLE &end : plan->texts->child_ends) {
        if (end)
            CloseHandle(end);
        end = nullptr;
    }
}

namespace {

// The child's pipes: large enough that a child writing in bursts seldom
// waits for its reader.
const DWORD PIPE_BUFFER_SIZE = 65536;

// A wide copy of a UTF-8 text; *ok turns false when it is not UTF-8 or
// cannot be made.
wchar_t *wide_copy(const char *text, bool *ok)
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
    *converted = wide_copy(utf8, &ok);
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
        (*converted)[i] = wide_copy(utf8[i], &ok);
        *converted_count = i + 1;
        ok = ok && (*converted)[i];
    }
    *chosen = *converted;
    return ok;
}

int plan_refused(pf_plan *plan, int kind, int error, DWORD win32_error = 0)
{
    plan->kind = kind;
    plan->error = error;
    plan->win32_error = win32_error;
    return kind;
}

int out_of_memory(pf_plan *plan)
{
    return plan_refused(plan, PROCFERRY_SYSTEM_ERROR, 0, ERROR_NOT_ENOUGH_MEMORY);
}

// Whether a start goes through the relay (else it is direct).
bool through_relay(const procferry_options &options)
{
    return options.relay || options.relay_utf8 ||
           (options.flags & (PROCFERRY_RELAY | PROCFERRY_GUI_RELAY));
}

// The null device, opened for the child's stream n.
HANDLE open_null(int n)
{
    HANDLE device = CreateFileW(L"NUL", n == 0 ? GENERIC_READ : GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    return device == INVALID_HANDLE_VALUE ? nullptr : device;
}

// A console start's pipes: the console's keyboard from the caller's end
// (pipes[0]), and its screen through the pump to the caller's (pipes[1]).
// The pump's ends are overlapped, and so are the caller's with
// PROCFERRY_OVERLAPPED_PIPES. Returns 0, or the system's error.
DWORD plan_console(const procferry_options &options, pf_plan *plan)
{
    bool overlapped = (options.flags & PROCFERRY_OVERLAPPED_PIPES) != 0;
    HANDLE keys = nullptr, screen = nullptr;
    bool made = overlapped ? pf_overlapped_pipe(false, &keys, &plan->console_input, PIPE_BUFFER_SIZE)
                           : CreatePipe(&plan->console_input, &keys, nullptr, PIPE_BUFFER_SIZE);
    if (made) {
        plan->pipes[0] = keys;
        made = pf_overlapped_pipe(true, &plan->pump_reads, &plan->console_output, PIPE_BUFFER_SIZE);
    }
    if (made)
        made = overlapped ? pf_overlapped_pipe(true, &screen, &plan->pump_writes, PIPE_BUFFER_SIZE, true)
                          : pf_overlapped_pipe(false, &plan->pump_writes, &screen, PIPE_BUFFER_SIZE);
    if (!made)
        return GetLastError();
    plan->pipes[1] = screen;
    plan->console_columns = options.console.columns;
    plan->console_rows = options.console.rows;
    return 0;
}

// The child's three streams as handles. Returns 0, or the system's error
// with what was opened kept in the plan (it closes it). In a console start,
// what goes to the console has no handle.
DWORD plan_streams(const procferry_options &options, pf_plan *plan)
{
    bool console = options.console.columns != 0;
    if (console)
        if (DWORD failed = plan_console(options, plan))
            return failed;
    for (int n = 0; n < 3; ++n) {
        procferry_stream choice = options.streams[n];
        if (console && (n < 2 || choice.kind == PROCFERRY_STREAM_INHERIT || choice.kind == PROCFERRY_STREAM_STDOUT))
            continue;
        plan->stream_chosen[n] = choice.kind != PROCFERRY_STREAM_INHERIT;
        if (choice.kind == PROCFERRY_STREAM_STDOUT) {
            // Joined to stdout: whatever stdout got, or the null device
            // where the caller has no stdout to hand on.
            if (!(plan->streams[2] = plan->streams[1]) &&
                !(plan->streams[2] = plan->texts->child_ends[2] = open_null(2)))
                return GetLastError();
            continue;
        }
        // The caller's stderr is handed on by number, or the null device when
        // it has none: never the relay's own, which is a pipe nobody reads
        // once the relay ends.
        if (n == 2 && choice.kind == PROCFERRY_STREAM_INHERIT)
            choice = pf_is_stream_fd(2) ? procferry_stream{PROCFERRY_STREAM_FD, 2, nullptr}
                                        : procferry_stream{PROCFERRY_STREAM_NULL, 0, nullptr};
        if (choice.kind == PROCFERRY_STREAM_INHERIT) {
            plan->streams[n] = pf_fd_handle(n);
        } else if (choice.kind == PROCFERRY_STREAM_NULL) {
            if (!(plan->streams[n] = plan->texts->child_ends[n] = open_null(n)))
                return GetLastError();
        } else if (choice.kind == PROCFERRY_STREAM_PIPE && (options.flags & PROCFERRY_OVERLAPPED_PIPES)) {
            HANDLE caller_end, child_end;
            if (!pf_overlapped_pipe(n != 0, &caller_end, &child_end, PIPE_BUFFER_SIZE))
                return GetLastError();
            plan->streams[n] = plan->texts->child_ends[n] = child_end;
            plan->pipes[n] = caller_end;
        } else if (choice.kind == PROCFERRY_STREAM_PIPE) {
            HANDLE read_end, write_end;
            if (!CreatePipe(&read_end, &write_end, nullptr, PIPE_BUFFER_SIZE))
                return GetLastError();
            plan->streams[n] = plan->texts->child_ends[n] = n == 0 ? read_end : write_end;
            plan->pipes[n] = n == 0 ? write_end : read_end;
        } else {
            plan->streams[n] = pf_stream_handle(choice);
        }
    }
    return 0;
}

// The child's vector: argument zero (the program as given, or args[0] with
// PROCFERRY_ARGV0) and the arguments, null-ended.
const wchar_t **child_vector(const wchar_t *program, const wchar_t *const *args, size_t count,
                             uint32_t flags)
{
    bool own_zero = (flags & PROCFERRY_ARGV0) != 0;
    const wchar_t **vector = (const wchar_t **)calloc(count + (own_zero ? 0 : 1) + 1, sizeof(wchar_t *));
    if (!vector)
        return nullptr;
    size_t at = 0;
    if (!own_zero)
        vector[at++] = program;
    for (size_t i = 0; i < count; ++i)
        vector[at++] = args[i];
    return vector;
}

} // namespace

int pf_plan_make(const struct procferry_options *options, bool waits, pf_plan *plan)
{
    plan->refusal = pf_check_options(options, waits);
    if (plan->refusal.why != PF_ACCEPTED)
        return plan_refused(plan, PROCFERRY_INVALID_ARGUMENT,
                      plan->refusal.why == PF_ENV_TOO_LONG ? E2BIG : EINVAL);
    // The library does without the C++ runtime: its own copies live in
    // memory from malloc.
    void *memory = malloc(sizeof(pf_plan_texts));
    if (!memory)
        return out_of_memory(plan);
    plan->texts = new (memory) pf_plan_texts;
    pf_plan_texts &texts = *plan->texts;
    plan->flags = options->flags;
    plan->show_line = options->command_line;
    plan->show_capacity = options->command_line_capacity;

    // The texts. The checks passed: only memory can fail them now.
    const wchar_t *relay = nullptr, *dir = nullptr;
    const wchar_t *const *args = nullptr, *const *env = nullptr;
    bool made = pick(options->relay, options->relay_utf8, &texts.relay, &relay) &&
                pick(options->program, options->program_utf8, &texts.program, &plan->program) &&
                pick(options->dir, options->dir_utf8, &texts.dir, &dir) && plan->program &&
                pick_list(options->args, options->args_utf8, options->arg_count, &texts.args,
                          &texts.arg_count, &args) &&
                pick_list(options->env, options->env_utf8, options->env_count, &texts.env,
                          &texts.env_count, &env) &&
                (plan->vector = texts.vector = child_vector(plan->program, args, options->arg_count,
                                                            options->flags));
    if (!made)
        return out_of_memory(plan);
    if (options->env_count || (options->flags & PROCFERRY_CLEAR_ENV)) {
        int failed = pf_build_environment(env, options->env_count,
                                          (options->flags & PROCFERRY_CLEAR_ENV) != 0,
                                          &texts.environment);
        if (failed == ENOMEM)
            return out_of_memory(plan);
        if (failed)
            return plan_refused(plan, PROCFERRY_INVALID_ARGUMENT, failed);
        plan->environment = texts.environment;
    }
    plan->given_dir = dir;
    plan->asked_relay = through_relay(*options);
    if (plan->asked_relay) {
        if (!relay && !(relay = texts.relay = pf_default_relay(options->flags)))
            return plan_refused(plan, PROCFERRY_SYSTEM_ERROR, 0, GetLastError());
        plan->relay = relay;
    }

    // The descriptors.
    if (DWORD failed = pf_extra_fds_open(options->extra_fds, options->extra_fd_count, &texts.extras))
        return plan_refused(plan, PROCFERRY_SYSTEM_ERROR, 0, failed);
    plan->extra_fds = texts.extras.handles;
    plan->extra_fd_count = texts.extras.count;
    if (DWORD failed = plan_streams(*options, plan))
        return plan_refused(plan, PROCFERRY_SYSTEM_ERROR, 0, failed);
    plan->text_streams = !(options->flags & PROCFERRY_BINARY_STREAMS);

    // The directory, as the child's block reads it, then the program in it:
    // a relay would change into the one before it looked for the other.
    if (dir) {
        int refused = pf_child_directory(dir, plan->environment, texts.directory);
        if (refused)
            return plan_refused(plan, PROCFERRY_DIR_FAILED, refused);
        plan->directory = texts.directory;
    }
    int error = pf_find_program_in_block(plan->program, plan->directory, plan->environment,
                                         pf_searches(options->flags), plan->found,
                                         PF_PROGRAM_PATH_CAPACITY);
    if (error == 0)
        error = pf_direct_command(plan->found, plan->vector, plan->application, &texts.command_text);
    if (error == ENOMEM)
        return out_of_memory(plan);
    if (error)
        return plan_refused(plan, PROCFERRY_LAUNCH_FAILED, error);
    plan->command_text = texts.command_text;
    // A file the system would refuse to start (no program image, a library,
    // another machine's program) is refused here, in the same words on
    // either way, whatever the runtime in between would make of it.
    DWORD image_error = 0;
    plan->handle_width = pf_image_handle_width(plan->application, &image_error, &plan->windowed);
    if (plan->handle_width < 0)
        return plan_refused(plan, PROCFERRY_LAUNCH_FAILED, -plan->handle_width, image_error);

    plan->job = !(options->flags & PROCFERRY_NO_JOB);
    plan->new_group = (options->flags & PROCFERRY_NEW_PROCESS_GROUP) != 0;
    plan->creation = (options->flags & PROCFERRY_NO_WINDOW ? CREATE_NO_WINDOW : 0) |
                     (plan->new_group ? CREATE_NEW_PROCESS_GROUP : 0);
    return 0;
}

void pf_show_line(const pf_plan &plan, const wchar_t *text)
{
    if (!text || !plan.show_line || !plan.show_capacity)
        return;
    size_t length = wcslen(text);
    size_t kept = length < plan.show_capacity ? length : plan.show_capacity - 1;
    memcpy(plan.show_line, text, kept * sizeof(wchar_t));
    plan.show_line[kept] = 0;
}
