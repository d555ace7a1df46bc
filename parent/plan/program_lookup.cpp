// The file the relay would launch, found by the same rules (rules/) and the
// same file probe (runtime/path_probe.cpp), with relative paths taken against
// the directory the child would start in instead of this process's own.
#include <errno.h>
#include <stdlib.h>

#include "program_lookup.h"
#include "parent_internal.h"
#include "work_dir.h"
#include "path_probe.h"
#include "rules/find_program.h"

namespace {

bool is_separator(wchar_t unit)
{
    return unit == L'\\' || unit == L'/';
}

wchar_t upper_ascii(wchar_t unit)
{
    return unit >= L'a' && unit <= L'z' ? (wchar_t)(unit - (L'a' - L'A')) : unit;
}

// The full path of path, or NULL; the caller frees it. The buffer is
// offered before its size is asked: for a drive-relative path on another
// drive, wine's answer to the size alone falls short of what it then writes.
} // namespace

wchar_t *pf_full_path(const wchar_t *path)
{
    for (DWORD capacity = MAX_PATH + 1; capacity <= 65536; capacity *= 2) {
        wchar_t *full = (wchar_t *)malloc((capacity + MAX_PATH) * sizeof(wchar_t));
        DWORD length = full ? GetFullPathNameW(path, capacity, full, nullptr) : 0;
        if (length > 0 && length < capacity)
            return full;
        free(full);
        if (length == 0)
            return nullptr;
    }
    return nullptr;
}

namespace {

// Where a lookup stands: the child's directory (a full path) and its
// environment block, whose "=X:" entries hold each drive's directory (NULL:
// the caller's own environment, which the child then inherits).
struct lookup_place {
    const wchar_t *dir;
    const wchar_t *block;
};

// path as the relay reads it once it stands in dir: a path rooted on the
// drive takes dir's drive, a drive-relative one on dir's drive goes under
// dir, one on another drive under that drive's directory in the child's
// environment (its root when there is none), an absolute one stays; NULL
// when out of memory.
wchar_t *against_dir(const lookup_place &place, const wchar_t *path)
{
    const wchar_t *dir = place.dir;
    size_t dir_length = wcslen(dir), path_length = wcslen(path);
    bool rooted = is_separator(path[0]);
    bool on_drive = path[0] && path[1] == L':';
    bool same_drive = on_drive && dir[1] == L':' && (upper_ascii(path[0]) == upper_ascii(dir[0]));
    const wchar_t *drive_dir = nullptr;
    wchar_t drive_root[4] = {path[0], L':', L'\\', 0};
    if (on_drive && !same_drive && !is_separator(path[2]) && place.block) {
        wchar_t name[4] = {L'=', upper_ascii(path[0]), L':', 0};
        drive_dir = pf_block_value(place.block, name);
        if (!drive_dir || drive_dir[0] == 0)
            drive_dir = drive_root;
        dir = drive_dir;
        dir_length = wcslen(dir);
    }
    wchar_t *joined = (wchar_t *)malloc((dir_length + path_length + 2) * sizeof(wchar_t));
    if (!joined)
        return nullptr;
    if ((rooted && is_separator(path[1])) ||
        (on_drive && !drive_dir && (!same_drive || is_separator(path[2])))) {
        wcscpy(joined, path);
    } else if (rooted) {
        // The root of dir's drive (X:), or of its share (\\server\share).
        size_t root = 2;
        if (is_separator(dir[0]) && is_separator(dir[1]))
            for (int separators = 0; dir[root] && !(is_separator(dir[root]) && ++separators == 2);)
                ++root;
        wcsncpy(joined, dir, root);
        wcscpy(joined + root, path);
    } else {
        const wchar_t *rest = on_drive ? path + 2 : path;
        wcscpy(joined, dir);
        if (dir_length > 0 && !is_separator(dir[dir_length - 1]))
            wcscat(joined, L"\\");
        wcscat(joined, rest);
    }
    return joined;
}

// Whether path is verbatim (\\?\...).
bool is_verbatim(const wchar_t *path)
{
    return wcsncmp(path, L"\\\\?\\", 4) == 0;
}

// A verbatim path on a drive or a share (\\?\X:\... or \\?\UNC\server\...)
// in its plain form, which is the form a process keeps its current
// directory in; NULL when out of memory. The caller frees it.
wchar_t *plain_form(const wchar_t *path)
{
    bool verbatim = is_verbatim(path) &&
                    ((path[4] && path[5] == L':' && is_separator(path[6])) || _wcsnicmp(path + 4, L"UNC\\", 4) == 0);
    bool unc = verbatim && _wcsnicmp(path + 4, L"UNC\\", 4) == 0;
    const wchar_t *rest = !verbatim ? path : unc ? path + 8 : path + 4;
    wchar_t *plain = (wchar_t *)malloc((wcslen(rest) + 3) * sizeof(wchar_t));
    if (plain) {
        wcscpy(plain, unc ? L"\\\\" : L"");
        wcscat(plain, rest);
    }
    return plain;
}

} // namespace

// Relative to the caller's directory, which the child or the relay inherits;
// a drive-relative path on another drive under that drive's directory in the
// block.
wchar_t *pf_child_full_path(const wchar_t *dir, const wchar_t *block)
{
    wchar_t *plain = plain_form(dir);
    wchar_t *own = block && plain ? pf_full_path(L".") : nullptr;
    lookup_place place = {own, block};
    wchar_t *joined = own ? against_dir(place, plain) : nullptr;
    wchar_t *full = block ? (joined ? pf_full_path(joined) : nullptr) : plain ? pf_full_path(plain) : nullptr;
    free(joined);
    free(own);
    free(plain);
    return full;
}

namespace {

enum pf_path_kind kind_in_dir(void *place, const wchar_t *path, bool look_for_image)
{
    wchar_t *joined = against_dir(*(const lookup_place *)place, path);
    enum pf_path_kind kind = joined ? pf_path_probe_kind(nullptr, joined, look_for_image) : PF_PATH_MISSING;
    free(joined);
    return kind;
}

int full_path_in_dir(void *place, const wchar_t *path, wchar_t *out)
{
    wchar_t *joined = against_dir(*(const lookup_place *)place, path);
    int error = joined ? pf_path_probe_full_path(nullptr, joined, out) : ENOMEM;
    free(joined);
    return error;
}

// The caller's PATH, or NULL when it has none; the caller frees it.
wchar_t *own_search_path()
{
    DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    wchar_t *text = size ? (wchar_t *)malloc(size * sizeof(wchar_t)) : nullptr;
    if (text && GetEnvironmentVariableW(L"PATH", text, size) - 1 >= size - 1) {
        free(text);
        text = nullptr;
    }
    return text;
}

int find_in(const wchar_t *program, const wchar_t *dir, const wchar_t *block,
            const wchar_t *path_value, int search, wchar_t *found, size_t capacity)
{
    if (!found || capacity == 0)
        return EINVAL;
    found[0] = L'\0';
    wchar_t *start_dir = pf_child_full_path(dir ? dir : L".", block);
    wchar_t *own_path = search && !path_value ? own_search_path() : nullptr;
    const wchar_t *searched = path_value ? path_value : own_path;
    wchar_t *scratch =
        (wchar_t *)malloc(pf_find_program_scratch(program, searched) * sizeof(wchar_t));
    wchar_t result[PF_PROGRAM_PATH_CAPACITY];
    int error = ENOMEM;
    if (start_dir && scratch) {
        lookup_place place = {start_dir, block};
        struct pf_file_probe probe = {kind_in_dir, full_path_in_dir, &place};
        error = pf_find_program(program, search != 0, searched, &probe, scratch, result);
    }
    if (error == 0 && wcslen(result) >= capacity)
        error = ERANGE;
    if (error == 0)
        wcscpy(found, result);
    free(scratch);
    free(own_path);
    free(start_dir);
    return error;
}

} // namespace

int procferry_find_program(const wchar_t *program, const wchar_t *dir, const wchar_t *path_value,
                           int search, wchar_t *found, size_t capacity)
{
    return find_in(program, dir, nullptr, path_value, search, found, capacity);
}

wchar_t *pf_program_in_dir(const wchar_t *program, const wchar_t *dir)
{
    wchar_t *start_dir = pf_full_path(dir ? dir : L".");
    lookup_place place = {start_dir, nullptr};
    wchar_t *joined = start_dir && program ? against_dir(place, program) : nullptr;
    wchar_t *full = joined ? pf_full_path(joined) : nullptr;
    free(joined);
    free(start_dir);
    return full;
}

int pf_find_program_in_block(const wchar_t *program, const wchar_t *dir, const wchar_t *block,
                             int search, wchar_t *found, size_t capacity)
{
    if (!block)
        return procferry_find_program(program, dir, nullptr, search, found, capacity);
    // A child without PATH has nothing to search: an empty one says so.
    const wchar_t *path_value = pf_block_value(block, L"PATH");
    return find_in(program, dir, block, path_value ? path_value : L"", search, found, capacity);
}

int procferry_find_program_with_env(const wchar_t *program, const wchar_t *dir,
                                    const wchar_t *const *env, size_t env_count, int clear,
                                    int search, wchar_t *found, size_t capacity)
{
    if (!found || capacity == 0 || (env_count && !env))
        return EINVAL;
    if (env_count == 0 && !clear)
        return procferry_find_program(program, dir, nullptr, search, found, capacity);
    wchar_t *block = nullptr;
    int error = pf_build_environment(env, env_count, clear != 0, &block);
    if (error == 0)
        error = pf_find_program_in_block(program, dir, block, search, found, capacity);
    free(block);
    return error;
}

int pf_child_directory(const wchar_t *dir, const wchar_t *block, wchar_t *full)
{
    // A verbatim directory is the plain one only where the plain form names
    // the same directory: on a drive or a share, with no part the plain form
    // would read otherwise (a trailing dot or blank, "..").
    if (is_verbatim(dir)) {
        wchar_t *plain = plain_form(dir);
        wchar_t *again = plain && !is_verbatim(plain) ? pf_full_path(plain) : nullptr;
        bool same = again && wcscmp(again, plain) == 0;
        free(again);
        free(plain);
        if (!same)
            return EINVAL;
    }
    wchar_t *resolved = pf_child_full_path(dir, block);
    if (!resolved)
        return ENOENT; // no full path; or memory, which the program's look-up meets next
    unsigned long length = 0;
    int refused = pf_work_dir_full_path(resolved, full, &length);
    free(resolved);
    if (refused == 0 && GetFileAttributesW(full) == INVALID_FILE_ATTRIBUTES)
        refused = pf_errno_of_win32(GetLastError());
    return refused;
}
