// The words for a start's outcome: one line a person can act on. A failure
// names what should have run, what went wrong, the errno's name and words,
// and, where there is one, the next step (the files named in words.h tell
// each kind).
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <windows.h>

#include "option_checks.h"
#include "parent_internal.h"
#include "procferry/parent.h"
#include "words.h"

// A relay that cannot load a library it imports ends with this status
// before it runs a line of its own.
static const uint32_t STATUS_DLL_NOT_FOUND_CODE = 0xC0000135u;

namespace {

using namespace pf_words;

// Between the program and why its start was refused.
const char REFUSED[] = ": the start was refused: ";

// Whether the words a result keeps are whole: cut ones end within a
// character's length of the room.
bool kept_whole(const struct procferry_result *result)
{
    size_t kept = strnlen(result->words, sizeof result->words);
    return kept > 0 && kept + 4 < sizeof result->words;
}

void describe(line &words, const struct procferry_options *options,
              const struct procferry_result *result, const pf_refused *given)
{
    // Options of another size are not read: only their size is known.
    if (options && options->size < sizeof *options)
        options = nullptr;
    // A refusal's words name no option of the caller's and need no terms,
    // and only the call that refused knows its own checks (a capture's):
    // they are the words the result kept.
    if (!given && result && result->kind == PROCFERRY_INVALID_ARGUMENT && kept_whole(result)) {
        put(&words, result->words);
        return;
    }
    text program = {options ? options->program : nullptr,
                    options ? options->program_utf8 : nullptr};
    text dir = {options ? options->dir : nullptr, options ? options->dir_utf8 : nullptr};
    text relay = {options ? options->relay : nullptr, options ? options->relay_utf8 : nullptr};
    if (!program.given())
        program.utf8 = "(no program)";
    wchar_t name[PROBE_PATH_UNITS];
    bool named = wide_form(program, name, PROBE_PATH_UNITS);
    bool search_path = options && pf_searches(options->flags);
    // What the start found out is told; nothing is looked at again.
    words.found = result ? &result->findings : nullptr;
    uint32_t timeout_ms = options ? options->timeout_ms : PROCFERRY_INFINITE;

    switch (result ? result->kind : 0) {
    case PROCFERRY_EXITED:
        put_text(&words, program);
        // A child the library ended never reads as one that exited by itself.
        switch (result->ended_by) {
        case PROCFERRY_ENDED_ON_KILL:
            put(&words, " was ended, with everything it started, when killed (status ");
            break;
        case PROCFERRY_ENDED_ON_STOP:
            put(&words, " was stopped, and ended (status ");
            break;
        case PROCFERRY_ENDED_WITH_PIPELINE:
            put(&words, " was ended because another command of its pipeline failed (status ");
            break;
        default:
            put(&words, " exited with status ");
        }
        put_status(&words, result->exit_status);
        if (result->ended_by >= PROCFERRY_ENDED_ON_KILL && result->ended_by <= PROCFERRY_ENDED_WITH_PIPELINE)
            put(&words, ")");
        break;
    case PROCFERRY_STARTED:
        put_text(&words, program);
        put_number(&words, " started as process %lld", result->pid);
        break;
    case PROCFERRY_DIR_FAILED:
        directory_failed(&words, program, dir, result->error);
        break;
    case PROCFERRY_LAUNCH_FAILED:
        if (result->error == ENOENT)
            not_found(&words, program, named ? name : nullptr, dir, search_path);
        else
            cannot_run(&words, options, program, named ? name : nullptr, result->error);
        break;
    case PROCFERRY_INVALID_ARGUMENT: {
        pf_refused refusal =
            given ? *given
                  : pf_check_options(options, !(options && (options->flags & PROCFERRY_NO_WAIT)));
        put_text(&words, program);
        if (result->error == E2BIG && refusal.why == PF_ENV_TOO_LONG) {
            put(&words, REFUSED);
            put_refusal(&words, options, refusal);
            put_errno(&words, E2BIG);
        } else if (result->error == E2BIG) {
            put(&words, ": the command line is too long: ");
            put_errno(&words, E2BIG);
            put_number(&words, "; the platform takes %lld characters at most",
                       RELAY_COMMAND_TEXT_LIMIT - 1);
        } else {
            put(&words, REFUSED);
            put_refusal(&words, options, refusal);
            put_errno(&words, result->error);
        }
        break;
    }
    case PROCFERRY_RELAY_MISSING:
        relay_missing(&words, result, program, relay);
        break;
    case PROCFERRY_RELAY_CRASHED:
        if (result->relay.exit_status == STATUS_DLL_NOT_FOUND_CODE) {
            missing_base_library(&words, result, program, relay);
            break;
        }
        put_relay(&words, result, relay);
        put(&words, " ended without a report (exit status ");
        put_status(&words, result->relay.exit_status);
        put(&words, ") while starting ");
        put_text(&words, program);
        break;
    case PROCFERRY_CHECK_REPORT:
        check_report(&words, result, relay);
        break;
    case PROCFERRY_TIMED_OUT:
        // A pid says the child was launched, through the relay or directly.
        if (result->pid != 0) {
            put_text(&words, program);
            put(&words, " still ran after ");
            put_duration(&words, timeout_ms);
            put(&words, "; ended it and everything it started");
        } else {
            put_relay(&words, result, relay);
            put(&words, " did not report within ");
            put_duration(&words, timeout_ms);
            put(&words, "; ended it and everything it started, ");
            put_text(&words, program);
            put(&words, " included");
        }
        break;
    case PROCFERRY_CANCELLED:
        put_text(&words, program);
        if (result->pid != 0)
            put_number(&words, ": cancelled while it ran, as process %lld", result->pid);
        else if (result->ended_by == PROCFERRY_ENDED_ON_CANCEL)
            put(&words, ": cancelled while it was being started");
        else
            put(&words, ": cancelled before it started");
        if (result->ended_by == PROCFERRY_ENDED_ON_CANCEL)
            put(&words, "; ended it and everything it started");
        else if (result->ended_by == PROCFERRY_LEFT_RUNNING)
            put(&words, "; left it running, as asked");
        break;
    case PROCFERRY_BAD_RECORD:
        bad_record(&words, result, relay);
        break;
    case PROCFERRY_SYSTEM_ERROR:
        put(&words, "cannot start ");
        put_text(&words, program);
        if (default_relay_unkept(&words, result, relay))
            break;
        put_number(&words, ": a pipe, handle, job or event could not be made (Windows error %lld)",
                   result->win32_error);
        break;
    default:
        put_text(&words, program);
        put_number(&words, ": an outcome of unknown kind %lld", result ? result->kind : 0);
    }
}

// The library's own terms, and the caller's where it gives them.
procferry_terms terms_or_own(const procferry_terms *given)
{
    procferry_terms terms = {sizeof terms, "start without PROCFERRY_NO_SEARCH_PATH", "the program",
                             "in the options", "among the environment changes", "program",
                             nullptr};
    if (!given)
        return terms;
    // Each term the caller's struct holds and names; a size of 0 (terms
    // zeroed and filled in) holds the terms there were when size came.
    size_t known = given->size ? given->size : sizeof *given;
#define TERM(field)                                                                      \
    if (known >= offsetof(procferry_terms, field) + sizeof given->field && given->field) \
        terms.field = given->field;
    TERM(search_on)
    TERM(relays_home)
    TERM(relay_option)
    TERM(env_option)
    TERM(program)
    TERM(dir_option)
#undef TERM
    return terms;
}

size_t finish(line &words)
{
    if (words.capacity)
        words.out[words.length < words.capacity ? words.length : words.capacity - 1] = 0;
    return words.length;
}

} // namespace

size_t procferry_describe_in_terms(const struct procferry_options *options,
                                   const struct procferry_result *result,
                                   const struct procferry_terms *terms, char *out, size_t capacity)
{
    procferry_terms chosen = terms_or_own(terms);
    line words = {out, out ? capacity : 0, 0, &chosen};
    describe(words, options, result, nullptr);
    return finish(words);
}

size_t procferry_describe(const struct procferry_options *options,
                          const struct procferry_result *result, char *out, size_t capacity)
{
    // Without the options, the words the start itself kept.
    if (!options && result && result->words[0]) {
        line words = {out, out ? capacity : 0, 0, nullptr};
        put(&words, result->words, strnlen(result->words, sizeof result->words));
        return finish(words);
    }
    return procferry_describe_in_terms(options, result, nullptr, out, capacity);
}

void pf_keep_words(const struct procferry_options *options, struct procferry_result *result,
                   const pf_refused *refusal)
{
    procferry_terms own = terms_or_own(nullptr);
    line words = {result->words, sizeof result->words, 0, &own};
    describe(words, options, result, refusal);
    size_t length = finish(words);
    if (length < sizeof result->words)
        return;
    // Cut: drop a character the cut split, so that the words stay UTF-8.
    size_t kept = sizeof result->words - 1, lead = kept;
    while (lead > 0 && ((unsigned char)result->words[lead - 1] & 0xC0) == 0x80)
        --lead;
    if (lead > 0 && (unsigned char)result->words[lead - 1] >= 0xC0) {
        unsigned char first = (unsigned char)result->words[lead - 1];
        size_t size = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
        if (lead - 1 + size > kept)
            result->words[lead - 1] = 0;
    }
}

size_t procferry_describe_refusal(const char *program, const char *why, char *out, size_t capacity)
{
    line words = {out, out ? capacity : 0, 0, nullptr};
    put(&words, program && *program ? program : "(no program)");
    put(&words, REFUSED);
    put(&words, why ? why : "");
    put(&words, ": ");
    put_errno(&words, EINVAL);
    return finish(words);
}
