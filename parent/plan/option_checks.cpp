// The checks a start's options pass before anything starts, with what each
// refusal is about, for the start and for its words alike.
#include <io.h>
#include <stddef.h>
#include <string.h>

#include "option_checks.h"
#include "parent_internal.h"

namespace {

bool not_utf8(const char *text)
{
    return text && *text && procferry_utf8_to_wide(text, nullptr, 0) == 0;
}

} // namespace

// A handle the relay's runtime keeps as a descriptor: a file, pipe or
// device. It drops anything else (an event, a process, a thread), and the
// child would then use the caller's own stream in its place.
bool pf_is_stream_object(HANDLE handle)
{
    DWORD flags;
    if (!handle || handle == INVALID_HANDLE_VALUE || !GetHandleInformation(handle, &flags))
        return false;
    DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR;
}

bool pf_is_stream_fd(int fd)
{
    return fd >= 0 && pf_is_stream_object((HANDLE)_get_osfhandle(fd));
}

namespace {

// Whether a stream of this number may be of this kind at all.
bool kind_fits(int kind, int number)
{
    switch (kind) {
    case PROCFERRY_STREAM_INHERIT:
    case PROCFERRY_STREAM_NULL:
    case PROCFERRY_STREAM_FD:
    case PROCFERRY_STREAM_HANDLE:
        return true;
    case PROCFERRY_STREAM_PIPE:
        return number < 3;
    case PROCFERRY_STREAM_STDOUT:
        return number == 2;
    case PROCFERRY_STREAM_NONE:
        return number >= 3;
    }
    return false;
}

// Whether what a stream of a fitting kind names is there.
bool stream_known(const procferry_stream &stream, int number)
{
    switch (stream.kind) {
    case PROCFERRY_STREAM_INHERIT:
        return number < 3 || pf_is_stream_fd(number);
    case PROCFERRY_STREAM_FD:
        return pf_is_stream_fd(stream.fd);
    case PROCFERRY_STREAM_HANDLE:
        return pf_is_stream_object((HANDLE)stream.handle);
    }
    return true;
}

pf_refused refused(pf_refusal why, pf_refused_text what = PF_TEXT_NONE, size_t index = 0)
{
    return {why, what, index};
}

// One text, in one form or the other.
pf_refusal text_refusal(const wchar_t *wide, const char *utf8)
{
    if (wide && utf8)
        return PF_BOTH_FORMS;
    return not_utf8(utf8) ? PF_NOT_UTF8 : PF_ACCEPTED;
}

// A list of texts, in one form or the other; *index names the entry.
pf_refusal list_refusal(const wchar_t *const *wide, const char *const *utf8, size_t count,
                        size_t *index)
{
    if (wide && utf8)
        return PF_BOTH_FORMS;
    if (count && !wide && !utf8)
        return PF_LIST_WITHOUT_ENTRIES;
    for (*index = 0; *index < count; ++*index) {
        if (wide ? !wide[*index] : !utf8[*index])
            return PF_LIST_WITHOUT_ENTRIES;
        if (utf8 && not_utf8(utf8[*index]))
            return PF_NOT_UTF8;
    }
    return PF_ACCEPTED;
}

// An environment entry's name ends at the first '=' past its first unit.
pf_refusal env_entry_refusal(const wchar_t *wide, const char *utf8)
{
    size_t name = 0, value = 0;
    if (wide) {
        const wchar_t *equals = wide[0] ? wcschr(wide + 1, L'=') : nullptr;
        name = equals ? (size_t)(equals - wide) : wcslen(wide);
        value = equals ? wcslen(equals + 1) : 0;
        if (name == 1 && wide[0] == L'=')
            name = 0;
    } else {
        const char *equals = utf8[0] ? strchr(utf8 + 1, '=') : nullptr;
        name = equals ? (size_t)(equals - utf8) : strlen(utf8);
        value = equals ? procferry_utf8_to_wide(equals + 1, nullptr, 0) : 0;
        if (name == 1 && utf8[0] == '=')
            name = 0;
    }
    if (name == 0)
        return PF_ENV_NO_NAME;
    return value + 1 > ENV_VALUE_LIMIT ? PF_ENV_TOO_LONG : PF_ACCEPTED;
}

} // namespace

pf_refused pf_check_options(const struct procferry_options *options, int waits)
{
    if (!options || options->size < sizeof *options)
        return refused(PF_NO_OPTIONS);
    pf_refusal why;
    if ((why = text_refusal(options->relay, options->relay_utf8)))
        return refused(why, PF_TEXT_RELAY);
    if ((why = text_refusal(options->program, options->program_utf8)))
        return refused(why, PF_TEXT_PROGRAM);
    if ((why = text_refusal(options->dir, options->dir_utf8)))
        return refused(why, PF_TEXT_DIR);
    if (!options->program && !options->program_utf8)
        return refused(PF_NO_PROGRAM, PF_TEXT_PROGRAM);
    size_t index = 0;
    if ((why = list_refusal(options->args, options->args_utf8, options->arg_count, &index)))
        return refused(why, PF_TEXT_ARG, index);
    if ((options->flags & PROCFERRY_ARGV0) && options->arg_count == 0)
        return refused(PF_NO_ARGV0, PF_TEXT_ARG);
    if ((why = list_refusal(options->env, options->env_utf8, options->env_count, &index)))
        return refused(why, PF_TEXT_ENV, index);
    for (index = 0; index < options->env_count; ++index)
        if ((why = env_entry_refusal(options->env ? options->env[index] : nullptr,
                                     options->env ? nullptr : options->env_utf8[index])))
            return refused(why, PF_TEXT_ENV, index);
    for (int stream = 0; stream < 3; ++stream) {
        if (!kind_fits(options->streams[stream].kind, stream))
            return refused(PF_STREAM_KIND, PF_TEXT_STREAM, (size_t)stream);
        if (!stream_known(options->streams[stream], stream))
            return refused(PF_STREAM_UNKNOWN, PF_TEXT_STREAM, (size_t)stream);
        if (waits && options->streams[stream].kind == PROCFERRY_STREAM_PIPE)
            return refused(PF_PIPE_WAITED, PF_TEXT_STREAM, (size_t)stream);
    }
    if (waits && (options->flags & PROCFERRY_KILL_ON_CLOSE))
        return refused(PF_KILL_ON_CLOSE_WAITED);
    if (options->console.columns || options->console.rows) {
        if (!options->console.columns || !options->console.rows)
            return refused(PF_CONSOLE_SIZE);
        if (options->relay || options->relay_utf8 || (options->flags & (PROCFERRY_RELAY | PROCFERRY_GUI_RELAY)))
            return refused(PF_CONSOLE_RELAY);
        for (int stream = 0; stream < 2; ++stream)
            if (options->streams[stream].kind != PROCFERRY_STREAM_INHERIT)
                return refused(PF_CONSOLE_STREAM, PF_TEXT_STREAM, (size_t)stream);
        if (waits)
            return refused(PF_CONSOLE_WAITED);
        if (!pf_console_available())
            return refused(PF_CONSOLE_UNAVAILABLE);
    }
    if (options->extra_fd_count && !options->extra_fds)
        return refused(PF_LIST_WITHOUT_ENTRIES, PF_TEXT_EXTRA_FD);
    if (options->extra_fd_count > PROCFERRY_EXTRA_FD_LIMIT)
        return refused(PF_EXTRA_FDS_TOO_MANY, PF_TEXT_EXTRA_FD, PROCFERRY_EXTRA_FD_LIMIT);
    for (index = 0; index < options->extra_fd_count; ++index) {
        const procferry_stream &extra = options->extra_fds[index];
        if (extra.kind == PROCFERRY_STREAM_PIPE || extra.kind == PROCFERRY_STREAM_STDOUT)
            return refused(PF_EXTRA_FD_KIND, PF_TEXT_EXTRA_FD, index);
        if (!kind_fits(extra.kind, (int)(3 + index)))
            return refused(PF_STREAM_KIND, PF_TEXT_EXTRA_FD, index);
        if (!stream_known(extra, (int)(3 + index)))
            return refused(PF_STREAM_UNKNOWN, PF_TEXT_EXTRA_FD, index);
    }
    return refused(PF_ACCEPTED);
}

pf_refused pf_check_capture(const struct procferry_options *options,
                            const struct procferry_capture_options *capture)
{
    // Options made before drain_ms was there are taken, with its default.
    if (!capture || capture->size < offsetof(procferry_capture_options, drain_ms))
        return refused(PF_CAPTURE_NO_OPTIONS);
    if (capture->input_size && !capture->input)
        return refused(PF_CAPTURE_NO_INPUT);
    const procferry_stream *streams = options->streams;
    if (streams[1].kind != PROCFERRY_STREAM_INHERIT)
        return refused(PF_CAPTURE_STDOUT, PF_TEXT_STREAM, 1);
    if (streams[0].kind == PROCFERRY_STREAM_PIPE)
        return refused(PF_CAPTURE_PIPE, PF_TEXT_STREAM, 0);
    if (streams[2].kind == PROCFERRY_STREAM_PIPE)
        return refused(PF_CAPTURE_PIPE, PF_TEXT_STREAM, 2);
    if (capture->input && streams[0].kind != PROCFERRY_STREAM_INHERIT)
        return refused(PF_CAPTURE_INPUT_AND_STDIN, PF_TEXT_STREAM, 0);
    if (options->flags & PROCFERRY_KILL_ON_CLOSE)
        return refused(PF_CAPTURE_KILL_ON_CLOSE);
    return refused(PF_ACCEPTED);
}
