// The words for a program that could not be run or its directory entered.
// Where the errno alone would mislead (a name that is a directory, a program
// that sits in the start directory but was looked for on PATH only, a batch
// file refused for one of its arguments), the library's own program finder
// is asked, which looks the way the relay looks; the words never open a
// file themselves, so that a name such as a pipe's or the console's cannot
// hold them up.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "find_program.h"
#include "parent_internal.h"
#include "rules/find_program.h"
#include "words.h"

namespace pf_words {

enum child_path { PATH_SET, PATH_ABSENT, PATH_EMPTY, PATH_UNKNOWN };

// Whether the child's environment block holds a PATH to search.
child_path child_path_state(const env_changes &env)
{
    if (!env.readable)
        return PATH_UNKNOWN;
    if (env.count == 0 && !env.clear) {
        wchar_t first[2];
        SetLastError(ERROR_SUCCESS);
        if (GetEnvironmentVariableW(L"PATH", first, 2) > 0)
            return PATH_SET;
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? PATH_ABSENT : PATH_EMPTY;
    }
    wchar_t *block = nullptr;
    if (pf_build_environment(env.entries, env.count, env.clear, &block) != 0)
        return PATH_UNKNOWN;
    const wchar_t *value = pf_block_value(block, L"PATH");
    child_path state = !value ? PATH_ABSENT : *value ? PATH_SET : PATH_EMPTY;
    free(block);
    return state;
}

enum what_is_there { NOTHING, DIRECTORY, OTHER_FILE, PROGRAM };

// What the program finder's answer says is there.
what_is_there what_the_finder_found(int error)
{
    switch (error) {
    case 0:
        return PROGRAM;
    case EACCES:
        return DIRECTORY;
    case ENOEXEC:
        return OTHER_FILE;
    }
    return NOTHING;
}

// What the library's finder makes of name, as the relay would, with PATH
// searched or not; found (PF_PROGRAM_PATH_CAPACITY units) holds the file
// for PROGRAM, else an empty text.
what_is_there find_as_relay(const wchar_t *name, const wchar_t *dir, const env_changes &env,
                            bool search, wchar_t *found, int *error)
{
    found[0] = 0;
    *error = env.readable ? procferry_find_program_with_env(name, dir, env.entries, env.count,
                                                            env.clear, search, found,
                                                            PF_PROGRAM_PATH_CAPACITY)
                          : EINVAL;
    return what_the_finder_found(*error);
}

// What a bare name is in the start directory, taken as given there.
what_is_there look_in_start_directory(const wchar_t *dir, const wchar_t *program)
{
    wchar_t found[PF_PROGRAM_PATH_CAPACITY];
    return what_the_finder_found(
        procferry_find_program(program, dir, nullptr, 0, found, PF_PROGRAM_PATH_CAPACITY));
}

// The directory as given, and in full when that reads differently.
void put_directory(line *words, text dir)
{
    put_text(words, dir);
    wchar_t given[PROBE_PATH_UNITS], full[PROBE_PATH_UNITS];
    if (!wide_form(dir, given, PROBE_PATH_UNITS))
        return;
    DWORD size = GetFullPathNameW(given, PROBE_PATH_UNITS, full, nullptr);
    if (size > 0 && size < PROBE_PATH_UNITS && _wcsicmp(full, given) != 0) {
        put(words, " (");
        put_wide(words, full);
        put(words, ")");
    }
}

// "the directory", or with the caller's name for the option "the --cwd directory".
void put_directory_term(line *words)
{
    put(words, "the ");
    if (words->terms->dir_option) {
        put(words, words->terms->dir_option);
        put(words, " ");
    }
    put(words, "directory");
}

void put_start_directory(line *words, text dir)
{
    if (dir.given()) {
        put_directory_term(words);
        put(words, " ");
        put_directory(words, dir);
    } else {
        put(words, "the current directory");
    }
}

void directory_failed(line *words, text program, text dir, int error)
{
    // Led by the caller's option for it when there is one.
    if (words->terms->dir_option) {
        put(words, words->terms->dir_option);
        put(words, " ");
    } else {
        put_text(words, program);
        put(words, ": directory ");
    }
    put_directory(words, dir);
    // What the start's own directory checks found, told by their errno.
    put(words, error == ENOENT         ? ": no such directory: "
               : error == ENOTDIR      ? ": is a file or a device, not a directory: "
               : error == ENAMETOOLONG ? ": is longer than a child's directory can be: "
                                       : ": cannot change into it: ");
    put_errno(words, error);
    put(words, "; nothing was run");
}

// A path that names its drive or share and its folder: the start directory
// plays no part in it.
bool fully_absolute(const wchar_t *name)
{
    return (is_separator(name[0]) && is_separator(name[1])) ||
           (name[0] && name[1] == L':' && is_separator(name[2]));
}

void not_found(line *words, text program, const wchar_t *name, text dir, const wchar_t *dir_wide,
               const env_changes &env, bool search_path)
{
    put_text(words, program);
    bool bare = name && !has_directory_part(name);
    if (!bare) {
        put(words, ": not found");
        if (dir.given() && name && !fully_absolute(name)) {
            put(words, " (a relative ");
            put(words, words->terms->program);
            put(words, " is taken from ");
            put_start_directory(words, dir);
            wchar_t *full = pf_program_in_dir(name, dir_wide);
            if (full) {
                put(words, ": ");
                put_wide(words, full);
                free(full);
            }
            put(words, ")");
        }
        put(words, ": ");
        put_errno(words, ENOENT);
        return;
    }
    if (!search_path) {
        put(words, ": not found in ");
        put_start_directory(words, dir);
        put(words, ": ");
        put_errno(words, ENOENT);
        put(words, "; PATH was not searched: ");
        put(words, words->terms->search_on);
        put(words, " to search it");
        return;
    }
    child_path path = child_path_state(env);
    if (path == PATH_ABSENT || path == PATH_EMPTY) {
        put(words, path == PATH_ABSENT
                       ? ": not found: the child's environment has no PATH, so nothing was searched: "
                       : ": not found: the child's PATH is empty, so nothing was searched: ");
        put_errno(words, ENOENT);
        put(words, "; set PATH ");
        put(words, words->terms->env_option);
        put(words, ", or give the program's path");
        return;
    }
    put(words, ": not found on PATH: ");
    put_errno(words, ENOENT);
    what_is_there there = look_in_start_directory(dir_wide, name);
    switch (there) {
    case PROGRAM:
        put(words, "; a bare name is looked for on PATH only: to run the one in ");
        put_start_directory(words, dir);
        put(words, ", give its path, .\\");
        put_text(words, program);
        return;
    case DIRECTORY:
    case OTHER_FILE:
        put(words, "; ");
        put_text(words, program);
        put(words, " in ");
        put_start_directory(words, dir);
        put(words, there == DIRECTORY ? " is a directory, not a program" : " is not a program");
        return;
    default:
        put(words, "; check the name, or give the program's path");
    }
}

bool holds_line_end(const struct procferry_options *options, size_t i)
{
    if (options->args)
        return options->args[i] && wcspbrk(options->args[i], L"\r\n");
    if (options->args_utf8)
        return options->args_utf8[i] && strpbrk(options->args_utf8[i], "\r\n");
    return false;
}

// Why the relay refused a batch file (EINVAL), or false when none of its
// reasons is there. Arguments are numbered as the script counts them (%1
// on); a batch file gets no argument zero of the caller's.
bool batch_refused(line *words, const struct procferry_options *options, bool found)
{
    size_t first = options->flags & PROCFERRY_ARGV0 ? 1 : 0;
    for (size_t i = first; i < options->arg_count; ++i) {
        if (!holds_line_end(options, i))
            continue;
        put_number(words, ": argument %lld holds a line break (CR or LF), which a batch file "
                          "cannot be given: the command interpreter would end its command "
                          "there and run the rest as a command of its own: ",
                   (long long)(i - first + 1));
        put_errno(words, EINVAL);
        put(words, "; nothing was run; pass such text in a file or an environment variable");
        return true;
    }
    if (!found) {
        put(words, ": a batch file named through \\\\?\\ whose plain path names another "
                   "file, and the command interpreter opens only the plain path: ");
        put_errno(words, EINVAL);
        put(words, "; nothing was run");
        return true;
    }
    return false;
}

void cannot_run(line *words, const struct procferry_options *options, text program,
                const wchar_t *name, const wchar_t *dir_wide, const env_changes &env, int error)
{
    put_text(words, program);
    wchar_t found[PF_PROGRAM_PATH_CAPACITY];
    int found_error = 0;
    bool search = options && pf_searches(options->flags);
    what_is_there there =
        name ? find_as_relay(name, dir_wide, env, search, found, &found_error) : NOTHING;
    if (there == DIRECTORY) {
        wchar_t *full = pf_program_in_dir(name, dir_wide);
        put(words, ": is a directory (");
        put_wide(words, full ? full : name);
        free(full);
        put(words, "), not a program; the launch failed: ");
        put_errno(words, error);
        return;
    }
    bool batch = there == PROGRAM ? pf_is_batch_file(found)
                                  : name && found_error == EINVAL && pf_is_batch_file(name);
    if (error == EINVAL && batch && options && batch_refused(words, options, there == PROGRAM))
        return;
    put(words, ": cannot be run: ");
    put_errno(words, error);
    if (error == EINVAL || error == ENOEXEC)
        put(words, "; only programs (.exe, .com) and batch files (.bat, .cmd) run");
}

} // namespace pf_words
