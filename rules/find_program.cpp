// Finding the one file to launch. The relay resolves the program itself and
// launches that full path, so that nothing after it searches again: not the
// runtime, whose search looks in the current directory first, stops at the
// first entry of the name whatever it is and cuts long paths, and not the
// kernel, which would run a batch file through the command interpreter.
#include <errno.h>

#include "find_program.h"

// Tried, in this order, after the name itself when the name has no extension.
static const wchar_t *const PROGRAM_EXTENSIONS[] = {L".com", L".exe", L".bat", L".cmd"};
static const int EXTENSION_COUNT = 4;
static const size_t LONGEST_EXTENSION = 4;

static bool is_separator(wchar_t unit)
{
    return unit == L'\\' || unit == L'/';
}

static size_t text_length(const wchar_t *text)
{
    size_t length = 0;
    while (text && text[length])
        ++length;
    return length;
}

static bool ends_with_ignoring_case(const wchar_t *text, size_t length, const wchar_t *suffix)
{
    if (length < 4)
        return false;
    for (size_t i = 0; i < 4; ++i) {
        wchar_t unit = text[length - 4 + i];
        if (unit >= L'A' && unit <= L'Z')
            unit = (wchar_t)(unit + (L'a' - L'A'));
        if (unit != suffix[i])
            return false;
    }
    return true;
}

bool pf_is_batch_file(const wchar_t *path)
{
    size_t length = text_length(path);
    // The file system drops a name's trailing dots and blanks, so x.bat. and
    // "x.bat " open x.bat, and the system would run it as the script it is.
    while (length > 0 && (path[length - 1] == L'.' || path[length - 1] == L' '))
        --length;
    return ends_with_ignoring_case(path, length, L".bat") ||
           ends_with_ignoring_case(path, length, L".cmd");
}

bool pf_is_bare_name(const wchar_t *name)
{
    for (const wchar_t *unit = name; *unit; ++unit)
        if (is_separator(*unit) || *unit == L':')
            return false;
    return true;
}

static bool has_extension(const wchar_t *name)
{
    bool dot = false;
    for (const wchar_t *unit = name; *unit; ++unit) {
        if (is_separator(*unit) || *unit == L':')
            dot = false;
        else if (*unit == L'.')
            dot = true;
    }
    return dot;
}

bool pf_next_path_folder(const wchar_t **cursor, wchar_t *folder, size_t *length)
{
    const wchar_t *unit = *cursor;
    if (!unit)
        return false;
    bool quoted = false;
    *length = 0;
    for (; *unit && (quoted || *unit != L';'); ++unit) {
        if (*unit == L'"')
            quoted = !quoted;
        else
            folder[(*length)++] = *unit;
    }
    *cursor = *unit ? unit + 1 : 0;
    return true;
}

size_t pf_find_program_scratch(const wchar_t *program, const wchar_t *path_value)
{
    return text_length(program) + text_length(path_value) + LONGEST_EXTENSION + 2;
}

// The interpreter cannot open a script named through \\?\ ("not recognized",
// which would pass for the script's own exit status 9009). It is given the
// same path without that prefix, when that names the same file: the full path
// of the plain form must be the plain form itself, else (trailing dots or
// blanks, "." or "..", a device name) the plain form names another file.
static int interpreter_form(const struct pf_file_probe *probe, wchar_t *found)
{
    const wchar_t *rest = found + 4;
    if (!(found[0] == L'\\' && found[1] == L'\\' && found[2] == L'?' && found[3] == L'\\'))
        return 0;
    size_t at = 0;
    if (rest[0] == L'U' && rest[1] == L'N' && rest[2] == L'C' && rest[3] == L'\\') {
        at = 2; // \\?\UNC\server\share is \\server\share
        rest += 4;
    } else if (!(rest[0] != L'\0' && rest[1] == L':' && rest[2] == L'\\')) {
        return EINVAL;
    }
    do
        found[at++] = *rest;
    while (*rest++);
    wchar_t check[PF_PROGRAM_PATH_CAPACITY];
    if (probe->path_in_full(probe->context, found, check) != 0)
        return EINVAL;
    for (size_t i = 0; found[i] || check[i]; ++i)
        if (found[i] != check[i])
            return EINVAL;
    return 0;
}

enum candidate_result { CANDIDATE_FOUND, CANDIDATE_NONE, CANDIDATE_UNUSABLE };

// Tries folder\name, then with each program extension when the name has
// none. A batch file is known by its name; any other program by its image.
// candidate already holds the folder's length units.
static enum candidate_result try_folder(const struct pf_file_probe *probe, wchar_t *candidate,
                                        size_t length, const wchar_t *name, wchar_t *found,
                                        int *error, enum pf_path_kind *first_kind)
{
    if (length > 0 && !is_separator(candidate[length - 1]) && candidate[length - 1] != L':')
        candidate[length++] = L'\\';
    for (const wchar_t *unit = name; *unit; ++unit)
        candidate[length++] = *unit;
    candidate[length] = L'\0';
    int tries = has_extension(name) ? 1 : 1 + EXTENSION_COUNT;
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (attempt > 0)
            for (size_t i = 0; i <= LONGEST_EXTENSION; ++i)
                candidate[length + i] = PROGRAM_EXTENSIONS[attempt - 1][i];
        bool batch = pf_is_batch_file(candidate);
        enum pf_path_kind kind = probe->path_kind(probe->context, candidate, !batch);
        if (attempt == 0)
            *first_kind = kind;
        if (kind != (batch ? PF_PATH_FILE : PF_PATH_IMAGE))
            continue;
        *error = probe->path_in_full(probe->context, candidate, found);
        if (*error == 0 && batch)
            *error = interpreter_form(probe, found);
        return *error == 0 ? CANDIDATE_FOUND : CANDIDATE_UNUSABLE;
    }
    return CANDIDATE_NONE;
}

int pf_find_program(const wchar_t *program, bool search, const wchar_t *path_value,
                    const struct pf_file_probe *probe, wchar_t *scratch, wchar_t *found)
{
    if (!program)
        return EINVAL;
    if (program[0] == L'\0')
        return ENOENT;
    int error = 0;
    enum pf_path_kind first_kind = PF_PATH_MISSING;
    if (search && pf_is_bare_name(program)) {
        // The current directory is searched only where a folder names it; a
        // folder that is empty, missing, or holds something of that name
        // that is not a program is passed over.
        size_t length = 0;
        for (const wchar_t *cursor = path_value; pf_next_path_folder(&cursor, scratch, &length);) {
            if (length == 0)
                continue;
            enum candidate_result result =
                try_folder(probe, scratch, length, program, found, &error, &first_kind);
            if (result != CANDIDATE_NONE)
                return error;
        }
        return ENOENT;
    }
    // Taken as given, relative to the directory the child starts in.
    if (try_folder(probe, scratch, 0, program, found, &error, &first_kind) != CANDIDATE_NONE)
        return error;
    return first_kind == PF_PATH_DIRECTORY ? EACCES : first_kind == PF_PATH_FILE ? ENOEXEC : ENOENT;
}
