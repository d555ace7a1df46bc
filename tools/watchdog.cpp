// The hand-over between the tool and its watchdog: one inheritable pipe,
// whose number travels on the watchdog's command line, carries the status.
#include <process.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "rules/start_retry.h"
#include "watchdog.h"

static const wchar_t WATCHDOG_MARK[] = L"--watchdog-of-procferry-run";

static std::wstring quoted(const wchar_t *text, bool program)
{
    size_t length = program ? procferry_quote_program(text, nullptr, 0)
                            : procferry_quote_argument(text, nullptr, 0);
    std::vector<wchar_t> out(length + 1);
    if (program)
        procferry_quote_program(text, out.data(), out.size());
    else
        procferry_quote_argument(text, out.data(), out.size());
    return out.data();
}

int hand_over_to_watchdog(int argc, wchar_t **argv)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE status_read = nullptr, status_write = nullptr;
    if (!CreatePipe(&status_read, &status_write, &inherit, 0)) {
        say("cannot make the watchdog's channel (Windows error " +
            std::to_string(GetLastError()) + "); nothing was run");
        return RUN_EXIT_OWN_FAILURE;
    }
    SetHandleInformation(status_read, HANDLE_FLAG_INHERIT, 0);

    // The runtime's spawn hands on the standard streams and every
    // inheritable descriptor, as a start of the relay from here would.
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, &self[0], (DWORD)self.size()));
    std::vector<std::wstring> line = {quoted(self.c_str(), true), WATCHDOG_MARK,
                                      std::to_wstring((uintptr_t)status_write)};
    for (int i = 1; i < argc; ++i)
        line.push_back(quoted(argv[i], false));
    std::vector<const wchar_t *> spawn_argv;
    for (const std::wstring &entry : line)
        spawn_argv.push_back(entry.c_str());
    spawn_argv.push_back(nullptr);
    intptr_t watchdog = -1;
    for (int attempt = 1;; ++attempt) {
        SetLastError(ERROR_SUCCESS);
        watchdog = _wspawnv(_P_NOWAIT, self.c_str(), spawn_argv.data());
        if (watchdog != -1 || !pf_start_again(GetLastError(), attempt))
            break;
    }
    CloseHandle(status_write);
    if (watchdog == -1) {
        CloseHandle(status_read);
        say("cannot start the watchdog " + to_utf8(self) + " for --timeout; nothing was run");
        return RUN_EXIT_OWN_FAILURE;
    }
    CloseHandle((HANDLE)watchdog);

    int32_t status = 0;
    DWORD got = 0, read = 0;
    while (got < sizeof status &&
           ReadFile(status_read, (char *)&status + got, sizeof status - got, &read, nullptr) && read)
        got += read;
    CloseHandle(status_read);
    if (got < sizeof status) {
        say("the watchdog ended before it said what became of the run");
        return RUN_EXIT_OWN_FAILURE;
    }
    return status;
}

void *watchdog_channel(std::vector<wchar_t *> &args)
{
    if (args.size() < 3 || wcscmp(args[1], WATCHDOG_MARK) != 0)
        return nullptr;
    HANDLE channel = (HANDLE)(uintptr_t)_wcstoui64(args[2], nullptr, 10);
    // Nothing the watchdog starts may hold the tool waiting.
    SetHandleInformation(channel, HANDLE_FLAG_INHERIT, 0);
    args.erase(args.begin() + 1, args.begin() + 3);
    return channel;
}

void tell_tool_status(void *channel, int status)
{
    int32_t word = status;
    DWORD written = 0;
    WriteFile((HANDLE)channel, &word, sizeof word, &written, nullptr);
    CloseHandle((HANDLE)channel);
}
