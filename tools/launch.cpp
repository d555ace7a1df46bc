// One launch through the relay: open the stream files, start the relay, read
// its record, release it, and put the result in words.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "procferry_run.h"
#include "relay.h"

using parent::relay_session;

// Waiting for the relay to end once it has been released (or has failed)
// takes milliseconds; this only bounds a relay that misbehaves.
static const int RELAY_EXIT_WAIT_MS = 10000;
// "No timeout": the record deadline is a tick count, so stay well inside its range.
static const int NO_TIMEOUT_MS = 0x7fffffff;

std::string errno_name(int error)
{
    static const struct {
        int number;
        const char *name;
    } names[] = {
#define NAME(e) {e, #e}
        NAME(EPERM),  NAME(ENOENT),  NAME(ESRCH),   NAME(EINTR),  NAME(EIO),
        NAME(ENXIO),  NAME(E2BIG),   NAME(ENOEXEC), NAME(EBADF),  NAME(ECHILD),
        NAME(EAGAIN), NAME(ENOMEM),  NAME(EACCES),  NAME(EFAULT), NAME(EBUSY),
        NAME(EEXIST), NAME(EXDEV),   NAME(ENODEV),  NAME(ENOTDIR), NAME(EISDIR),
        NAME(EINVAL), NAME(ENFILE),  NAME(EMFILE),  NAME(ENOTTY), NAME(EFBIG),
        NAME(ENOSPC), NAME(ESPIPE),  NAME(EROFS),   NAME(EMLINK), NAME(EPIPE),
        NAME(EDOM),   NAME(ERANGE),  NAME(EDEADLK), NAME(ENAMETOOLONG),
        NAME(ENOLCK), NAME(ENOSYS),  NAME(ENOTEMPTY), NAME(EILSEQ),
#undef NAME
    };
    for (const auto &entry : names)
        if (entry.number == error)
            return entry.name;
    return "E" + std::to_string(error);
}

static std::string describe_errno(int error)
{
    return std::string(strerror(error)) + " (errno " + std::to_string(error) + ")";
}

static int open_stream_file(const stream_choice &choice, int target)
{
    int flags = _O_BINARY;
    if (target == 0)
        flags |= _O_RDONLY;
    else
        flags |= _O_WRONLY | _O_CREAT | (choice.append ? _O_APPEND : _O_TRUNC);
    // Without _O_NOINHERIT: the relay must inherit the descriptor to use it.
    return _wopen(choice.path.c_str(), flags, _S_IREAD | _S_IWRITE);
}

// Descriptors this tool opened for the relay; closed once the relay holds
// its own copies, so that only the relay and the child keep the files open.
struct handed_over {
    int fds[5] = {-1, -1, -1, -1, -1};
    int count = 0;
    int add(int fd) { return fds[count++] = fd; }
    void close_all()
    {
        for (int i = 0; i < count; ++i)
            if (fds[i] >= 0)
                _close(fds[i]);
        count = 0;
    }
};

// stderr joins stdout through a descriptor of its own. Naming stdout's source
// twice, or "1" for stderr, would leave it to the relay whether it closes a
// source after its first use, and one that does would cut off stdout.
static std::string stderr_like_stdout(const std::string &stdout_position, handed_over &fds)
{
    if (stdout_position == "z")
        return "z";
    int source = stdout_position == "-" ? 1 : atoi(stdout_position.c_str());
    int copy = _dup(source);
    return copy < 0 ? "-" : std::to_string(fds.add(copy));
}

// Fills the three stream positions of the request. Returns the target (0 to
// 2) of a file that could not be opened, or -1.
static int prepare_streams(run_options &options, handed_over &fds)
{
    std::string *positions[3] = {&options.request.stdin_spec, &options.request.stdout_spec,
                                 &options.request.stderr_spec};
    for (int target = 0; target < 3; ++target) {
        const stream_choice &choice = options.streams[target];
        if (choice.kind == stream_choice::inherit) {
            *positions[target] = "-";
        } else if (choice.kind == stream_choice::null_device) {
            *positions[target] = "z";
        } else {
            int fd = open_stream_file(choice, target);
            if (fd < 0)
                return target;
            *positions[target] = std::to_string(fds.add(fd));
        }
    }
    if (options.stderr_to_stdout)
        options.request.stderr_spec = stderr_like_stdout(options.request.stdout_spec, fds);
    return -1;
}

// The relay's own stderr is where a failed check of its command line is
// reported. To show that report, the relay gets a pipe as stderr, and a child
// that is to inherit this tool's stderr gets it by descriptor number instead.
// Returns this tool's end of the pipe, or -1 when nothing is captured.
static int capture_relay_stderr(run_options &options, handed_over &fds)
{
    if (options.request.stderr_spec == "-") {
        int own_stderr = _dup(2);
        if (own_stderr < 0)
            return -1; // no stderr to hand on; the relay inherits the lack of it
        options.request.stderr_spec = std::to_string(fds.add(own_stderr));
    }
    parent::inheritable_pipe pipe = parent::make_inheritable_pipe(false);
    if (pipe.parent_end < 0)
        return -1;
    options.request.relay_stderr_fd = fds.add(pipe.child_end);
    return pipe.parent_end;
}

static std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

static void describe_record(launch_outcome &outcome, bool wait)
{
    const parent::record_result &record = outcome.record;
    char text[160];
    switch (record.code) {
    case RELAY_OK:
        if (wait) {
            outcome.kind = outcome_kind::exited;
            outcome.exit_status = record.value;
            snprintf(text, sizeof text, "launched: child exited with status %d", (int)record.value);
            // Windows exception codes read better in hex.
            if ((uint32_t)record.value >= 0xC0000000u)
                snprintf(text + strlen(text), sizeof text - strlen(text), " (0x%08x)",
                         (unsigned)record.value);
        } else {
            outcome.kind = outcome_kind::running;
            outcome.exit_status = 0;
            snprintf(text, sizeof text, "launched: running, handle 0x%x; released the relay",
                     (unsigned)record.value);
        }
        outcome.message = text;
        break;
    case RELAY_DIR_FAILED:
        outcome.kind = outcome_kind::dir_failed;
        outcome.error = record.value;
        outcome.exit_status = RUN_EXIT_DIR_FAILED;
        outcome.message = "directory change failed: " + describe_errno(record.value);
        break;
    case RELAY_LAUNCH_FAILED:
        outcome.kind = outcome_kind::launch_failed;
        outcome.error = record.value;
        outcome.exit_status = RUN_EXIT_LAUNCH_FAILED;
        outcome.message = "launch failed: " + describe_errno(record.value);
        break;
    default:
        outcome.kind = outcome_kind::no_report;
        outcome.exit_status = RUN_EXIT_NO_REPORT;
        snprintf(text, sizeof text, "relay sent an unknown record: code %d, value %d",
                 (int)record.code, (int)record.value);
        outcome.message = text;
    }
}

static void describe_missing_record(launch_outcome &outcome)
{
    outcome.kind = outcome_kind::no_report;
    outcome.exit_status = RUN_EXIT_NO_REPORT;
    std::string status = "relay exit status " + std::to_string(outcome.relay_exit_status);
    if (outcome.record.bytes > 0)
        outcome.message = "relay sent only " + std::to_string(outcome.record.bytes) +
                          " bytes of its record (" + status + ")";
    else if (!outcome.relay_stderr.empty())
        outcome.message = "relay check failed (no report): " + outcome.relay_stderr;
    else
        outcome.message = "relay ended without a report (" + status + ")";
}

launch_outcome run_launch(run_options &options)
{
    launch_outcome outcome;
    handed_over fds;
    int failed_stream = prepare_streams(options, fds);
    if (failed_stream >= 0) {
        static const char *const names[3] = {"--stdin", "--stdout", "--stderr"};
        outcome.kind = outcome_kind::stream_not_opened;
        outcome.error = errno;
        outcome.exit_status = RUN_EXIT_STREAM_NOT_OPENED;
        outcome.message = std::string("cannot open the file of ") + names[failed_stream] + " " +
                          parent::wide_to_utf8(options.streams[failed_stream].path) + ": " +
                          describe_errno(outcome.error);
        fds.close_all();
        return outcome;
    }
    int relay_stderr = capture_relay_stderr(options, fds);

    relay_session session;
    bool started = parent::start_relay(options.request, session);
    fds.close_all();
    outcome.command_line = session.command_line;
    if (options.verbose) {
        fprintf(stderr, "relay program: %s\nrelay command line: %s\n",
                parent::wide_to_utf8(options.request.relay).c_str(),
                parent::wide_to_utf8(session.command_line).c_str());
        fflush(stderr);
    }

    if (!started) {
        outcome.kind = outcome_kind::relay_not_started;
        outcome.error = session.spawn_errno;
        outcome.exit_status = RUN_EXIT_RELAY_NOT_STARTED;
        outcome.message = "relay could not be started: " + describe_errno(session.spawn_errno) +
                          ": " + parent::wide_to_utf8(options.request.relay);
    } else {
        int timeout = options.timeout_ms > 0 ? options.timeout_ms : NO_TIMEOUT_MS;
        outcome.record = parent::read_record(session, timeout);
        if (outcome.record.bytes < 0) {
            // wait_relay_exit stops a relay that has not ended.
            parent::wait_relay_exit(session, 0);
            outcome.kind = outcome_kind::timed_out;
            outcome.exit_status = RUN_EXIT_TIMED_OUT;
            outcome.message = "relay timed out: no record after " +
                              std::to_string(options.timeout_ms) +
                              " ms; stopped the relay (a child it started may still run)";
        } else {
            parent::release_relay(session);
            outcome.relay_exit_status = parent::wait_relay_exit(session, RELAY_EXIT_WAIT_MS);
            if (outcome.record.bytes == 8) {
                describe_record(outcome, options.request.wait);
            } else {
                if (relay_stderr >= 0)
                    outcome.relay_stderr =
                        trimmed(parent::read_pipe_until_eof(relay_stderr, 2000));
                describe_missing_record(outcome);
            }
        }
    }
    if (relay_stderr >= 0)
        _close(relay_stderr);
    parent::close_session(session);
    return outcome;
}

static std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

static const char *kind_name(outcome_kind kind)
{
    switch (kind) {
    case outcome_kind::exited: return "exited";
    case outcome_kind::running: return "running";
    case outcome_kind::dir_failed: return "dir_failed";
    case outcome_kind::launch_failed: return "launch_failed";
    case outcome_kind::no_report: return "no_report";
    case outcome_kind::timed_out: return "timed_out";
    case outcome_kind::relay_not_started: return "relay_not_started";
    case outcome_kind::stream_not_opened: return "stream_not_opened";
    }
    return "?";
}

static const char *code_name(int32_t code)
{
    switch (code) {
    case RELAY_OK: return "RELAY_OK";
    case RELAY_DIR_FAILED: return "RELAY_DIR_FAILED";
    case RELAY_LAUNCH_FAILED: return "RELAY_LAUNCH_FAILED";
    }
    return nullptr;
}

void print_outcome(const run_options &options, const launch_outcome &outcome)
{
    if (!options.json) {
        if (options.verbose && outcome.relay_exit_status != -1000)
            fprintf(stderr, "relay exit status: %d\n", outcome.relay_exit_status);
        fprintf(stderr, "%s\n", outcome.message.c_str());
        fflush(stderr);
        return;
    }
    bool has_record = outcome.record.bytes == 8;
    const char *name = has_record ? code_name(outcome.record.code) : nullptr;
    std::string json = "{\"outcome\":\"" + std::string(kind_name(outcome.kind)) + "\"";
    json += ",\"code\":" + (has_record ? std::to_string(outcome.record.code) : "null");
    json += ",\"code_name\":" + (name ? json_string(name) : "null");
    json += ",\"value\":" + (has_record ? std::to_string(outcome.record.value) : "null");
    json += ",\"errno\":" + (outcome.error ? std::to_string(outcome.error) : "null");
    json += ",\"errno_name\":" + (outcome.error ? json_string(errno_name(outcome.error)) : "null");
    json += ",\"relay_exit_status\":" + (outcome.relay_exit_status != -1000
                                             ? std::to_string(outcome.relay_exit_status)
                                             : "null");
    json += ",\"message\":" + json_string(outcome.message);
    json += ",\"relay\":" + json_string(parent::wide_to_utf8(options.request.relay));
    json += ",\"command_line\":" + json_string(parent::wide_to_utf8(outcome.command_line));
    json += ",\"exit_status\":" + std::to_string(outcome.exit_status) + "}\n";
    fwrite(json.data(), 1, json.size(), stdout);
    fflush(stdout);
}
