// What a directory must be for a child to be started in it, asked of the
// kernel alone: the relay checks it before it changes into the directory,
// the parent library before it names the directory in a direct start.
#ifndef PROCFERRY_WORK_DIR_H
#define PROCFERRY_WORK_DIR_H

#include <wchar.h>

// Room for a full path as pf_work_dir_full_path writes it, terminator included.
enum { WORK_DIR_PATH_CAPACITY = 261 };

// The full path of path as a child's directory, without a trailing separator
// (a drive's root apart), in full, and its length in *length. Returns 0, or
// the errno that refuses it: ENOENT when it has no full path, ENAMETOOLONG
// when a child cannot be given one that long, ENOTDIR for a file or a
// device. A directory that is not there passes: the change itself says so.
int pf_work_dir_full_path(const wchar_t *path, wchar_t *full, unsigned long *length);

#endif
