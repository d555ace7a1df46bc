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

// The stages that can fail, by number.
enum stage { STAGE_STREAMS = 5, STAGE_WORK_DIR = 6, STAGE_CHANNELS = 8, STAGE_PROGRAM = 9, STAGE_LAUNCH = 11 };

struct channels {
    int report_fd; // as inherited until stage 8 makes it private
    int sync_fd;
};

// Stages 5 to 11. Returns 0 with the record's value once the child is
// launched, or the stage that failed, with errno set and nothing launched.
static int launch_stages(struct relay_settings *settings, struct channels *channels, int32_t *value)
{
    // 5. Standard streams. A parent-named source is closed only when all
    // three are set, since two streams may share it.
    if (settle_stream_settings(settings) < 0)
        return STAGE_STREAMS;
    channels->report_fd = keep_channel_off_standard_streams(channels->report_fd);
    channels->sync_fd = keep_channel_off_standard_streams(channels->sync_fd);
    int stream_sources[3];
    for (int target = 0; target < 3; ++target)
        stream_sources[target] =
            apply_stream_setting(settings->streams[target], target,
                                 target == 0 ? RT_O_RDONLY : RT_O_WRONLY);
    close_stream_sources(stream_sources, 3);

    // 6. Working directory.
    if (settings->change_dir && apply_work_dir(settings->work_dir) < 0)
        return STAGE_WORK_DIR;

    // 7. Other inherited descriptors.
    if (settings->close_fds)
        close_inherited_fds(channels->report_fd, channels->sync_fd);

    // 8. The channels become private so that the child cannot inherit them;
    // a channel that cannot be copied is a bad descriptor.
    int private_report_fd = make_private_fd(channels->report_fd, RT_O_WRONLY);
    if (private_report_fd < 0)
        return STAGE_CHANNELS;
    channels->report_fd = private_report_fd;
    channels->sync_fd = make_private_fd(channels->sync_fd, RT_O_RDONLY);
    if (channels->sync_fd < 0)
        return STAGE_CHANNELS;

    // 9, 10. The one file to launch, and the child's quoted vector.
    wchar_t program[PF_PROGRAM_PATH_CAPACITY];
    if (find_program(settings->program, settings->search, program) < 0)
        return STAGE_PROGRAM;
    const wchar_t *launched = program;
    wchar_t **child_argv;
    wchar_t interpreter[PF_PROGRAM_PATH_CAPACITY];
    if (pf_is_batch_file(program)) {
        // The platform would run the script through the interpreter with the
        // arguments as they are, where they could run commands of their own;
        // the relay starts the interpreter itself. The script has no argument
        // zero of its own: the interpreter gives it the script's path.
        if (rt_interpreter_path(interpreter) < 0)
            return STAGE_PROGRAM;
        wchar_t **script_args = settings->child_args[0] ? settings->child_args + 1 : settings->child_args;
        child_argv = build_batch_argv(interpreter, program, script_args);
        if (!child_argv)
            return STAGE_PROGRAM;
        launched = interpreter;
    } else {
        child_argv = build_child_argv(settings->child_args);
    }

    // 11. Launch.
    if (launch_child(settings->wait, launched, child_argv, value) < 0)
        return STAGE_LAUNCH;
    return 0;
}

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
    struct channels channels = {settings.report_fd, settings.sync_fd};

    // 5 to 11. A failure is reported on the report channel as it stands:
    // the inherited one before stage 8, the private one after.
    int32_t value = 0;
    int failed_stage = launch_stages(&settings, &channels, &value);
    if (failed_stage != 0) {
        int error = rt_errno();
        send_record(channels.report_fd,
                    failed_stage == STAGE_WORK_DIR ? RELAY_DIR_FAILED : RELAY_LAUNCH_FAILED, error);
        rt_exit(RELAY_EXIT_FAILED);
    }

    // 12. The record, then the release.
    send_record(channels.report_fd, RELAY_OK, value);
    unsigned char release;
    rt_read(channels.sync_fd, &release, 1);
    return RELAY_EXIT_RELEASED;
}
