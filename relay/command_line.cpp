// Reading the relay's command line: letter tests, the argv-zero marker and
// the wide positions, which may be fewer than the narrow ones.
#include "relay_internal.h"

// The argv-zero marker: position 1 ends in "#". The child's vector then starts
// after the program path instead of at it.
bool has_argv0_marker(const char *report_fd_text)
{
    if (report_fd_text[0] == '\0')
        return false;
    const char *last = report_fd_text;
    while (last[1] != '\0')
        ++last;
    return *last == '#';
}

// Letter options look at the first character only, case-sensitively.
bool says_yes(const char *text, char letter)
{
    return text[0] == letter;
}

// Only the text "-" itself leaves the directory alone; "-x" is a directory.
bool is_no_change_dir(const char *work_dir_text)
{
    return work_dir_text[0] == '-' && work_dir_text[1] == '\0';
}

// The narrow view is built with wildcard expansion and the wide one without,
// so the wide view can be the shorter; a position it does not hold is absent
// and nothing past its null entry is read.
const wchar_t *wide_position(wchar_t **wide_argv, int wide_argc, int position)
{
    return position < wide_argc ? wide_argv[position] : 0;
}

wchar_t **wide_run_from(wchar_t **wide_argv, int wide_argc, int position)
{
    return position < wide_argc ? wide_argv + position : wide_argv + wide_argc;
}
