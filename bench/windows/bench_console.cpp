// A child's screen through a pseudo console, against the same child writing
// to a pipe: bytes per second each way, medians of interleaved rounds.
// 1. a pipe: capture() of the child writing its lines to stdout;
// 2. wine's console alone: a pseudo console made here, the child started in
//    it, its output read on this thread until the console closes;
// 3. the library's console capture (capture_options().console(...)).
// The ratio 3/1 is what a console costs; 3/2 what the library adds to it.
// Usage: bench_console [lines, default 20000] [rounds, default 5]
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "procferry/process.hpp"

namespace {

typedef HRESULT(WINAPI *create_call)(COORD, HANDLE, HANDLE, DWORD, void **);
typedef void(WINAPI *close_call)(void *);

struct closing {
    HANDLE process;
    void *console;
    close_call close;
};

DWORD WINAPI close_after_child(void *context)
{
    closing *c = (closing *)context;
    WaitForSingleObject(c->process, INFINITE);
    c->close(c->console);
    return 0;
}

// The bytes wine's console passed on for the child, with no library in between.
size_t bare_console(const std::wstring &child, int lines)
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto create = (create_call)(void *)GetProcAddress(kernel, "CreatePseudoConsole");
    auto close = (close_call)(void *)GetProcAddress(kernel, "ClosePseudoConsole");
    HANDLE keys_read, keys_write, screen_read, screen_write;
    CreatePipe(&keys_read, &keys_write, nullptr, 65536);
    CreatePipe(&screen_read, &screen_write, nullptr, 65536);
    void *console = nullptr;
    if (!create || !close || FAILED(create({80, 25}, keys_read, screen_write, 0, &console)))
        return 0;
    CloseHandle(keys_read);
    CloseHandle(screen_write);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> list(size);
    auto attributes = (LPPROC_THREAD_ATTRIBUTE_LIST)list.data();
    InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    UpdateProcThreadAttribute(attributes, 0, 0x00020016, console, sizeof console, nullptr, nullptr);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.lpAttributeList = attributes;
    std::wstring line = L"\"" + child + L"\" screen " + std::to_wstring(lines);
    PROCESS_INFORMATION started;
    size_t total = 0;
    if (CreateProcessW(child.c_str(), &line[0], nullptr, nullptr, FALSE, EXTENDED_STARTUPINFO_PRESENT, nullptr,
                       nullptr, &startup.StartupInfo, &started)) {
        CloseHandle(started.hThread);
        // Once the child ends the console closes, on a thread of its own:
        // the close waits until its output is read, here.
        closing what = {started.hProcess, console, close};
        HANDLE closer = CreateThread(nullptr, 0, close_after_child, &what, 0, nullptr);
        char bytes[65536];
        DWORD got;
        while (ReadFile(screen_read, bytes, sizeof bytes, &got, nullptr) && got > 0)
            total += got;
        WaitForSingleObject(closer, INFINITE);
        CloseHandle(closer);
        CloseHandle(started.hProcess);
    } else {
        close(console);
    }
    DeleteProcThreadAttributeList(attributes);
    CloseHandle(keys_write);
    CloseHandle(screen_read);
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    int lines = argc > 1 ? atoi(argv[1]) : 20000;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    std::wstring child = own_directory() + L"bench_child.exe";
    const procferry::arguments args = {L"screen", std::to_wstring(lines)};
    std::vector<double> pipe_rate, bare_rate, library_rate;
    size_t pipe_bytes = 0, bare_bytes = 0, library_bytes = 0;
    for (int round = 0; round < rounds; ++round) {
        double began = now_ms();
        procferry::captured piped = procferry::capture(child, args);
        pipe_bytes = piped.out.size();
        pipe_rate.push_back(pipe_bytes / (now_ms() - began) * 1000.0);

        began = now_ms();
        bare_bytes = bare_console(child, lines);
        bare_rate.push_back(bare_bytes / (now_ms() - began) * 1000.0);

        procferry::capture_options o;
        o.console({80, 25});
        began = now_ms();
        procferry::captured shown = procferry::capture(child, args, o);
        library_bytes = shown.out.size();
        library_rate.push_back(library_bytes / (now_ms() - began) * 1000.0);
    }
    double pipe = median(pipe_rate), bare = median(bare_rate), library = median(library_rate);
    printf("%d lines of 100 bytes, medians of %d interleaved rounds:\n", lines, rounds);
    printf("  to a pipe (capture):                     %8.0f KB/s (%zu bytes)\n", pipe / 1000, pipe_bytes);
    printf("  through wine's console, read bare:       %8.0f KB/s (%zu bytes of VT text)\n", bare / 1000, bare_bytes);
    printf("  through the library's console capture:   %8.0f KB/s (%zu bytes of VT text)\n", library / 1000,
           library_bytes);
    printf("  console against pipe: %.2f; the library against the bare console: %.2f (1.00: it adds nothing)\n",
           library / pipe, library / bare);
    return pipe_bytes && bare_bytes && library_bytes ? 0 : 1;
}
