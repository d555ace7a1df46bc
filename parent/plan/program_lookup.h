// The library's own view of a program name, for the words about a start:
// the same joining the relay does once it stands in its directory.
#ifndef PROCFERRY_PARENT_PROGRAM_LOOKUP_H
#define PROCFERRY_PARENT_PROGRAM_LOOKUP_H

#include <wchar.h>

// The full path program names as the relay takes it from dir (NULL: the
// current directory), without looking at the disk; NULL when out of memory.
// The caller frees it.
wchar_t *pf_program_in_dir(const wchar_t *program, const wchar_t *dir);

// The directory a start names (dir) as the child's full path, in full
// (WORK_DIR_PATH_CAPACITY units), as the child's environment block (NULL:
// the caller's own) reads it; a verbatim path in its plain form. Returns 0,
// or the errno that refuses it, as the runtime's table maps the system's
// error (ENOENT, EINVAL for a name the file system cannot hold, ENOTDIR,
// ENAMETOOLONG).
int pf_child_directory(const wchar_t *dir, const wchar_t *block, wchar_t *full);

// The full path of dir as a child given the block (NULL: the caller's own)
// reads it, from malloc; NULL when out of memory. A verbatim path in its
// plain form.
wchar_t *pf_child_full_path(const wchar_t *dir, const wchar_t *block);

#endif
