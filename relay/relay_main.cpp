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

    // 3, 4. Everything the parent asked for.
    struct relay_settings settings = read_settings(narrow, argc, wide);
    int report_fd = settings.report_fd;
    int sync_fd = settings.sync_fd;

    // 5. Standard streams. A parent-named source is closed only when all
    // three are set, since two streams may share it.
    settle_stream_settings(&settings);
    report_fd = keep_channel_off_standard_streams(report_fd);
    sync_fd = keep_channel_off_standard_streams(sync_fd);
    int stream_sources[3];
    for (int target = 0; target < 3; ++target)
        stream_sources[target] =
            apply_stream_setting(settings.streams[target], target,
                                 target == 0 ? RT_O_RDONLY : RT_O_WRONLY);
    close_stream_sources(stream_sources, 3);

    // 6. Working directory; a failure is reported on the inherited channel.
    if (settings.change_dir)
        apply_work_dir(settings.work_dir, report_fd);

    // 7. Other inherited descriptors.
    if (settings.close_fds)
        close_inherited_fds(report_fd, sync_fd);

    // 8. The channels become private so that the child cannot inherit them.
    // A channel that cannot be copied is reported as a bad descriptor: the
    // report channel on its inherited descriptor, the sync channel on the
    // private report descriptor.
    int private_report_fd = make_private_fd(report_fd, RT_O_WRONLY);
    if (private_report_fd < 0)
        report_failure_and_exit(report_fd, RELAY_LAUNCH_FAILED);
    int private_sync_fd = make_private_fd(sync_fd, RT_O_RDONLY);
    if (private_sync_fd < 0)
        report_failure_and_exit(private_report_fd, RELAY_LAUNCH_FAILED);

    // 9, 10. The one file to launch, and the child's quoted vector.
    wchar_t program[RT_PROGRAM_PATH_CAPACITY];
    if (find_program(settings.program, settings.search, program) < 0)
        report_failure_and_exit(private_report_fd, RELAY_LAUNCH_FAILED);
    const wchar_t *launched = program;
    wchar_t **child_argv;
    wchar_t interpreter[RT_PROGRAM_PATH_CAPACITY];
    if (is_batch_file(program)) {
        // The platform would run the script through the interpreter with the
        // arguments as they are, where they could run commands of their own;
        // the relay starts the interpreter itself. The script has no argument
        // zero of its own: the interpreter gives it the script's path.
        if (rt_interpreter_path(interpreter) < 0)
            report_failure_and_exit(private_report_fd, RELAY_LAUNCH_FAILED);
        wchar_t **script_args = settings.child_args[0] ? settings.child_args + 1 : settings.child_args;
        child_argv = build_batch_argv(interpreter, program, script_args);
        if (!child_argv)
            report_failure_and_exit(private_report_fd, RELAY_LAUNCH_FAILED);
        launched = interpreter;
    } else {
        child_argv = build_child_argv(settings.child_args);
    }

    // 11. Launch, report and wait for the release.
    launch_and_report(private_report_fd, private_sync_fd, settings.wait, launched, child_argv);

    // 12.
    return 0;
}
