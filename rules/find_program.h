// Finding the one file to launch, by the relay's rules, with what is on disk
// asked of a probe the caller passes in: the relay passes its own, the parent
// library one that takes relative paths against a directory of its caller's
// choosing. Nothing here allocates or calls the platform.
#ifndef PROCFERRY_RULES_FIND_PROGRAM_H
#define PROCFERRY_RULES_FIND_PROGRAM_H

#include <stddef.h>
#include <wchar.h>

// The launch takes a program path whole up to this many units, terminator
// included; a longer one it would cut.
enum { PF_PROGRAM_PATH_CAPACITY = 260 };

enum pf_path_kind {
    PF_PATH_MISSING,
    PF_PATH_DIRECTORY,
    PF_PATH_FILE, // a file (or device) that is not a program image
    PF_PATH_IMAGE // a file that starts like a program image, or cannot be
                  // read; only looked for when asked to, since it means
                  // reading the file
};

struct pf_file_probe {
    // What path (relative to the directory the child starts in) names.
    enum pf_path_kind (*path_kind)(void *context, const wchar_t *path, bool look_for_image);
    // The full path of path in out, of PF_PROGRAM_PATH_CAPACITY units: 0, or
    // ENAMETOOLONG when it does not fit, ENOENT when there is none.
    int (*path_in_full)(void *context, const wchar_t *path, wchar_t *out);
    void *context;
};

// Whether the system runs path as a batch file: by its name, as the file
// system reads it (trailing dots and blanks are not part of a name).
bool pf_is_batch_file(const wchar_t *path);

// Whether name is bare: no drive and no separator. Only a bare name is
// looked for on PATH.
bool pf_is_bare_name(const wchar_t *name);

// Reads the folder at *cursor of a PATH value into folder (which has room
// for the whole value) and moves *cursor past it; false once none is left.
// A double-quoted run belongs to one folder, ';' included, and its quotes
// are not part of the folder's name, as the command interpreter reads PATH.
bool pf_next_path_folder(const wchar_t **cursor, wchar_t *folder, size_t *length);

// Units of scratch space pf_find_program needs for these texts.
size_t pf_find_program_scratch(const wchar_t *program, const wchar_t *path_value);

// The full path of the file to launch for program in found (of
// PF_PROGRAM_PATH_CAPACITY units): with search, a bare name along the
// folders of path_value (null: there is no PATH); else program as given.
// Returns 0, or the errno to report: EINVAL without a program, ENOENT,
// EACCES for a directory, ENOEXEC for a file that is no program,
// ENAMETOOLONG, and EINVAL for a batch file the interpreter cannot open.
int pf_find_program(const wchar_t *program, bool search, const wchar_t *path_value,
                    const struct pf_file_probe *probe, wchar_t *scratch, wchar_t *found);

#endif
