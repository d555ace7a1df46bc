// Quoting the child's arguments so that the child's runtime splits the joined
// command text back into exactly these arguments.
//
//   abc      ->  abc          a b      ->  "a b"
//   a\"b     ->  a\\\"b       x y\     ->  "x y\\"
//   (empty)  ->  ""
//
// Backslashes are plain except in a run that ends at a double quote, where
// each stands for two; so such a run is doubled and the quote gets one more.
// A run at the end of a quoted argument ends at the closing quote and is
// doubled too. One pass counts, one pass writes, both linear in the length.
#include "relay_internal.h"
#include "runtime.h"

static bool needs_enclosing_quotes(const wchar_t *argument)
{
    if (argument[0] == L'\0')
        return true; // an empty argument must still be one argument
    for (const wchar_t *unit = argument; *unit; ++unit)
        if (*unit == L' ' || *unit == L'\t')
            return true;
    return false;
}

// Writes the quoted form into out when out is not null; returns the number of
// units it takes, terminator included.
static long emit_quoted(const wchar_t *argument, bool quoted, wchar_t *out)
{
    long length = 0;
    long backslashes = 0;
    if (quoted) {
        if (out)
            out[length] = L'"';
        ++length;
    }
    for (const wchar_t *unit = argument; *unit; ++unit) {
        if (*unit == L'\\') {
            ++backslashes;
            continue;
        }
        long copies = *unit == L'"' ? 2 * backslashes + 1 : backslashes;
        if (out) {
            for (long i = 0; i < copies; ++i)
                out[length + i] = L'\\';
            out[length + copies] = *unit;
        }
        length += copies + 1;
        backslashes = 0;
    }
    long trailing = quoted ? 2 * backslashes : backslashes;
    if (out)
        for (long i = 0; i < trailing; ++i)
            out[length + i] = L'\\';
    length += trailing;
    if (quoted) {
        if (out)
            out[length] = L'"';
        ++length;
    }
    if (out)
        out[length] = L'\0';
    return length + 1;
}

wchar_t *quote_child_argument(const wchar_t *argument)
{
    bool quoted = needs_enclosing_quotes(argument);
    long length = emit_quoted(argument, quoted, 0);
    wchar_t *result = (wchar_t *)rt_alloc_n((uint32_t)length, sizeof(wchar_t));
    emit_quoted(argument, quoted, result);
    return result;
}

wchar_t **build_child_argv(wchar_t **first_argument)
{
    int count = 0;
    while (first_argument[count])
        ++count;
    wchar_t **child_argv = (wchar_t **)rt_alloc_n((uint32_t)count + 1, sizeof(wchar_t *));
    for (int i = 0; i < count; ++i)
        child_argv[i] = quote_child_argument(first_argument[i]);
    child_argv[count] = 0;
    return child_argv;
}

// The length of the command text the launch call makes of child_argv: the
// entries joined by single blanks, terminator included.
long child_command_length(wchar_t **child_argv)
{
    long length = 1;
    for (int i = 0; child_argv[i]; ++i) {
        if (i > 0)
            ++length;
        for (const wchar_t *unit = child_argv[i]; *unit; ++unit)
            ++length;
    }
    return length;
}
