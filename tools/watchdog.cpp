// The hand-over between the tool and its watchdog: a side channel, the
// watchdog's descriptor 3, carries the status.
#include <io.h>
#include <string.h>
#include <windows.h>

#include "watchdog.h"

static const wchar_t WATCHDOG_MARK[] = L"--watchdog-of-procferry-run";

int hand_over_to_watchdog(int argc, wchar_t **argv)
{
    procferry_handle status_read = nullptr, status_write = nullptr;
    if (procferry_pipe_make(&status_read, &status_write) != 0) {
        say("cannot make the watchdog's channel (Windows error " +
            std::to_string(GetLastError()) + "); nothing was run");
        return RUN_EXIT_OWN_FAILURE;
    }
    // The watchdog is this tool again, started by the library on the same
    // arguments, with the standard streams and the channel as descriptor 3;
    // it has no job of its own, so that it outlives this tool's start.
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, &self[0], (DWORD)self.size()));
    std::vector<const wchar_t *> args = {WATCHDOG_MARK};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    procferry_options start;
    procferry_options_init(&start);
    start.program = self.c_str();
    start.args = args.data();
    start.arg_count = args.size();
    start.flags = PROCFERRY_NO_WAIT | PROCFERRY_NO_JOB | PROCFERRY_NO_SEARCH_PATH;
    procferry_stream channel = {PROCFERRY_STREAM_HANDLE, 0, status_write};
    start.extra_fds = &channel;
    start.extra_fd_count = 1;
    procferry_result started;
    int kind = procferry_start(&start, &started);
    procferry_pipe_close(status_write);
    if (kind != PROCFERRY_STARTED) {
        procferry_pipe_close(status_read);
        say("cannot start the watchdog for --timeout: " + std::string(started.words));
        return RUN_EXIT_OWN_FAILURE;
    }
    procferry_child_close(started.child);

    int32_t status = 0;
    size_t got = 0;
    long read = 0;
    while (got < sizeof status &&
           (read = procferry_pipe_read(status_read, (char *)&status + got, sizeof status - got)) > 0)
        got += (size_t)read;
    procferry_pipe_close(status_read);
    if (got < sizeof status) {
        say("the watchdog ended before it said what became of the run");
        return RUN_EXIT_OWN_FAILURE;
    }
    return status;
}

void *watchdog_channel(std::vector<wchar_t *> &args)
{
    if (args.size() < 2 || wcscmp(args[1], WATCHDOG_MARK) != 0)
        return nullptr;
    intptr_t channel = _get_osfhandle(3);
    if (channel == -1 || channel == -2)
        return nullptr;
    // Nothing the watchdog starts may hold the tool waiting.
    SetHandleInformation((HANDLE)channel, HANDLE_FLAG_INHERIT, 0);
    args.erase(args.begin() + 1);
    return (void *)channel;
}

void tell_tool_status(void *channel, int status)
{
    int32_t word = status;
    DWORD written = 0;
    WriteFile((HANDLE)channel, &word, sizeof word, &written, nullptr);
    // The channel is descriptor 3's: closing the descriptor closes it.
    if (_get_osfhandle(3) == (intptr_t)channel)
        _close(3);
    else
        CloseHandle((HANDLE)channel);
}
