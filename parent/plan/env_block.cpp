// The child's environment block: the caller's (or none) with the start's
// changes applied, sorted as the system keeps it.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"

namespace {

// Units of an entry's name: up to the first '=' past its first unit, so
// that the "=C:=C:\dir" entries, which hold each drive's directory, have
// the name "=C:".
size_t name_length(const wchar_t *entry)
{
    const wchar_t *equals = entry[0] ? wcschr(entry + 1, L'=') : nullptr;
    return equals ? (size_t)(equals - entry) : wcslen(entry);
}

// Names compare as the system compares them: by units, without regard to case.
int compare_names(const wchar_t *a, size_t a_length, const wchar_t *b, size_t b_length)
{
    int order = CompareStringOrdinal(a, (int)a_length, b, (int)b_length, TRUE);
    return order - CSTR_EQUAL;
}

struct entry_list {
    const wchar_t **items = nullptr;
    size_t count = 0, capacity = 0;
    bool append(const wchar_t *entry)
    {
        if (count == capacity) {
            size_t wanted = capacity ? capacity * 2 : 64;
            const wchar_t **grown = (const wchar_t **)realloc(items, wanted * sizeof *items);
            if (!grown)
                return false;
            items = grown;
            capacity = wanted;
        }
        items[count++] = entry;
        return true;
    }
    void remove_name(const wchar_t *name, size_t length)
    {
        size_t kept = 0;
        for (size_t i = 0; i < count; ++i)
            if (compare_names(items[i], name_length(items[i]), name, length) != 0)
                items[kept++] = items[i];
        count = kept;
    }
    ~entry_list() { free(items); }
};

int by_name(const void *a, const void *b)
{
    const wchar_t *left = *(const wchar_t *const *)a, *right = *(const wchar_t *const *)b;
    int order = compare_names(left, name_length(left), right, name_length(right));
    return order ? order : wcscmp(left, right);
}

} // namespace

bool pf_env_entry_valid(const wchar_t *entry)
{
    if (!entry)
        return false;
    size_t length = name_length(entry);
    return length > 0 && !(length == 1 && entry[0] == L'=');
}

const wchar_t *pf_block_value(const wchar_t *block, const wchar_t *name)
{
    size_t length = wcslen(name);
    for (const wchar_t *entry = block; *entry; entry += wcslen(entry) + 1)
        if (name_length(entry) == length && entry[length] == L'=' &&
            compare_names(entry, length, name, length) == 0)
            return entry + length + 1;
    return nullptr;
}

int pf_build_environment(const wchar_t *const *changes, size_t change_count, bool clear,
                         wchar_t **block)
{
    *block = nullptr;
    for (size_t i = 0; i < change_count; ++i) {
        if (!pf_env_entry_valid(changes[i]))
            return EINVAL;
        // The system keeps a variable of at most this many units with its
        // terminator; a longer one would reach the child cut.
        size_t length = name_length(changes[i]);
        if (changes[i][length] == L'=' && wcslen(changes[i] + length + 1) + 1 > ENV_VALUE_LIMIT)
            return E2BIG;
    }
    wchar_t *own = GetEnvironmentStringsW();
    entry_list entries;
    bool ok = true;
    for (const wchar_t *entry = own; ok && entry && *entry; entry += wcslen(entry) + 1) {
        // Windows' own libraries in the child need to know where the system
        // lives: a cleared environment keeps these unless the changes name them.
        size_t length = name_length(entry);
        if (!clear || compare_names(entry, length, L"SYSTEMROOT", 10) == 0 ||
            compare_names(entry, length, L"SYSTEMDRIVE", 11) == 0)
            ok = entries.append(entry);
    }
    for (size_t i = 0; ok && i < change_count; ++i) {
        const wchar_t *change = changes[i];
        size_t length = name_length(change);
        entries.remove_name(change, length);
        if (change[length] == L'=')
            ok = entries.append(change);
    }
    if (ok)
        qsort(entries.items, entries.count, sizeof *entries.items, by_name);
    size_t units = 1;
    for (size_t i = 0; ok && i < entries.count; ++i)
        units += wcslen(entries.items[i]) + 1;
    // An empty block is two zeros.
    wchar_t *built = ok ? (wchar_t *)malloc((units + 1) * sizeof(wchar_t)) : nullptr;
    if (built) {
        wchar_t *at = built;
        for (size_t i = 0; i < entries.count; ++i) {
            size_t length = wcslen(entries.items[i]) + 1;
            memcpy(at, entries.items[i], length * sizeof(wchar_t));
            at += length;
        }
        at[0] = at[1] = 0;
    }
    if (own)
        FreeEnvironmentStringsW(own);
    *block = built;
    return built ? 0 : ENOMEM;
}
