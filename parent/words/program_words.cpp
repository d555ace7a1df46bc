// The words for a program that could not be run or its directory entered.
// Where the errno alone would mislead (a name that is a directory, a program
// that sits in the start directory but was looked for on PATH only, a batch
// file refused for one of its arguments), they tell what the start itself
// found out (procferry_findings, plan/findings.cpp): the words look at no
// file, so that describing a result later says what the start saw.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "program_lookup.h"
#include "parent_internal.h"
#include "rules/find_program.h"
#include "words.h"

namespace pf_words {

namespace {

// What the start found out, or nothing known.
const procferry_findings &findings(const line *words)
{
    static const procferry_findings none = {};
    return words->found ? *words->found : none;
}

} // namespace

// The directory as given, and in full when that reads differently.
void put_directory(line *words, text dir)
{
    put_text(words, dir);
    wchar_t given[PROBE_PATH_UNITS];
    const wchar_t *full = findings(words).dir_path;
    if (!wide_form(dir, given, PROBE_PATH_UNITS))
        return;
    if (full[0] && _wcsicmp(full, given) != 0) {
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

void not_found(line *words, text program, const wchar_t *name, text dir, bool search_path)
{
    put_text(words, program);
    bool bare = name && pf_is_bare_name(name);
    if (!bare) {
        put(words, ": not found");
        if (dir.given() && name && !fully_absolute(name)) {
            put(words, " (a relative ");
            put(words, words->terms->program);
            put(words, " is taken from ");
            put_start_directory(words, dir);
            if (findings(words).program_path[0]) {
                put(words, ": ");
                put_wide(words, findings(words).program_path);
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
    int path = findings(words).child_path;
    if (path == PROCFERRY_PATH_ABSENT || path == PROCFERRY_PATH_EMPTY) {
        put(words, path == PROCFERRY_PATH_ABSENT
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
    int there = findings(words).in_start_dir;
    switch (there) {
    case PROCFERRY_FOUND_PROGRAM:
        put(words, "; a bare name is looked for on PATH only: to run the one in ");
        put_start_directory(words, dir);
        put(words, ", give its path, .\\");
        put_text(words, program);
        return;
    case PROCFERRY_FOUND_DIRECTORY:
    case PROCFERRY_FOUND_OTHER_FILE:
        put(words, "; ");
        put_text(words, program);
        put(words, " in ");
        put_start_directory(words, dir);
        put(words, there == PROCFERRY_FOUND_DIRECTORY ? " is a directory, not a program" : " is not a program");
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
                const wchar_t *name, int error)
{
    put_text(words, program);
    const procferry_findings &found = findings(words);
    if (found.program == PROCFERRY_FOUND_DIRECTORY) {
        put(words, ": is a directory (");
        put_wide(words, found.program_path[0] ? found.program_path : name ? name : L"");
        put(words, "), not a program; the launch failed: ");
        put_errno(words, error);
        return;
    }
    bool batch = found.batch != 0;
    if (error == EINVAL && batch && options && batch_refused(words, options, found.program == PROCFERRY_FOUND_PROGRAM))
        return;
    put(words, ": cannot be run: ");
    put_errno(words, error);
    if (error == EINVAL || error == ENOEXEC)
        put(words, "; only programs (.exe, .com) and batch files (.bat, .cmd) run");
}

} // namespace pf_words
