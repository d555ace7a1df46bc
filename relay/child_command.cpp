// The command the child is launched with, by the protocol's rules (rules/),
// in blocks of the base library that are exactly as large as what
// is written into them; the relay never frees.
#include <errno.h>

#include "relay_internal.h"
#include "rules/quote.h"
#include "runtime.h"

static wchar_t *quoted(const wchar_t *argument, enum pf_quote_mode mode)
{
    size_t length = pf_quote_argument(argument, mode, 0, 0) + 1;
    wchar_t *text = (wchar_t *)rt_alloc_n((uint32_t)length, sizeof(wchar_t));
    pf_quote_argument(argument, mode, text, length);
    return text;
}

wchar_t *quote_child_argument(const wchar_t *argument)
{
    return quoted(argument, PF_QUOTE_WHEN_NEEDED);
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

// The length of the command text the launch call makes of child_argv,
// terminator included.
long child_command_length(wchar_t **child_argv)
{
    return (long)pf_join_entries((const wchar_t *const *)child_argv, 0, 0) + 1;
}

wchar_t **build_batch_argv(const wchar_t *interpreter, const wchar_t *script, wchar_t **args)
{
    size_t length = 0;
    int error = pf_batch_command_text(script, args, 0, 0, &length);
    if (error != 0) {
        rt_set_errno(error);
        return 0;
    }
    wchar_t *text = (wchar_t *)rt_alloc_n((uint32_t)length + 1, sizeof(wchar_t));
    pf_batch_command_text(script, args, text, length + 1, &length);
    // The runtime joins the entries with single blanks and adds nothing, so
    // the interpreter receives exactly these pieces.
    const wchar_t **argv = (const wchar_t **)rt_alloc_n(PF_BATCH_ARGV_COUNT + 1, sizeof(wchar_t *));
    pf_batch_argv(quoted(interpreter, PF_QUOTE_PROGRAM_NAME), text, argv);
    return (wchar_t **)argv;
}
