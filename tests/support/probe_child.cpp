// A child that tells what it received. Driven by its environment, since its
// command line is what is being tested:
//   PROBE_OUT       file to write the report to (nothing is written without it)
//   PROBE_EXIT      exit status (default 0)
//   PROBE_READ_STDIN=1   read stdin to end-of-file and report the bytes
//   PROBE_WRITE=1   write "probe-stdout" to descriptor 1 and "probe-stderr" to 2
//   PROBE_SLEEP_MS  sleep this long before exiting
//   PROBE_CRASH=1   end with an access violation
//   PROBE_ECHO=1    copy stdin to stdout until end-of-file
//   PROBE_WRITE_BYTES  write this many bytes to stdout, quickly
//   PROBE_LINES=N   write "out <i>\n" to stdout and "err <i>\n" to stderr, i from 1 to N, by turns
//   PROBE_FD_WRITE=3,5  write "fd <n>\n" to each of these descriptors
//   PROBE_WINDOW=1  make a window, write "window\n" (or "no window\n") to
//                   descriptor 1, and run until the window is asked to close
//   PROBE_PRINT_ENV=1  write the environment to stdout, one entry a line (UTF-8)
//   PROBE_ENV_HEX=NAME  write "NAME=<hex>" to stdout, the variable's value in
//                   hex UTF-16 units, exactly as the child got it
//   PROBE_RECORD=CODE,VALUE  stand in for a relay: write that record on the
//                   descriptor of the first argument, wait for the release on
//                   the second's, and end
//   PROBE_SPAWN=1   start another probe (without PROBE_SPAWN), not waiting for it;
//                   =breakaway: one that leaves the job it would run in;
//                   =hold: one that holds this one's standard handles and does
//                   nothing but the sleeping (PROBE_SLEEP_MS), which this one skips
//   PROBE_FLOOD=1   write to stdout in a loop until killed (a failed write is tried
//                   again after a pause), after all the above and instead of the
//                   sleep; with PROBE_SPAWN=hold the holder floods instead, and
//                   this one sleeps PROBE_SLEEP_MS itself, so that its end comes
//                   while the holder writes
// The report is text, one item a line; wide texts are hex UTF-16 units so
// that any unit, a lone surrogate included, comes through exactly:
//   cmdline <hex>   the raw command text
//   argc <n>, then n lines: arg <hex>
//   cwd <hex>
//   fds <n> <n> ...  the descriptors open at start
//   stdin <hex bytes> | stdin-none
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <windows.h>

extern "C" {
int _dowildcard = 0;
}

static std::string hex_units(const wchar_t *text)
{
    std::string out;
    char unit[8];
    for (; *text; ++text) {
        snprintf(unit, sizeof unit, "%04x", (unsigned)(unsigned short)*text);
        out += unit;
    }
    return out;
}

static const char *env(const char *name)
{
    return getenv(name);
}

static void spawn_probe(DWORD creation)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(L"PROBE_SPAWN", nullptr);
    SetEnvironmentVariableW(L"PROBE_OUT", nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    if (CreateProcessW(self, self, nullptr, nullptr, FALSE, creation, nullptr, nullptr, &startup,
                       &started)) {
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
}

// A grandchild that keeps this probe's outputs open after it ended, as a
// program left running in the background does. Its environment has no
// PROBE_ settings but the sleep, so that it writes nothing of its own.
static void spawn_holder()
{
    std::wstring block;
    wchar_t *own = GetEnvironmentStringsW();
    for (wchar_t *entry = own; *entry; entry += wcslen(entry) + 1)
        if (wcsncmp(entry, L"PROBE_", 6) != 0)
            block += std::wstring(entry) + L'\0';
    FreeEnvironmentStringsW(own);
    const wchar_t *sleep_ms = _wgetenv(L"PROBE_SLEEP_MS");
    block += std::wstring(L"PROBE_SLEEP_MS=") + (sleep_ms ? sleep_ms : L"0") + L'\0';
    if (_wgetenv(L"PROBE_FLOOD"))
        block += std::wstring(L"PROBE_FLOOD=1") + L'\0';

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE *held[3] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int n = 0; n < 3; ++n)
        DuplicateHandle(GetCurrentProcess(), GetStdHandle(which[n]), GetCurrentProcess(), held[n],
                        0, TRUE, DUPLICATE_SAME_ACCESS);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    PROCESS_INFORMATION started;
    if (CreateProcessW(self, self, nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, &block[0],
                       nullptr, &startup, &started)) {
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
    for (int n = 0; n < 3; ++n)
        if (*held[n])
            CloseHandle(*held[n]);
}

// The window calls, loaded only for a probe that makes a window: every
// other probe starts without the window system, which under emulation
// would cost each of the suites' many starts.
LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    static LRESULT(WINAPI *default_proc)(HWND, UINT, WPARAM, LPARAM) =
        (LRESULT(WINAPI *)(HWND, UINT, WPARAM, LPARAM))(void *)GetProcAddress(
            GetModuleHandleW(L"user32.dll"), "DefWindowProcW");
    if (message == WM_CLOSE) {
        ((void(WINAPI *)(int))(void *)GetProcAddress(GetModuleHandleW(L"user32.dll"),
                                                      "PostQuitMessage"))(0);
        return 0;
    }
    return default_proc(window, message, wparam, lparam);
}

void run_window()
{
    HMODULE user = LoadLibraryW(L"user32.dll");
    auto call = [&](const char *name) { return (void *)GetProcAddress(user, name); };
    WNDCLASSW kind = {};
    kind.lpfnWndProc = window_proc;
    kind.hInstance = GetModuleHandleW(nullptr);
    kind.lpszClassName = L"probe_window";
    HWND window = nullptr;
    if (user && ((ATOM(WINAPI *)(const WNDCLASSW *))call("RegisterClassW"))(&kind))
        window = ((HWND(WINAPI *)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU,
                                  HINSTANCE, LPVOID))call("CreateWindowExW"))(
            0, L"probe_window", L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
            kind.hInstance, nullptr);
    _write(1, window ? "window\n" : "no window\n", window ? 7 : 10);
    if (!window)
        return;
    auto get_message = (BOOL(WINAPI *)(MSG *, HWND, UINT, UINT))call("GetMessageW");
    auto dispatch = (LRESULT(WINAPI *)(const MSG *))call("DispatchMessageW");
    MSG message;
    while (get_message(&message, nullptr, 0, 0) > 0)
        dispatch(&message);
}

int wmain(int argc, wchar_t **argv)
{
    // Descriptors first, before anything here opens one.
    std::string fds = "fds";
    for (int fd = 0; fd < 2048; ++fd) {
        intptr_t handle = _get_osfhandle(fd);
        if (handle != -1 && handle != -2)
            fds += " " + std::to_string(fd);
    }

    std::string report = "cmdline " + hex_units(GetCommandLineW()) + "\n";
    report += "argc " + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i)
        report += "arg " + hex_units(argv[i]) + "\n";
    wchar_t cwd[4096];
    DWORD cwd_length = GetCurrentDirectoryW(4096, cwd);
    cwd[cwd_length < 4096 ? cwd_length : 0] = 0;
    report += "cwd " + hex_units(cwd) + "\n";
    report += fds + "\n";
    // Each standard stream's mode as the runtime set it up: t(ext) or
    // b(inary); - for one that is not open.
    std::string modes = "modes ";
    for (int fd = 0; fd < 3; ++fd) {
        intptr_t handle = _get_osfhandle(fd);
        int mode = handle != -1 && handle != -2 ? _setmode(fd, _O_BINARY) : -1;
        if (mode != -1)
            _setmode(fd, mode);
        modes += mode == -1 ? '-' : mode & _O_TEXT ? 't' : 'b';
    }
    report += modes + "\n";

    if (const char *record = env("PROBE_RECORD")) {
        int32_t fields[2] = {0, 0};
        sscanf(record, "%d,%d", &fields[0], &fields[1]);
        _write(argc > 1 ? _wtoi(argv[1]) : -1, fields, sizeof fields);
        char release;
        _read(argc > 2 ? _wtoi(argv[2]) : -1, &release, 1);
        return 0;
    }

    if (env("PROBE_WRITE")) {
        _write(1, "probe-stdout\n", 13);
        _write(2, "probe-stderr\n", 13);
    }
    for (const char *at = env("PROBE_FD_WRITE"); at; at = strchr(at, ',') ? strchr(at, ',') + 1 : nullptr) {
        std::string line = "fd " + std::to_string(atoi(at)) + "\n";
        _write(atoi(at), line.data(), (unsigned)line.size());
    }
    if (env("PROBE_READ_STDIN")) {
        std::string bytes;
        char buffer[4096];
        int n;
        while ((n = _read(0, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, n);
        report += "stdin ";
        char hex[4];
        for (unsigned char byte : bytes) {
            snprintf(hex, sizeof hex, "%02x", byte);
            report += hex;
        }
        report += n < 0 ? " error\n" : "\n";
    }

    if (env("PROBE_ECHO")) {
        char buffer[65536];
        int n;
        while ((n = _read(0, buffer, sizeof buffer)) > 0)
            _write(1, buffer, n);
    }
    if (const char *count = env("PROBE_LINES")) {
        char line[32];
        for (long i = 1, n = atol(count); i <= n; ++i) {
            _write(1, line, snprintf(line, sizeof line, "out %ld\n", i));
            _write(2, line, snprintf(line, sizeof line, "err %ld\n", i));
        }
    }
    if (const char *count = env("PROBE_WRITE_BYTES")) {
        static char block[1 << 20];
        memset(block, 'x', sizeof block);
        DWORD written;
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        for (long long left = atoll(count); left > 0; left -= sizeof block)
            if (!WriteFile(out, block, left < (long long)sizeof block ? (DWORD)left : sizeof block,
                           &written, nullptr))
                break;
    }
    if (env("PROBE_PRINT_ENV")) {
        wchar_t *block = GetEnvironmentStringsW();
        std::string lines;
        for (wchar_t *entry = block; *entry; entry += wcslen(entry) + 1) {
            char utf8[32768];
            int length = WideCharToMultiByte(CP_UTF8, 0, entry, -1, utf8, sizeof utf8, nullptr, nullptr);
            lines += std::string(utf8, length > 0 ? length - 1 : 0) + "\n";
        }
        FreeEnvironmentStringsW(block);
        _write(1, lines.data(), (unsigned)lines.size());
    }
    if (const wchar_t *name = _wgetenv(L"PROBE_ENV_HEX")) {
        static wchar_t value[32768];
        bool set = GetEnvironmentVariableW(name, value, 32768) > 0;
        std::string line = set ? std::string(env("PROBE_ENV_HEX")) + "=" + hex_units(value) + "\n"
                               : "";
        _write(1, line.data(), (unsigned)line.size());
    }
    const char *spawn = env("PROBE_SPAWN");
    bool hold = spawn && strcmp(spawn, "hold") == 0;
    if (hold)
        spawn_holder();
    else if (spawn)
        spawn_probe(strcmp(spawn, "breakaway") == 0 ? CREATE_BREAKAWAY_FROM_JOB : 0);

    const wchar_t *out_path = _wgetenv(L"PROBE_OUT");
    if (out_path) {
        HANDLE file = CreateFileW(out_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, report.data(), (DWORD)report.size(), &written, nullptr);
        CloseHandle(file);
    }
    if (env("PROBE_WINDOW"))
        run_window();
    // A program left running in the background that writes on and on: the
    // reader's end may be gone, and the loop goes on until it is killed.
    if (env("PROBE_FLOOD") && !hold) {
        static char block[4096];
        memset(block, 'f', sizeof block);
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        for (DWORD written;;)
            if (!WriteFile(out, block, sizeof block, &written, nullptr))
                Sleep(50);
    }
    if (const char *sleep_ms = env("PROBE_SLEEP_MS"); sleep_ms && (!hold || env("PROBE_FLOOD")))
        Sleep(atoi(sleep_ms));
    if (env("PROBE_CRASH"))
        *(volatile int *)0 = 1;
    return env("PROBE_EXIT") ? atoi(env("PROBE_EXIT")) : 0;
}
