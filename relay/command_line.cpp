// Reading the relay's command line into its settings: numbers with the
// runtime's atoi rules, letters by their first character, the directory
// position by its whole wide text, and the wide positions, which may be fewer
// than the narrow ones.
#include "relay_internal.h"
#include "runtime.h"

// The argv-zero marker is the last character of position 1: the child's
// vector then starts after the program path instead of at it.
static bool has_argv0_marker(const char *report_fd_text)
{
    if (report_fd_text[0] == '\0')
        return false;
    const char *last = report_fd_text;
    while (last[1] != '\0')
        ++last;
    return *last == RELAY_ARGV0_MARKER;
}

static struct stream_setting read_stream_setting(const char *text)
{
    struct stream_setting setting = {STREAM_INHERIT, -1};
    if (text[0] == RELAY_STREAM_INHERIT)
        return setting;
    if (text[0] == RELAY_STREAM_NULL) {
        setting.kind = STREAM_NULL;
        return setting;
    }
    setting.kind = STREAM_FD;
    setting.fd = rt_atoi(text);
    return setting;
}

// The narrow view is built with wildcard expansion and the wide one without,
// so the wide view can be the shorter; a position it does not hold is absent
// and nothing past its null entry is read.
static const wchar_t *wide_position(wchar_t **wide, int wide_argc, int position)
{
    return position < wide_argc ? wide[position] : 0;
}

struct relay_settings read_settings(char **narrow, int wide_argc, wchar_t **wide)
{
    struct relay_settings settings;
    settings.report_fd = rt_atoi(narrow[ARG_REPORT_FD]);
    settings.sync_fd = rt_atoi(narrow[ARG_SYNC_FD]);
    settings.streams[0] = read_stream_setting(narrow[ARG_STDIN_SETTING]);
    settings.streams[1] = read_stream_setting(narrow[ARG_STDOUT_SETTING]);
    settings.streams[2] = read_stream_setting(narrow[ARG_STDERR_SETTING]);
    // Only "-" itself leaves the directory alone; "-x" is a directory. The
    // wide text decides: the narrow conversion makes '-' of other dashes
    // (U+FF0D, U+2212, U+2010), which name folders.
    settings.work_dir = wide_position(wide, wide_argc, ARG_WORK_DIR);
    const wchar_t *dir_text = settings.work_dir;
    settings.change_dir = !(dir_text && dir_text[0] == RELAY_NO_CHANGE_DIR[0] && dir_text[1] == L'\0');
    // Letters look at the first character only, case-sensitively.
    settings.close_fds = narrow[ARG_CLOSE_FDS][0] == RELAY_YES;
    settings.search = narrow[ARG_SEARCH_PATH][0] == RELAY_YES;
    settings.wait = narrow[ARG_WAIT_MODE][0] == RELAY_WAIT;
    settings.program = wide_position(wide, wide_argc, ARG_TARGET);
    int first_child_arg = ARG_TARGET + (has_argv0_marker(narrow[ARG_REPORT_FD]) ? 1 : 0);
    settings.child_args = first_child_arg < wide_argc ? wide + first_child_arg : wide + wide_argc;
    return settings;
}
