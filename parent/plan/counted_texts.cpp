// Texts given with their lengths (procferry_texts): refused with words
// where the library would read them otherwise than given, else made into
// the options' own zero-ended UTF-16 texts for the call they stand for.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "option_checks.h"
#include "parent_internal.h"

namespace {

bool no_text(const procferry_text &text)
{
    return !text.wide && !text.utf8;
}

// The UTF-16 units a text takes, without a zero; -1 when it is not UTF-8.
long long wide_units(const procferry_text &text)
{
    if (text.wide || text.length == 0)
        return text.wide ? (long long)text.length : 0;
    if (text.length > INT_MAX || !pf_strict_utf8(text.utf8, text.length))
        return -1;
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.utf8, (int)text.length, nullptr, 0);
    return units > 0 ? units : -1;
}

// The unit at i, as a number, whichever form the text is in.
unsigned unit_at(const procferry_text &text, size_t i)
{
    return text.wide ? (unsigned)text.wide[i] : (unsigned char)text.utf8[i];
}

bool text_holds_zero(const procferry_text &text)
{
    for (size_t i = 0; i < text.length; ++i)
        if (unit_at(text, i) == 0)
            return true;
    return false;
}

// A text that must be there, or may be no_text (optional).
pf_refusal text_refusal(const procferry_text &text, bool optional)
{
    if (text.wide && text.utf8)
        return PF_BOTH_FORMS;
    if (no_text(text))
        return optional && text.length == 0 ? PF_ACCEPTED : PF_MISSING_TEXT;
    if (wide_units(text) < 0)
        return PF_NOT_UTF8;
    return text_holds_zero(text) ? PF_HOLDS_ZERO : PF_ACCEPTED;
}

// An environment name ends at the first '=' past its first unit, and "="
// alone is none.
bool name_read_as_given(const procferry_text &name)
{
    if (name.length == 0 || (name.length == 1 && unit_at(name, 0) == '='))
        return false;
    for (size_t i = 0; i < name.length; ++i)
        if (unit_at(name, i) == 0 || (i > 0 && unit_at(name, i) == '='))
            return false;
    return true;
}

pf_refusal change_refusal(const procferry_env_change &change)
{
    pf_refusal why = text_refusal(change.name, false);
    if (why == PF_HOLDS_ZERO || (why == PF_ACCEPTED && !name_read_as_given(change.name)))
        return PF_ENV_NAME_OTHERWISE;
    if (why != PF_ACCEPTED || change.unset)
        return why;
    why = text_refusal(change.value, false);
    return why == PF_MISSING_TEXT ? PF_ENV_NO_VALUE : why == PF_HOLDS_ZERO ? PF_ENV_VALUE_ZERO : why;
}

pf_refused texts_refused(pf_refusal why, pf_refused_text what = PF_TEXT_NONE, size_t index = 0)
{
    return {why, what, index};
}

bool texts_in_options(const procferry_options &options)
{
    return options.relay || options.relay_utf8 || options.program || options.program_utf8 || options.dir ||
           options.dir_utf8 || options.args || options.args_utf8 || options.arg_count || options.env ||
           options.env_utf8 || options.env_count;
}

// Writes text as UTF-16 with a zero after it; returns the unit past the zero.
wchar_t *put_counted(const procferry_text &text, wchar_t *at)
{
    if (text.wide) {
        wmemcpy(at, text.wide, text.length);
        at += text.length;
    } else if (text.length) {
        int units = (int)wide_units(text);
        at += MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.utf8, (int)text.length, at, units);
    }
    *at = 0;
    return at + 1;
}

// The options with the texts in them, over one block from malloc.
struct made_options {
    procferry_options options;
    void *block;
};

bool make_options(const procferry_options &given, const procferry_texts &texts, made_options *out)
{
    size_t units = 0;
    auto count = [&](const procferry_text &text) { units += (size_t)wide_units(text) + 1; };
    count(texts.relay);
    count(texts.program);
    count(texts.dir);
    for (size_t i = 0; i < texts.arg_count; ++i)
        count(texts.args[i]);
    for (size_t i = 0; i < texts.env_count; ++i) {
        count(texts.env[i].name);
        if (!texts.env[i].unset)
            count(texts.env[i].value); // its '=' takes the name's zero
    }
    size_t pointers = texts.arg_count + texts.env_count;
    if (pointers > SIZE_MAX / 4 / sizeof(wchar_t *) || units > SIZE_MAX / 4 / sizeof(wchar_t))
        return false;
    out->block = malloc(pointers * sizeof(wchar_t *) + units * sizeof(wchar_t) + 1);
    if (!out->block)
        return false;
    const wchar_t **lists = (const wchar_t **)out->block;
    wchar_t *at = (wchar_t *)(lists + pointers);
    out->options = given;
    procferry_options &o = out->options;
    o.relay = no_text(texts.relay) ? nullptr : at;
    at = put_counted(texts.relay, at);
    o.program = at;
    at = put_counted(texts.program, at);
    o.dir = no_text(texts.dir) ? nullptr : at;
    at = put_counted(texts.dir, at);
    o.args = lists;
    o.arg_count = texts.arg_count;
    for (size_t i = 0; i < texts.arg_count; ++i) {
        lists[i] = at;
        at = put_counted(texts.args[i], at);
    }
    o.env = lists + texts.arg_count;
    o.env_count = texts.env_count;
    for (size_t i = 0; i < texts.env_count; ++i) {
        lists[texts.arg_count + i] = at;
        at = put_counted(texts.env[i].name, at);
        if (!texts.env[i].unset) {
            at[-1] = L'=';
            at = put_counted(texts.env[i].value, at);
        }
    }
    return true;
}

// The program as the words of a refusal name it: a zero shows as "\0", and
// a name that is not UTF-8 stays so, which the words say.
struct shown_program {
    wchar_t *wide;
    char *utf8;
};

shown_program show_program(const procferry_text &program)
{
    shown_program out = {nullptr, nullptr};
    if (no_text(program) || (program.wide && program.utf8))
        return out;
    if (program.utf8 && wide_units(program) < 0) {
        if ((out.utf8 = (char *)malloc(program.length + 1))) {
            for (size_t i = 0; i < program.length; ++i)
                out.utf8[i] = program.utf8[i] ? program.utf8[i] : '\xff';
            out.utf8[program.length] = 0;
        }
        return out;
    }
    size_t units = (size_t)wide_units(program);
    wchar_t *plain = (wchar_t *)malloc((units + 1) * sizeof(wchar_t));
    out.wide = plain ? (wchar_t *)malloc((2 * units + 1) * sizeof(wchar_t)) : nullptr;
    if (out.wide) {
        put_counted(program, plain);
        size_t n = 0;
        for (size_t i = 0; i < units; ++i) {
            if (plain[i] == 0)
                out.wide[n++] = L'\\', out.wide[n++] = L'0';
            else
                out.wide[n++] = plain[i];
        }
        out.wide[n] = 0;
    }
    free(plain);
    return out;
}

// A refused call's result: the kind, the errno and the words.
void refuse_texts(const procferry_options *options, const procferry_texts *texts, const pf_refused &refusal,
            procferry_result *result)
{
    memset(result, 0, sizeof *result);
    pf_finish(result, PROCFERRY_INVALID_ARGUMENT, EINVAL);
    procferry_options told;
    procferry_options_init(&told);
    if (options && options->size >= sizeof *options)
        told.flags = options->flags;
    shown_program program = {nullptr, nullptr};
    if (texts && texts->size >= sizeof *texts && refusal.why != PF_TEXTS_TWICE)
        program = show_program(texts->program);
    told.program = program.wide;
    told.program_utf8 = program.utf8;
    pf_keep_words(refusal.why == PF_NO_OPTIONS ? nullptr : &told, result, &refusal);
    free(program.wide);
    free(program.utf8);
}

// The options with the texts in them, or why not (with *result filled).
bool take_texts(const procferry_options *options, const procferry_texts *texts, made_options *out,
                procferry_result *result)
{
    pf_refused refusal = pf_check_texts(options, texts);
    if (refusal.why != PF_ACCEPTED) {
        refuse_texts(options, texts, refusal, result);
        return false;
    }
    if (!make_options(*options, *texts, out)) {
        memset(result, 0, sizeof *result);
        pf_finish(result, PROCFERRY_SYSTEM_ERROR);
        result->win32_error = ERROR_NOT_ENOUGH_MEMORY;
        pf_keep_words(options, result);
        return false;
    }
    return true;
}

} // namespace

pf_refused pf_check_texts(const struct procferry_options *options, const struct procferry_texts *texts)
{
    if (!options || options->size < sizeof *options || !texts || texts->size < sizeof *texts)
        return texts_refused(PF_NO_OPTIONS);
    if (texts_in_options(*options))
        return texts_refused(PF_TEXTS_TWICE);
    pf_refusal why;
    if ((why = text_refusal(texts->relay, true)))
        return texts_refused(why, PF_TEXT_RELAY);
    if ((why = text_refusal(texts->program, false)))
        return texts_refused(why == PF_MISSING_TEXT ? PF_NO_PROGRAM : why, PF_TEXT_PROGRAM);
    if ((why = text_refusal(texts->dir, true)))
        return texts_refused(why, PF_TEXT_DIR);
    if (texts->arg_count && !texts->args)
        return texts_refused(PF_LIST_WITHOUT_ENTRIES, PF_TEXT_ARG);
    for (size_t i = 0; i < texts->arg_count; ++i)
        if ((why = text_refusal(texts->args[i], false)))
            return texts_refused(why, PF_TEXT_ARG, i);
    if ((options->flags & PROCFERRY_ARGV0) && texts->arg_count == 0)
        return texts_refused(PF_NO_ARGV0, PF_TEXT_ARG);
    if (texts->env_count && !texts->env)
        return texts_refused(PF_LIST_WITHOUT_ENTRIES, PF_TEXT_ENV);
    for (size_t i = 0; i < texts->env_count; ++i)
        if ((why = change_refusal(texts->env[i])))
            return texts_refused(why, PF_TEXT_ENV, i);
    return texts_refused(PF_ACCEPTED);
}

int procferry_start_texts(const struct procferry_options *options, const struct procferry_texts *texts,
                          const struct procferry_cancel *cancel, struct procferry_result *result)
{
    if (!result)
        return PROCFERRY_INVALID_ARGUMENT;
    made_options with;
    if (!take_texts(options, texts, &with, result))
        return result->kind;
    int kind = procferry_start_cancellable(&with.options, cancel, result);
    free(with.block);
    return kind;
}

int procferry_capture_texts(const struct procferry_options *options, const struct procferry_texts *texts,
                            const struct procferry_capture_options *capture,
                            struct procferry_capture_result *result)
{
    if (!result)
        return PROCFERRY_INVALID_ARGUMENT;
    made_options with;
    if (!take_texts(options, texts, &with, &result->result)) {
        result->out = result->err = nullptr;
        result->out_size = result->err_size = 0;
        result->out_capped = result->err_capped = 0;
        return result->result.kind;
    }
    int kind = procferry_capture(&with.options, capture, result);
    free(with.block);
    return kind;
}

int procferry_capture_check_texts(const struct procferry_options *options,
                                  const struct procferry_texts *texts,
                                  const struct procferry_capture_options *capture,
                                  struct procferry_result *result)
{
    if (!result)
        return PROCFERRY_INVALID_ARGUMENT;
    made_options with;
    if (!take_texts(options, texts, &with, result))
        return result->kind;
    int kind = procferry_capture_check(&with.options, capture, result);
    free(with.block);
    return kind;
}
