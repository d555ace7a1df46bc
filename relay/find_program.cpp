// Finding the one file to launch. The relay resolves the program itself and
// launches that full path, so that nothing after it searches again: not the
// runtime, whose search looks in the current directory first, stops at the
// first entry of the name whatever it is and cuts long paths, and not the
// kernel, which would run a batch file through the command interpreter.
#include <errno.h>

#include "relay_internal.h"
#include "runtime.h"

// Tried, in this order, after the name itself when the name has no extension.
static const wchar_t *const PROGRAM_EXTENSIONS[] = {L".com", L".exe", L".bat", L".cmd"};
static const int EXTENSION_COUNT = 4;
static const int LONGEST_EXTENSION = 4;

static bool is_separator(wchar_t unit)
{
    return unit == L'\\' || unit == L'/';
}

static long text_length(const wchar_t *text)
{
    long length = 0;
    while (text[length])
        ++length;
    return length;
}

static wchar_t lower_ascii(wchar_t unit)
{
    return unit >= L'A' && unit <= L'Z' ? (wchar_t)(unit + (L'a' - L'A')) : unit;
}

static bool ends_with_ignoring_case(const wchar_t *text, long length, const wchar_t *suffix)
{
    long suffix_length = text_length(suffix);
    if (length < suffix_length)
        return false;
    for (long i = 0; i < suffix_length; ++i)
        if (lower_ascii(text[length - suffix_length + i]) != suffix[i])
            return false;
    return true;
}

bool is_batch_file(const wchar_t *path)
{
    long length = text_length(path);
    return ends_with_ignoring_case(path, length, L".bat") ||
           ends_with_ignoring_case(path, length, L".cmd");
}

// A bare name holds no drive and no separator; only a bare name is searched for.
static bool is_bare_name(const wchar_t *name)
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

enum candidate_result { CANDIDATE_FOUND, CANDIDATE_NONE, CANDIDATE_UNUSABLE };

// Tries directory\name, then with each program extension when the name has
// none. A batch file is known by its name; any other program by its image.
// candidate has room for the directory, a separator, the name and an
// extension.
static enum candidate_result try_directory(const wchar_t *directory, long directory_length,
                                           const wchar_t *name, long name_length,
                                           wchar_t *candidate, wchar_t *found,
                                           enum rt_path_kind *first_kind)
{
    long length = 0;
    for (; length < directory_length; ++length)
        candidate[length] = directory[length];
    if (length > 0 && !is_separator(candidate[length - 1]) && candidate[length - 1] != L':')
        candidate[length++] = L'\\';
    for (long i = 0; i < name_length; ++i)
        candidate[length++] = name[i];
    candidate[length] = L'\0';
    int tries = has_extension(name) ? 1 : 1 + EXTENSION_COUNT;
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (attempt > 0) {
            const wchar_t *extension = PROGRAM_EXTENSIONS[attempt - 1];
            for (int i = 0; i <= LONGEST_EXTENSION; ++i)
                candidate[length + i] = extension[i];
        }
        bool batch = is_batch_file(candidate);
        enum rt_path_kind kind = rt_path_kind(candidate, !batch);
        if (attempt == 0 && first_kind)
            *first_kind = kind;
        if (kind == (batch ? RT_PATH_FILE : RT_PATH_IMAGE))
            return rt_program_path(candidate, found) == 0 ? CANDIDATE_FOUND : CANDIDATE_UNUSABLE;
    }
    return CANDIDATE_NONE;
}

// Looks name up in the search path's entries in order. The current directory
// is searched only where an entry names it; an entry that is empty, missing,
// or holds something of that name that is not a program is passed over.
static int search_path_for(const wchar_t *name, long name_length, wchar_t *found)
{
    const wchar_t *path = rt_search_path();
    if (!path) {
        rt_set_errno(ENOENT);
        return -1;
    }
    wchar_t *candidate = (wchar_t *)rt_alloc_n(
        (uint32_t)(text_length(path) + name_length + LONGEST_EXTENSION + 2), sizeof(wchar_t));
    for (const wchar_t *entry = path;;) {
        const wchar_t *end = entry;
        while (*end && *end != L';')
            ++end;
        // An entry may be quoted, as the command interpreter allows.
        const wchar_t *start = entry, *stop = end;
        if (stop - start >= 2 && start[0] == L'"' && stop[-1] == L'"') {
            ++start;
            --stop;
        }
        if (stop > start) {
            enum candidate_result result =
                try_directory(start, stop - start, name, name_length, candidate, found, 0);
            if (result == CANDIDATE_FOUND)
                return 0;
            if (result == CANDIDATE_UNUSABLE)
                return -1;
        }
        if (*end == L'\0')
            break;
        entry = end + 1;
    }
    rt_set_errno(ENOENT);
    return -1;
}

int find_program(const wchar_t *program, bool search, wchar_t *found)
{
    if (!program) {
        rt_set_errno(EINVAL);
        return -1;
    }
    long name_length = text_length(program);
    if (name_length == 0) {
        rt_set_errno(ENOENT);
        return -1;
    }
    if (search && is_bare_name(program))
        return search_path_for(program, name_length, found);
    // Taken as given, relative to the current directory, which is DIR by now.
    wchar_t *candidate = (wchar_t *)rt_alloc_n((uint32_t)(name_length + LONGEST_EXTENSION + 1),
                                               sizeof(wchar_t));
    enum rt_path_kind given_kind = RT_PATH_MISSING;
    enum candidate_result result =
        try_directory(L"", 0, program, name_length, candidate, found, &given_kind);
    if (result == CANDIDATE_FOUND)
        return 0;
    if (result == CANDIDATE_NONE)
        rt_set_errno(given_kind == RT_PATH_DIRECTORY ? EACCES
                     : given_kind == RT_PATH_FILE    ? ENOEXEC
                                                     : ENOENT);
    return -1;
}
