// The names of kinds, of what ended a child, of a stop's outcomes and of
// the flags: for logs, for JSON and for the C++ layer's enums.
#include "procferry/parent.h"

namespace {

template <size_t N>
const char *named(const char *const (&names)[N], int value)
{
    return value >= 0 && value < (int)N ? names[value] : "unknown";
}

} // namespace

const char *procferry_kind_name(int kind)
{
    static const char *const names[] = {
        "none",           "exited",      "started",       "dir_failed",
        "launch_failed",  "invalid_argument", "relay_missing", "relay_crashed",
        "check_report",   "timed_out",   "bad_record",    "system_error",
        "cancelled"};
    return named(names, kind);
}

const char *procferry_ended_by_name(int ended_by)
{
    static const char *const names[] = {"by_itself", "at_time_limit", "on_cancel", "on_kill",
                                        "on_stop",   "with_pipeline", "left_running"};
    return named(names, ended_by);
}

const char *procferry_stopped_name(int stopped)
{
    static const char *const names[] = {"none", "when_asked", "by_kill", "unasked", "cancelled"};
    return stopped == 0 ? "unknown" : named(names, stopped);
}

const char *procferry_flag_name(uint32_t flag)
{
    static const char *const names[] = {"no_wait",       "argv0",          "gui_relay",
                                        "no_job",        "kill_on_close",  "clear_env",
                                        "binary_streams", "relay",         "no_window",
                                        "new_process_group", "no_search_path", "overlapped_pipes"};
    // One flag, by its bit.
    if (flag == 0 || (flag & (flag - 1)) != 0)
        return "unknown";
    int bit = 0;
    while (!(flag & 1u)) {
        flag >>= 1;
        ++bit;
    }
    return named(names, bit);
}
