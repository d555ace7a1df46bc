// What a path names on disk, asked of the kernel alone: the file probe the
// relay's program search uses, and the parent library's too, so that both
// judge a file alike. Paths are taken against the current directory; the
// context is not used.
#ifndef PROCFERRY_PATH_PROBE_H
#define PROCFERRY_PATH_PROBE_H

#include "rules/find_program.h"

enum pf_path_kind pf_path_probe_kind(void *context, const wchar_t *path, bool look_for_image);
int pf_path_probe_full_path(void *context, const wchar_t *path, wchar_t *out);

#endif
