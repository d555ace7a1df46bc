// What a start that did not run its program found out, for its words: the
// program's name as the finder reads it, what a bare name is in the start
// directory, the child's PATH, the directory and the relay's paths in full.
// Looked at once, here, when the start ends so; the words only tell it.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "launch_plan.h"
#include "program_lookup.h"

namespace {

int found_kind(int finder_error)
{
    switch (finder_error) {
    case 0:
        return PROCFERRY_FOUND_PROGRAM;
    case EACCES:
        return PROCFERRY_FOUND_DIRECTORY;
    case ENOEXEC:
        return PROCFERRY_FOUND_OTHER_FILE;
    }
    return PROCFERRY_FOUND_NOTHING;
}

void keep_path(wchar_t *kept, const wchar_t *path)
{
    size_t length = path ? wcslen(path) : 0;
    if (length >= PROCFERRY_PATH_SIZE)
        length = 0; // too long to keep whole: not kept
    memcpy(kept, path, length * sizeof(wchar_t));
    kept[length] = 0;
}

int child_path_state(const wchar_t *block)
{
    if (block) {
        const wchar_t *value = pf_block_value(block, L"PATH");
        return !value ? PROCFERRY_PATH_ABSENT : *value ? PROCFERRY_PATH_SET : PROCFERRY_PATH_EMPTY;
    }
    wchar_t first[2];
    SetLastError(ERROR_SUCCESS);
    if (GetEnvironmentVariableW(L"PATH", first, 2) > 0)
        return PROCFERRY_PATH_SET;
    return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? PROCFERRY_PATH_ABSENT : PROCFERRY_PATH_EMPTY;
}

} // namespace

void pf_find_out(const pf_plan &plan, int kind, procferry_findings *found)
{
    memset(found, 0, sizeof *found);
    if (plan.given_dir) {
        wchar_t *full = pf_child_full_path(plan.given_dir, plan.environment);
        keep_path(found->dir_path, full);
        free(full);
    }
    if (kind == PROCFERRY_LAUNCH_FAILED && plan.program) {
        bool search = pf_searches(plan.flags);
        found->child_path = child_path_state(plan.environment);
        wchar_t *joined = pf_program_in_dir(plan.program, plan.directory);
        keep_path(found->program_path, joined);
        free(joined);
        wchar_t path[PF_PROGRAM_PATH_CAPACITY];
        int error = pf_find_program_in_block(plan.program, plan.directory, plan.environment, search, path,
                                             PF_PROGRAM_PATH_CAPACITY);
        found->program = found_kind(error);
        found->batch = error == 0 ? pf_is_batch_file(path) : error == EINVAL && pf_is_batch_file(plan.program);
        // A bare name looked for on PATH alone may still sit in the start
        // directory.
        if (search && error == ENOENT && pf_is_bare_name(plan.program))
            found->in_start_dir = found_kind(
                procferry_find_program(plan.program, plan.directory, nullptr, 0, path, PF_PROGRAM_PATH_CAPACITY));
    }
    if (plan.asked_relay) {
        wchar_t *relay = pf_default_relay(plan.flags);
        found->default_relay_units = relay ? (uint32_t)wcslen(relay) : 0;
        free(relay);
        // The system starts a program by its long form, which may be longer
        // than a short (8.3) form given.
        const wchar_t *used = plan.relay;
        size_t units = used ? wcslen(used) : 0;
        DWORD long_form = used ? GetLongPathNameW(used, nullptr, 0) : 0;
        found->relay_units = (uint32_t)(long_form > units + 1 ? long_form - 1 : units);
    }
}
