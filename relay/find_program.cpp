// The one file to launch, found by the protocol's rules (rules/) with the
// kernel's file probe, in the current directory, which is DIR by now.
#include "path_probe.h"
#include "relay_internal.h"
#include "runtime.h"

int find_program(const wchar_t *program, bool search, wchar_t *found)
{
    static const struct pf_file_probe probe = {pf_path_probe_kind, pf_path_probe_full_path, 0};
    const wchar_t *path_value = search ? rt_search_path() : 0;
    wchar_t *scratch = (wchar_t *)rt_alloc_n(
        (uint32_t)pf_find_program_scratch(program, path_value), sizeof(wchar_t));
    int error = pf_find_program(program, search, path_value, &probe, scratch, found);
    if (error == 0)
        return 0;
    rt_set_errno(error);
    return -1;
}
