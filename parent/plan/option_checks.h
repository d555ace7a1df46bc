// Why a start's options are refused before anything starts: one check,
// which the start obeys and the words tell.
#ifndef PROCFERRY_OPTION_CHECKS_H
#define PROCFERRY_OPTION_CHECKS_H

#include <stddef.h>

#include "procferry/parent.h"

enum pf_refusal {
    PF_ACCEPTED = 0,
    PF_NO_OPTIONS,        // NULL, or a size from before these options
    PF_BOTH_FORMS,        // a text given in UTF-16 and in UTF-8
    PF_NOT_UTF8,          // a UTF-8 text that is not UTF-8
    PF_NO_PROGRAM,
    PF_LIST_WITHOUT_ENTRIES, // a count without its list, or a NULL entry in it
    PF_NO_ARGV0,          // PROCFERRY_ARGV0 without an argument
    PF_ENV_NO_NAME,       // an entry whose name is empty or '=' alone
    PF_ENV_TOO_LONG,      // a value past the system's bound (E2BIG)
    PF_STREAM_UNKNOWN,    // a stream the caller does not have, or that is no file, pipe or device
    PF_STREAM_KIND,       // a kind this number does not take (NONE on a standard stream, an unknown kind)
    PF_PIPE_WAITED,       // a pipe stream on a start that waits
    PF_KILL_ON_CLOSE_WAITED, // PROCFERRY_KILL_ON_CLOSE on a start that waits
    PF_EXTRA_FD_KIND,      // an extra descriptor of a kind for standard streams only
    PF_EXTRA_FDS_TOO_MANY, // past PROCFERRY_EXTRA_FD_LIMIT
    // A capture's own:
    PF_CAPTURE_NO_OPTIONS,   // no capture options, or a size from before them
    PF_CAPTURE_NO_INPUT,     // an input size without the input
    PF_CAPTURE_STDOUT,       // stdout chosen: a capture keeps it
    PF_CAPTURE_PIPE,         // a pipe of the library's
    PF_CAPTURE_INPUT_AND_STDIN, // input bytes and a stdin choice
    PF_CAPTURE_KILL_ON_CLOSE, // PROCFERRY_KILL_ON_CLOSE: a capture has no close
    // Counted texts' own (procferry_texts):
    PF_TEXTS_TWICE,          // texts counted and in the options as well
    PF_MISSING_TEXT,         // no text where one is needed (a null pointer)
    PF_HOLDS_ZERO,           // a zero inside a text
    PF_ENV_NAME_OTHERWISE,   // a name the library would read otherwise
    PF_ENV_VALUE_ZERO,       // a zero inside a value
    PF_ENV_NO_VALUE,         // a set without a value
    // A console start's (options.console):
    PF_CONSOLE_SIZE,         // columns or rows of 0
    PF_CONSOLE_RELAY,        // through the relay
    PF_CONSOLE_STREAM,       // stdin or stdout chosen: they are the console's
    PF_CONSOLE_WAITED,       // on a start that waits
    PF_CONSOLE_UNAVAILABLE   // the system has no pseudo consoles
};

// Which text or stream it is about.
enum pf_refused_text { PF_TEXT_NONE, PF_TEXT_RELAY, PF_TEXT_PROGRAM, PF_TEXT_DIR, PF_TEXT_ARG,
                       PF_TEXT_ENV, PF_TEXT_STREAM, PF_TEXT_EXTRA_FD };

struct pf_refused {
    enum pf_refusal why;
    enum pf_refused_text what;
    size_t index; // of the argument, environment entry, stream or extra descriptor
};

// The first refusal the options meet, in the order the start meets them.
// waits: the start waits for the child (procferry_start without
// PROCFERRY_NO_WAIT), where pipes and PROCFERRY_KILL_ON_CLOSE do not apply.
struct pf_refused pf_check_options(const struct procferry_options *options, int waits);
// The first refusal a capture's own choices meet, once the options passed.
struct pf_refused pf_check_capture(const struct procferry_options *options,
                                   const struct procferry_capture_options *capture);

// The first refusal counted texts meet, in the order of the options' own
// checks (relay, program, directory, arguments, environment; in each text,
// not UTF-8 before a zero); PF_ACCEPTED when each converts as given.
struct pf_refused pf_check_texts(const struct procferry_options *options,
                                 const struct procferry_texts *texts);

#endif
