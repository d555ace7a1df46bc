// The child's command for a direct start, made by the rules the relay makes
// it by (relay/child_command.cpp): a batch file runs through the interpreter
// with a text that hands its arguments on exactly or is refused; any other
// program gets its vector quoted as the runtime splits it. The launch call's
// limit on the whole text is the relay's too.
#include <errno.h>
#include <stdlib.h>

#include "interpreter_path.h"
#include "parent_internal.h"
#include "rules/find_program.h"
#include "rules/quote.h"

namespace {

wchar_t *quoted(const wchar_t *entry, enum pf_quote_mode mode)
{
    size_t length = pf_quote_argument(entry, mode, nullptr, 0) + 1;
    wchar_t *text = (wchar_t *)malloc(length * sizeof(wchar_t));
    if (text)
        pf_quote_argument(entry, mode, text, length);
    return text;
}

wchar_t *joined(const wchar_t *const *entries)
{
    size_t length = pf_join_entries(entries, nullptr, 0) + 1;
    wchar_t *text = (wchar_t *)malloc(length * sizeof(wchar_t));
    if (text)
        pf_join_entries(entries, text, length);
    return text;
}

// The interpreter's command text that runs script with args.
int batch_text(const wchar_t *interpreter, const wchar_t *script, const wchar_t *const *args,
               wchar_t **text)
{
    size_t length = 0;
    int error = pf_batch_command_text(script, args, nullptr, 0, &length);
    if (error != 0)
        return error;
    wchar_t *script_text = (wchar_t *)malloc((length + 1) * sizeof(wchar_t));
    wchar_t *program_name = quoted(interpreter, PF_QUOTE_PROGRAM_NAME);
    if (script_text && program_name) {
        pf_batch_command_text(script, args, script_text, length + 1, &length);
        const wchar_t *argv[PF_BATCH_ARGV_COUNT + 1];
        pf_batch_argv(program_name, script_text, argv);
        *text = joined(argv);
    }
    free(script_text);
    free(program_name);
    return *text ? 0 : ENOMEM;
}

// The text of an ordinary program's vector.
int program_text(const wchar_t *const *vector, size_t count, wchar_t **text)
{
    wchar_t **entries = (wchar_t **)calloc(count + 1, sizeof(wchar_t *));
    bool made = entries != nullptr;
    for (size_t i = 0; made && i < count; ++i)
        made = (entries[i] = quoted(vector[i], PF_QUOTE_WHEN_NEEDED)) != nullptr;
    if (made)
        *text = joined(entries);
    for (size_t i = 0; entries && i < count; ++i)
        free(entries[i]);
    free(entries);
    return *text ? 0 : ENOMEM;
}

} // namespace

int pf_direct_command(const wchar_t *found, const wchar_t *const *vector, wchar_t *application,
                      wchar_t **text)
{
    *text = nullptr;
    size_t count = 0;
    while (vector[count])
        ++count;
    int error;
    if (pf_is_batch_file(found)) {
        // The script has no argument zero of its own: the interpreter gives
        // it the script's path.
        error = pf_interpreter_path(application);
        if (error == 0)
            error = batch_text(application, found, count ? vector + 1 : vector, text);
    } else {
        wcscpy(application, found);
        error = program_text(vector, count, text);
    }
    // Past the platform's limit the start would fail as "not found".
    if (error == 0 && wcslen(*text) + 1 > RELAY_COMMAND_TEXT_LIMIT)
        error = E2BIG;
    if (error != 0) {
        free(*text);
        *text = nullptr;
    }
    return error;
}
