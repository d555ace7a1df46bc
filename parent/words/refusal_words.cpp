// The words for options a start refused, naming the text, stream or
// descriptor at fault.
#include "parent_internal.h"
#include "words.h"

namespace pf_words {

// The stream or extra descriptor a refusal is about, when it is one the
// options hold.
const procferry_stream *refused_stream(const struct procferry_options *options,
                                       const pf_refused &refusal)
{
    if (!options)
        return nullptr;
    if (refusal.what == PF_TEXT_STREAM && refusal.index < 3)
        return &options->streams[refusal.index];
    if (refusal.what == PF_TEXT_EXTRA_FD && options->extra_fds &&
        refusal.index < options->extra_fd_count)
        return &options->extra_fds[refusal.index];
    return nullptr;
}

// What the start's own checks found wrong with the options, naming the
// text: which argument, which environment entry, which stream.
void put_refusal(line *words, const struct procferry_options *options, const pf_refused &refusal)
{
    static const char *const texts[] = {"", "the relay's path", "the program's name",
                                        "the directory", "argument", "environment entry", "stream"};
    static const char *const streams[] = {"stdin", "stdout", "stderr"};
    // The child's own numbering: argument 1 is the first after argument
    // zero, unless the arguments begin with argument zero.
    size_t number = refusal.index +
                    (refusal.what == PF_TEXT_ARG && options && !(options->flags & PROCFERRY_ARGV0) ? 1 : 0) +
                    (refusal.what == PF_TEXT_ENV ? 1 : 0);
    if (refusal.what == PF_TEXT_ARG || refusal.what == PF_TEXT_ENV) {
        put(words, texts[refusal.what]);
        put_number(words, " %lld", (long long)number);
    } else if (refusal.what == PF_TEXT_STREAM) {
        put(words, streams[refusal.index]);
    } else if (refusal.what == PF_TEXT_EXTRA_FD) {
        if (refusal.why == PF_STREAM_UNKNOWN || refusal.why == PF_EXTRA_FD_KIND ||
            refusal.why == PF_STREAM_KIND) {
            put_number(words, "descriptor %lld", (long long)(3 + refusal.index));
            // The child's number, and the caller's own when it is another.
            const procferry_stream *extra = refused_stream(options, refusal);
            if (refusal.why == PF_STREAM_UNKNOWN && extra && extra->kind == PROCFERRY_STREAM_FD &&
                extra->fd != (int)(3 + refusal.index))
                put_number(words, " (the caller's descriptor %lld)", extra->fd);
        } else {
            put(words, "the list of extra descriptors");
        }
    } else if (refusal.what != PF_TEXT_NONE) {
        put(words, texts[refusal.what]);
    }
    // By refusal, in the order of enum pf_refusal.
    static const char *const phrases[] = {
        "check the options (streams, extra descriptors, environment entries, UTF-8 texts)",
        "check the options (streams, extra descriptors, environment entries, UTF-8 texts)",
        " is given both in UTF-16 and in UTF-8; give one",
        " is not UTF-8 (stray bytes, an encoded surrogate or an overlong form); it is refused "
        "rather than changed",
        " is missing",
        " is missing (NULL, or a count without its list)",
        "s hold no argument zero, which PROCFERRY_ARGV0 promises",
        " has no name",
        " holds a value past %lld characters, which the child would get cut",
        " names no file, pipe or device the caller has open",
        " is of kind %lld, which it does not take (PROCFERRY_STREAM_NONE is for descriptors from "
        "3 up, PROCFERRY_STREAM_STDOUT for stderr alone)",
        " is a pipe, which only a start that returns once the child runs hands over in time "
        "(PROCFERRY_NO_WAIT; in C++, procferry::start)",
        "PROCFERRY_KILL_ON_CLOSE applies only to a start that returns once the child runs "
        "(PROCFERRY_NO_WAIT; in C++, procferry::start)",
        " asks for a pipe of the library's or for stdout, which only standard streams take; "
        "hand it an end of procferry_pipe_make",
        " holds more than %lld, the most a child's runtime keeps with the relay's channels",
        "the capture's options are missing (NULL, or a size from before them)",
        "the capture's input is missing (NULL with a size)",
        " is chosen, but a capture keeps stdout itself",
        " is a pipe of the library's, which a capture does not hand over",
        " is chosen as well as input bytes; give one",
        "PROCFERRY_KILL_ON_CLOSE applies only to a start that returns once the child runs "
        "(PROCFERRY_NO_WAIT; in C++, procferry::start); a capture has no close",
        "the texts are given both counted and in the options; give them once",
        " is a null pointer",
        " holds a zero, where the system would end it",
        " has a name the library would read otherwise (empty, \"=\" alone, an \"=\" past its "
        "first character, or a zero)",
        " holds a zero in its value, where the system would end it",
        " has a null pointer as its value (an unset removes a variable)",
        "the console's size needs both columns and rows",
        "a pseudo console is given by a direct start only: the relay's runtime cannot hand one "
        "on; leave out the relay",
        " is the console's in a console start; leave it to the console (PROCFERRY_STREAM_INHERIT)",
        "a console start hands over its console's ends: only a start that returns once the child "
        "runs (PROCFERRY_NO_WAIT; in C++, procferry::start) or a capture takes one",
        "this system has no pseudo consoles (CreatePseudoConsole): a console start needs "
        "Windows 10 version 1809 or later"};
    static_assert(sizeof phrases / sizeof phrases[0] == PF_CONSOLE_UNAVAILABLE + 1, "a phrase each");
    if (refusal.why == PF_ENV_TOO_LONG)
        put_number(words, phrases[refusal.why], ENV_VALUE_LIMIT - 1);
    else if (refusal.why == PF_STREAM_KIND && refused_stream(options, refusal))
        put_number(words, phrases[refusal.why], refused_stream(options, refusal)->kind);
    else if (refusal.why == PF_EXTRA_FDS_TOO_MANY)
        put_number(words, phrases[refusal.why], PROCFERRY_EXTRA_FD_LIMIT);
    else
        put(words, phrases[refusal.why]);
    put(words, ": ");
}

} // namespace pf_words
