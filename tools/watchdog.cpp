// --no-wait with --timeout: this tool returns at once, so a second copy of it
// stays behind, holds the child's process and ends the child when the time
// is up. It shares only stderr, to say so, and inherits nothing else.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <vector>

#include "procferry/parent.h"
#include "procferry_run.h"

static const wchar_t WATCHDOG_MARK[] = L"--watchdog";

static std::wstring quoted(const std::wstring &text, bool program)
{
    size_t length = program ? procferry_quote_program(text.c_str(), nullptr, 0)
                            : procferry_quote_argument(text.c_str(), nullptr, 0);
    std::vector<wchar_t> out(length + 1);
    if (program)
        procferry_quote_program(text.c_str(), out.data(), out.size());
    else
        procferry_quote_argument(text.c_str(), out.data(), out.size());
    return out.data();
}

bool start_watchdog(void *child, uint32_t pid, const run_options &options)
{
    HANDLE self = GetCurrentProcess();
    HANDLE watched = nullptr, err = nullptr;
    if (!DuplicateHandle(self, (HANDLE)child, self, &watched,
                         SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, TRUE,
                         0))
        return false;
    HANDLE own_err = GetStdHandle(STD_ERROR_HANDLE);
    if (own_err && own_err != INVALID_HANDLE_VALUE)
        DuplicateHandle(self, own_err, self, &err, 0, TRUE, DUPLICATE_SAME_ACCESS);

    wchar_t module[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, module, sizeof module / sizeof module[0]);
    std::wstring line = quoted(module, true);
    for (const std::wstring &arg :
         {std::wstring(WATCHDOG_MARK), std::to_wstring((uintptr_t)watched),
          std::to_wstring(options.timeout_ms), std::to_wstring(pid),
          to_wide(options.timeout_text), options.program})
        line += L" " + quoted(arg, false);

    // Only the two handles above are handed on, whatever else this process
    // holds inheritable.
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> list_memory(size);
    auto list = (LPPROC_THREAD_ATTRIBUTE_LIST)list_memory.data();
    HANDLE handed[2] = {watched, err};
    bool started = InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                   UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handed,
                                             (err ? 2 : 1) * sizeof(HANDLE), nullptr, nullptr);
    STARTUPINFOEXW startup;
    memset(&startup, 0, sizeof startup);
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdError = err;
    startup.lpAttributeList = list;
    PROCESS_INFORMATION process;
    started = started && CreateProcessW(module, &line[0], nullptr, nullptr, TRUE,
                                        EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                        &startup.StartupInfo, &process);
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (list_memory.size())
        DeleteProcThreadAttributeList(list);
    CloseHandle(watched);
    if (err)
        CloseHandle(err);
    return started;
}

int run_watchdog_if_asked(int argc, wchar_t **argv)
{
    if (argc != 7 || wcscmp(argv[1], WATCHDOG_MARK) != 0)
        return -1;
    HANDLE child = (HANDLE)(uintptr_t)_wcstoui64(argv[2], nullptr, 10);
    uint32_t timeout_ms = (uint32_t)wcstoul(argv[3], nullptr, 10);
    uint32_t pid = (uint32_t)wcstoul(argv[4], nullptr, 10);
    if (procferry_child_wait(child, timeout_ms, nullptr) == PROCFERRY_TIMED_OUT) {
        end_process_tree(child, pid, RUN_TIMEOUT_CHILD_STATUS);
        say(to_utf8(argv[6]) + " (process " + to_utf8(argv[4]) + ") still ran after " +
            to_utf8(argv[5]) + "; ended it");
    }
    procferry_child_close(child);
    return 0;
}
