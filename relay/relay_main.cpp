// The relay from start to end: the stages run once each, in this order.
#include "relay_internal.h"
#include "runtime.h"

// A failed check goes to the base library's reporter, which does not return.
// The text names the runtime's own variables, which the parent's maintainers
// know, rather than this file's locals.
#define RELAY_CHECK(condition, text, entry_name)                                   \
    do {                                                                           \
        if (!(condition))                                                          \
            rt_check_failed(__FILE__, __LINE__, entry_name, text);                 \
    } while (0)

int relay_main(const char *entry_name)
{
    // 1. The narrow view must hold every control position.
    int narrow_argc = rt_narrow_argc();
    RELAY_CHECK(narrow_argc >= ARG_COUNT, "__argc >= ARG_COUNT", entry_name);
    char **narrow = rt_narrow_argv();

    // 2. The wide view; the runtime's count is read again after the fetch.
    int argc = 0;
    wchar_t **wide = 0;
    rt_wide_args(&argc, &wide);
    narrow_argc = rt_narrow_argc();
    RELAY_CHECK(argc == narrow_argc, "argc == __argc", entry_name);

    // 3, 4. The channels and where the child's own vector starts.
    int report_fd = rt_atoi(narrow[ARG_REPORT_FD]);
    int first_child_arg = ARG_TARGET + (has_argv0_marker(narrow[ARG_REPORT_FD]) ? 1 : 0);
    int sync_fd = rt_atoi(narrow[ARG_SYNC_FD]);

    // 5. Standard streams. A parent-named source is closed only when all
    // three are set, since two streams may share it.
    report_fd = keep_channel_off_standard_streams(report_fd);
    sync_fd = keep_channel_off_standard_streams(sync_fd);
    int stream_sources[3] = {
        apply_stream_spec(narrow[ARG_STDIN_SETTING], 0, 0 /* read-only */, report_fd, sync_fd),
        apply_stream_spec(narrow[ARG_STDOUT_SETTING], 1, 1 /* write-only */, report_fd, sync_fd),
        apply_stream_spec(narrow[ARG_STDERR_SETTING], 2, 1 /* write-only */, report_fd, sync_fd),
    };
    close_stream_sources(stream_sources, 3);

    // 6. Working directory; a failure is reported on the inherited channel.
    apply_work_dir(narrow[ARG_WORK_DIR], wide_position(wide, argc, ARG_WORK_DIR), report_fd);

    // 7. Other inherited descriptors.
    if (says_yes(narrow[ARG_CLOSE_FDS], 'y'))
        close_inherited_fds(report_fd, sync_fd);

    // 8. The channels become private so that the child cannot inherit them.
    // A channel that cannot be copied is reported as a bad descriptor: the
    // report channel on its inherited descriptor, the sync channel on the
    // private report descriptor.
    int private_report_fd = make_private_fd(report_fd, 1 /* write-only */);
    if (private_report_fd < 0)
        report_failure_and_exit(report_fd, RELAY_LAUNCH_FAILED);
    int private_sync_fd = make_private_fd(sync_fd, 0 /* read-only */);
    if (private_sync_fd < 0)
        report_failure_and_exit(private_report_fd, RELAY_LAUNCH_FAILED);

    // 9. Launch mode.
    bool wait = says_yes(narrow[ARG_WAIT_MODE], 'w');

    // 10. The child's quoted vector.
    wchar_t **child_argv = build_child_argv(wide_run_from(wide, argc, first_child_arg));

    // 11. Launch, report and wait for the release.
    const wchar_t *program = wide_position(wide, argc, ARG_TARGET);
    bool search = says_yes(narrow[ARG_SEARCH_PATH], 'y');
    launch_and_report(private_report_fd, private_sync_fd, wait, search, program, child_argv);

    // 12.
    return 0;
}
