// One run through the parent library: the stream files, the start, the wait
// with its timeout, and the outcome's facts. The library starts the relay
// and everything after it in a job of the start's own, so ending the child
// at the timeout ends what it started too: a shell or script host leaves
// the real work to processes of its own, which would otherwise run on
// unseen, holding the console and any pipe of ours.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "run.h"

// After a kill the child is gone within milliseconds; this bounds one that
// is not, so that the tool itself never hangs.
static const DWORD KILLED_CHILD_WAIT_MS = 5000;

// Descriptors this tool opened for the child's streams; the library hands
// the relay copies of its own, so these are private and closed after the start.
struct stream_files {
    int fds[3] = {-1, -1, -1};
    ~stream_files()
    {
        for (int fd : fds)
            if (fd >= 0)
                _close(fd);
    }
};

// A file to append to is opened for appending only: the kernel then puts
// every write at the end, whoever holds a copy of the handle. The runtime's
// own append mode lives in a descriptor flag, which does not travel with a
// handle passed on.
static int open_for_append(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
                : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES
                                                                                   : EINVAL;
        return -1;
    }
    int fd = _open_osfhandle((intptr_t)file, _O_WRONLY | _O_APPEND | _O_BINARY | _O_NOINHERIT);
    if (fd < 0)
        CloseHandle(file);
    return fd;
}

// Fills the three streams of the start. Returns the target (0 to 2) of a file
// that could not be opened, with errno set, or -1.
static int prepare_streams(const run_options &options, procferry_options &start,
                           stream_files &files)
{
    for (int target = 0; target < 3; ++target) {
        const stream_choice &choice = options.streams[target];
        procferry_stream &stream = start.streams[target];
        if (choice.kind == stream_choice::null_device) {
            stream.kind = PROCFERRY_STREAM_NULL;
        } else if (choice.kind == stream_choice::file) {
            int flags = _O_BINARY | _O_NOINHERIT |
                        (target == 0 ? _O_RDONLY : _O_WRONLY | _O_CREAT | _O_TRUNC);
            files.fds[target] = choice.append ? open_for_append(choice.path)
                                              : _wopen(choice.path.c_str(), flags,
                                                       _S_IREAD | _S_IWRITE);
            if (files.fds[target] < 0)
                return target;
            stream.kind = PROCFERRY_STREAM_FD;
            stream.fd = files.fds[target];
        }
    }
    if (options.stderr_to_stdout)
        start.streams[2].kind = PROCFERRY_STREAM_STDOUT;
    return -1;
}

// This tool's own terminal's size, or 80x25 without one.
static procferry_console_size terminal_size()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return {80, 25};
    return {(uint16_t)(info.srWindow.Right - info.srWindow.Left + 1),
            (uint16_t)(info.srWindow.Bottom - info.srWindow.Top + 1)};
}

// --tty: the console's screen to this tool's stdout until the console ends,
// and this tool's stdin to its keyboard for as long as both last.
static DWORD WINAPI pass_screen(void *screen)
{
    char bytes[4096];
    long count;
    DWORD written;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while ((count = procferry_pipe_read(screen, bytes, sizeof bytes)) > 0)
        WriteFile(out, bytes, (DWORD)count, &written, nullptr);
    procferry_pipe_close(screen);
    return 0;
}

static DWORD WINAPI pass_keys(void *keys)
{
    char bytes[4096];
    DWORD count;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), bytes, sizeof bytes, &count, nullptr) && count > 0)
        if (procferry_pipe_write(keys, bytes, count) != 0)
            break;
    return 0;
}

procferry_options start_options(const run_options &options, std::vector<const wchar_t *> &args,
                                std::vector<const wchar_t *> &env)
{
    procferry_options start;
    procferry_options_init(&start);
    args.clear();
    if (options.has_argv0)
        args.push_back(options.argv0.c_str());
    for (const std::wstring &arg : options.args)
        args.push_back(arg.c_str());
    env.clear();
    for (const std::wstring &entry : options.env)
        env.push_back(entry.c_str());
    start.relay = options.relay.empty() ? nullptr : options.relay.c_str();
    start.program = options.program.c_str();
    start.args = args.data();
    start.arg_count = args.size();
    start.dir = options.has_dir ? options.dir.c_str() : nullptr;
    start.env = env.data();
    start.env_count = env.size();
    // The relay does not wait: this tool holds the child's process, learns
    // its id, and ends its tree at the timeout rather than just stop waiting.
    // This tool shows the relay at work, so it takes the relay unless told not to.
    start.flags = PROCFERRY_NO_WAIT | (options.direct ? 0 : PROCFERRY_RELAY) |
                  (options.search_path ? 0 : PROCFERRY_NO_SEARCH_PATH) |
                  (options.has_argv0 ? PROCFERRY_ARGV0 : 0) |
                  (options.gui_relay && !options.direct ? PROCFERRY_GUI_RELAY : 0) |
                  (options.clear_env ? PROCFERRY_CLEAR_ENV : 0) |
                  (options.has_kill_after && !options.close_windows ? PROCFERRY_NEW_PROCESS_GROUP : 0);
    start.timeout_ms = options.timeout_ms ? options.timeout_ms : PROCFERRY_INFINITE;
    if (options.tty)
        start.console = terminal_size();
    return start;
}

static uint32_t remaining_ms(uint32_t timeout_ms, ULONGLONG started)
{
    if (timeout_ms == 0)
        return PROCFERRY_INFINITE;
    ULONGLONG spent = GetTickCount64() - started;
    return spent >= timeout_ms ? 0 : (uint32_t)(timeout_ms - spent);
}

// Waits for the child until the timeout; past it, ends the child's tree.
static void follow_child(const run_options &options, procferry_child *child, ULONGLONG started,
                         launch_outcome &outcome)
{
    uint32_t status = 0;
    int waited = procferry_child_wait(child, remaining_ms(options.timeout_ms, started), &status);
    if (waited == PROCFERRY_TIMED_OUT) {
        if (options.has_kill_after) {
            outcome.stopped = procferry_child_stop(child, options.kill_after_ms, RUN_KILLED_CHILD_STATUS);
            outcome.killed = outcome.stopped == PROCFERRY_STOPPED_BY_KILL || outcome.stopped == PROCFERRY_STOPPED_UNASKED;
        } else
            procferry_child_kill(child, RUN_TIMEOUT_CHILD_STATUS);
        waited = procferry_child_wait(child, KILLED_CHILD_WAIT_MS, &status);
        outcome.timed_out = true;
    }
    outcome.ended = waited == 0;
    outcome.exit_status = (int32_t)status;
}

std::wstring program_to_launch(const run_options &options, const std::wstring &start_dir)
{
    std::vector<const wchar_t *> env;
    for (const std::wstring &entry : options.env)
        env.push_back(entry.c_str());
    wchar_t found[MAX_PATH + 1];
    bool known = procferry_find_program_with_env(options.program.c_str(), start_dir.c_str(),
                                                 env.data(), env.size(), options.clear_env,
                                                 options.search_path, found, MAX_PATH + 1) == 0;
    return known ? std::wstring(found) : options.program;
}

// The library's default relay, which the run starts when none is named.
static std::wstring default_relay(bool gui)
{
    uint32_t flags = gui ? PROCFERRY_GUI_RELAY : PROCFERRY_RELAY;
    std::wstring path(procferry_default_relay(flags, nullptr, 0), L'\0');
    procferry_default_relay(flags, &path[0], path.size() + 1);
    return path;
}

launch_outcome run_launch(const run_options &options)
{
    launch_outcome outcome;
    outcome.started_at = GetTickCount64();
    std::wstring start_dir = full_path(options.has_dir ? options.dir : L".");
    outcome.program = program_to_launch(options, start_dir);
    if (!options.direct)
        outcome.relay = !options.relay.empty() ? full_path(options.relay)
                                               : default_relay(options.gui_relay);

    std::vector<const wchar_t *> args, env;
    procferry_options start = start_options(options, args, env);
    std::vector<wchar_t> command_line(PROCFERRY_COMMAND_TEXT_LIMIT + 1);
    start.command_line = command_line.data();
    start.command_line_capacity = command_line.size();
    stream_files files;
    outcome.failed_stream = prepare_streams(options, start, files);
    if (outcome.failed_stream >= 0) {
        outcome.error = errno;
        outcome.elapsed_ms = GetTickCount64() - outcome.started_at;
        return outcome;
    }

    procferry_result &result = outcome.result;
    int kind = procferry_start(&start, &result);
    if (result.relay.path[0])
        outcome.relay = result.relay.path;
    if (options.verbose && options.direct) {
        fprintf(stderr, "started directly, without a relay\nchild's command line: %s\n",
                to_utf8(command_line.data()).c_str());
        fflush(stderr);
    } else if (options.verbose) {
        fprintf(stderr, "relay program: %s\nrelay command line: %s\n",
                to_utf8(outcome.relay).c_str(), to_utf8(command_line.data()).c_str());
        if (result.relay.ended)
            fprintf(stderr, "relay exit status: %d\n", (int)result.relay.exit_status);
        fflush(stderr);
    }
    HANDLE screen = nullptr;
    if (kind == PROCFERRY_STARTED && options.tty) {
        // The keys go on as long as stdin gives some; the screen to its end.
        HANDLE keys = CreateThread(nullptr, 0, pass_keys, result.pipes[0], 0, nullptr);
        if (keys)
            CloseHandle(keys);
        screen = CreateThread(nullptr, 0, pass_screen, result.pipes[1], 0, nullptr);
        if (!screen)
            procferry_pipe_close(result.pipes[1]);
    }
    if (kind == PROCFERRY_STARTED && !options.wait) {
        outcome.child = result.child;
    } else if (kind == PROCFERRY_STARTED) {
        follow_child(options, result.child, outcome.started_at, outcome);
        procferry_child_close(result.child);
    }
    // The console ends after the child, and all it showed is passed on first.
    if (screen) {
        WaitForSingleObject(screen, INFINITE);
        CloseHandle(screen);
    }
    outcome.elapsed_ms = GetTickCount64() - outcome.started_at;
    return outcome;
}

bool end_child_at_timeout(const run_options &options, launch_outcome &outcome)
{
    if (!outcome.child)
        return false;
    follow_child(options, outcome.child, outcome.started_at, outcome);
    procferry_child_close(outcome.child);
    outcome.child = nullptr;
    return outcome.timed_out;
}
