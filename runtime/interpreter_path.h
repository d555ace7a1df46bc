// The command interpreter that runs a batch file: the relay's and the parent
// library's alike.
#ifndef PROCFERRY_INTERPRETER_PATH_H
#define PROCFERRY_INTERPRETER_PATH_H

#include <wchar.h>

// The interpreter in the system directory, found without a search, in out
// (of PF_PROGRAM_PATH_CAPACITY units): 0, or the errno that says why not
// (ENOENT, ENAMETOOLONG).
int pf_interpreter_path(wchar_t *out);

#endif
