// Quoting the child's arguments so that the child's runtime splits the joined
// command text back into exactly these arguments.
//
//   abc      ->  abc          a b      ->  "a b"
//   a\"b     ->  a\\\"b       x y\     ->  "x y\\"
//   (empty)  ->  ""           a"b      ->  "a\"b"  (always enclosed)
//
// Backslashes are plain except in a run that ends at a double quote, where
// each stands for two; so such a run is doubled and the quote gets one more.
// A run at the end of a quoted argument ends at the closing quote and is
// doubled too. Argument zero is split by other rules: it ends at the next
// quote and takes backslashes as they are, so a path (which holds no quote)
// is only enclosed.
//
// Running a batch file through the command interpreter so that it runs only
// that script and its %* hands each argument on exactly. The interpreter
// reads the text after /c twice: once as a command line, once more as the
// script's line after %* is substituted. So:
//   - the text after /c is "\"<script>\" <arg> <arg>...", all in one pair of
//     outer quotes, which the interpreter strips;
//   - an argument with anything but letters, digits and # $ * + - . / : ? @ \ _
//     is quoted, so that & | < > ^ ( ) , ; = ! and blanks stay literal; a " in
//     it is written "" (the child's runtime reads "" inside quotes as one "),
//     with the backslashes before it doubled, and so is a trailing backslash
//     run, which would otherwise escape the closing quote;
//   - each % is written %%cd:~,%%%cd:~,%: the first reading makes it %%, the
//     second %; a % in the script path, read once, is written %%cd:~,%;
//   - CR and LF end a command for the interpreter and are refused, as are a
//     script path with a quote or ending in a backslash.
// The interpreter runs nothing of a text longer than its limit (or crashes),
// saying nothing; such a text is refused, with room left below the limit for
// the script's own line, which %* is substituted into.
#include <errno.h>

#include "quote.h"
#include "text_writer.h"

static const size_t INTERPRETER_TEXT_LIMIT = 8191;
static const size_t SCRIPT_LINE_ROOM = 512;
static const wchar_t PERCENT_IN_ARGUMENT[] = L"%%cd:~,%%%cd:~,%";
static const wchar_t PERCENT_IN_SCRIPT[] = L"%%cd:~,%";

const wchar_t *const pf_interpreter_switches[PF_INTERPRETER_SWITCH_COUNT] = {L"/d", L"/e:ON",
                                                                             L"/v:OFF", L"/c"};

static bool needs_enclosing_quotes(const wchar_t *argument)
{
    if (argument[0] == L'\0')
        return true; // an empty argument must still be one argument
    for (const wchar_t *unit = argument; *unit; ++unit)
        if (*unit == L' ' || *unit == L'\t')
            return true;
    return false;
}

size_t pf_quote_argument(const wchar_t *argument, enum pf_quote_mode mode, wchar_t *out,
                         size_t capacity)
{
    struct text_writer writer = {out, capacity, 0};
    bool quoted = mode != PF_QUOTE_WHEN_NEEDED || needs_enclosing_quotes(argument);
    if (quoted)
        put_units(&writer, L'"', 1);
    if (mode == PF_QUOTE_PROGRAM_NAME) {
        put_text(&writer, argument);
    } else {
        size_t backslashes = 0;
        for (const wchar_t *unit = argument; *unit; ++unit) {
            if (*unit == L'\\') {
                ++backslashes;
                continue;
            }
            put_units(&writer, L'\\', *unit == L'"' ? 2 * backslashes + 1 : backslashes);
            put_units(&writer, *unit, 1);
            backslashes = 0;
        }
        put_units(&writer, L'\\', quoted ? 2 * backslashes : backslashes);
    }
    if (quoted)
        put_units(&writer, L'"', 1);
    return finish_text(&writer);
}

static bool is_plain_for_interpreter(wchar_t unit)
{
    if ((unit >= L'a' && unit <= L'z') || (unit >= L'A' && unit <= L'Z') ||
        (unit >= L'0' && unit <= L'9'))
        return true;
    for (const wchar_t *plain = L"#$*+-./:?@\\_"; *plain; ++plain)
        if (unit == *plain)
            return true;
    return false;
}

static bool ends_a_command(wchar_t unit)
{
    return unit == L'\r' || unit == L'\n';
}

static void put_batch_argument(struct text_writer *writer, const wchar_t *argument)
{
    bool quoted = argument[0] == L'\0';
    const wchar_t *unit = argument;
    for (; *unit; ++unit)
        quoted = quoted || !is_plain_for_interpreter(*unit);
    quoted = quoted || unit[-1] == L'\\';
    if (quoted)
        put_units(writer, L'"', 1);
    size_t backslashes = 0;
    for (unit = argument; *unit; ++unit) {
        if (*unit == L'\\') {
            ++backslashes;
            continue;
        }
        if (*unit == L'"') {
            put_units(writer, L'\\', 2 * backslashes);
            put_text(writer, L"\"\"");
        } else {
            put_units(writer, L'\\', backslashes);
            if (*unit == L'%')
                put_text(writer, PERCENT_IN_ARGUMENT);
            else
                put_units(writer, *unit, 1);
        }
        backslashes = 0;
    }
    put_units(writer, L'\\', quoted ? 2 * backslashes : backslashes);
    if (quoted)
        put_units(writer, L'"', 1);
}

static bool batch_script_allowed(const wchar_t *script)
{
    const wchar_t *unit = script;
    for (; *unit; ++unit)
        if (*unit == L'"' || ends_a_command(*unit))
            return false;
    return unit > script && unit[-1] != L'\\';
}

int pf_batch_command_text(const wchar_t *script, const wchar_t *const *args, wchar_t *out,
                          size_t capacity, size_t *length)
{
    if (!batch_script_allowed(script))
        return EINVAL;
    for (int i = 0; args[i]; ++i)
        for (const wchar_t *unit = args[i]; *unit; ++unit)
            if (ends_a_command(*unit))
                return EINVAL;
    struct text_writer writer = {out, capacity, 0};
    put_text(&writer, L"\"\"");
    for (const wchar_t *unit = script; *unit; ++unit)
        if (*unit == L'%')
            put_text(&writer, PERCENT_IN_SCRIPT);
        else
            put_units(&writer, *unit, 1);
    put_units(&writer, L'"', 1);
    for (int i = 0; args[i]; ++i) {
        put_units(&writer, L' ', 1);
        put_batch_argument(&writer, args[i]);
    }
    put_units(&writer, L'"', 1);
    *length = finish_text(&writer);
    return *length > INTERPRETER_TEXT_LIMIT - SCRIPT_LINE_ROOM ? E2BIG : 0;
}

void pf_batch_argv(const wchar_t *quoted_interpreter, const wchar_t *text, const wchar_t **argv)
{
    argv[0] = quoted_interpreter;
    for (int i = 0; i < PF_INTERPRETER_SWITCH_COUNT; ++i)
        argv[1 + i] = pf_interpreter_switches[i];
    argv[PF_INTERPRETER_SWITCH_COUNT + 1] = text;
    argv[PF_BATCH_ARGV_COUNT] = 0;
}

size_t pf_join_entries(const wchar_t *const *entries, wchar_t *out, size_t capacity)
{
    struct text_writer writer = {out, capacity, 0};
    for (int i = 0; entries[i]; ++i) {
        if (i > 0)
            put_units(&writer, L' ', 1);
        put_text(&writer, entries[i]);
    }
    return finish_text(&writer);
}
