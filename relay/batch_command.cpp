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

#include "relay_internal.h"
#include "runtime.h"

static const long INTERPRETER_TEXT_LIMIT = 8191;
static const long SCRIPT_LINE_ROOM = 512;
static const wchar_t PERCENT_IN_ARGUMENT[] = L"%%cd:~,%%%cd:~,%";
static const wchar_t PERCENT_IN_SCRIPT[] = L"%%cd:~,%";
static const wchar_t *const INTERPRETER_SWITCHES[] = {L"/d", L"/e:ON", L"/v:OFF", L"/c"};
static const int SWITCH_COUNT = 4;

static bool is_plain(wchar_t unit)
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

// Writes text at out[at] when out is not null; returns the position after it.
static long put(wchar_t *out, long at, const wchar_t *text)
{
    for (; *text; ++text, ++at)
        if (out)
            out[at] = *text;
    return at;
}

static long put_unit(wchar_t *out, long at, wchar_t unit, long copies)
{
    for (long i = 0; i < copies; ++i, ++at)
        if (out)
            out[at] = unit;
    return at;
}

static long put_argument(wchar_t *out, long at, const wchar_t *argument)
{
    bool quoted = argument[0] == L'\0';
    const wchar_t *unit = argument;
    for (; *unit; ++unit)
        quoted = quoted || !is_plain(*unit);
    quoted = quoted || unit[-1] == L'\\';
    if (quoted)
        at = put(out, at, L"\"");
    long backslashes = 0;
    for (unit = argument; *unit; ++unit) {
        if (*unit == L'\\') {
            ++backslashes;
            continue;
        }
        if (*unit == L'"') {
            at = put_unit(out, at, L'\\', 2 * backslashes);
            at = put(out, at, L"\"\"");
        } else {
            at = put_unit(out, at, L'\\', backslashes);
            at = *unit == L'%' ? put(out, at, PERCENT_IN_ARGUMENT) : put_unit(out, at, *unit, 1);
        }
        backslashes = 0;
    }
    at = put_unit(out, at, L'\\', quoted ? 2 * backslashes : backslashes);
    if (quoted)
        at = put(out, at, L"\"");
    return at;
}

// The text after /c, outer quotes included; returns its length.
static long put_command_text(wchar_t *out, const wchar_t *script, wchar_t **args)
{
    long at = put(out, 0, L"\"\"");
    for (const wchar_t *unit = script; *unit; ++unit)
        at = *unit == L'%' ? put(out, at, PERCENT_IN_SCRIPT) : put_unit(out, at, *unit, 1);
    at = put(out, at, L"\"");
    for (int i = 0; args[i]; ++i) {
        at = put(out, at, L" ");
        at = put_argument(out, at, args[i]);
    }
    return put(out, at, L"\"");
}

static wchar_t *quoted_path(const wchar_t *path)
{
    long length = put(0, 0, path) + 3;
    wchar_t *quoted = (wchar_t *)rt_alloc_n((uint32_t)length, sizeof(wchar_t));
    long at = put(quoted, put(quoted, put(quoted, 0, L"\""), path), L"\"");
    quoted[at] = L'\0';
    return quoted;
}

static bool batch_script_allowed(const wchar_t *script)
{
    const wchar_t *unit = script;
    for (; *unit; ++unit)
        if (*unit == L'"' || ends_a_command(*unit))
            return false;
    return unit > script && unit[-1] != L'\\';
}

wchar_t **build_batch_argv(const wchar_t *interpreter, const wchar_t *script, wchar_t **args)
{
    if (!batch_script_allowed(script)) {
        rt_set_errno(EINVAL);
        return 0;
    }
    int count = 0;
    for (; args[count]; ++count)
        for (const wchar_t *unit = args[count]; *unit; ++unit)
            if (ends_a_command(*unit)) {
                rt_set_errno(EINVAL);
                return 0;
            }
    long length = put_command_text(0, script, args);
    if (length > INTERPRETER_TEXT_LIMIT - SCRIPT_LINE_ROOM) {
        rt_set_errno(E2BIG);
        return 0;
    }
    wchar_t *text = (wchar_t *)rt_alloc_n((uint32_t)length + 1, sizeof(wchar_t));
    put_command_text(text, script, args);
    text[length] = L'\0';
    // The runtime joins the entries with single blanks and adds nothing, so
    // the interpreter receives exactly these pieces.
    wchar_t **argv = (wchar_t **)rt_alloc_n(SWITCH_COUNT + 3, sizeof(wchar_t *));
    argv[0] = quoted_path(interpreter);
    for (int i = 0; i < SWITCH_COUNT; ++i)
        argv[1 + i] = (wchar_t *)INTERPRETER_SWITCHES[i];
    argv[SWITCH_COUNT + 1] = text;
    argv[SWITCH_COUNT + 2] = 0;
    return argv;
}
