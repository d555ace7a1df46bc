// The library's own view of a program name, for the words about a start:
// the same joining the relay does once it stands in its directory.
#ifndef PROCFERRY_PARENT_FIND_PROGRAM_H
#define PROCFERRY_PARENT_FIND_PROGRAM_H

#include <wchar.h>

// The full path program names as the relay takes it from dir (NULL: the
// current directory), without looking at the disk; NULL when out of memory.
// The caller frees it.
wchar_t *pf_program_in_dir(const wchar_t *program, const wchar_t *dir);

#endif
