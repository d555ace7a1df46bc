/* Runs a program through the relay and says what became of it.

   Usage: run_through_relay PROGRAM [ARG...]
   The program is looked up on PATH; the relay, procferry-console.exe, is
   looked for beside this program. Exits with the program's status, or 125
   when it did not run. */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include <procferry/parent.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: run_through_relay PROGRAM [ARG...]\n");
        return 125;
    }
    wchar_t relay[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, relay, MAX_PATH);
    while (length > 0 && relay[length - 1] != L'\\')
        --length;
    wcscpy(relay + length, L"procferry-console.exe");

    struct procferry_options options;
    struct procferry_result result;
    procferry_options_init(&options);
    options.relay = relay;
    options.program = argv[1];
    options.args = (const wchar_t *const *)argv + 2;
    options.arg_count = (size_t)(argc - 2);
    options.timeout_ms = 60000;

    switch (procferry_start(&options, &result)) {
    case PROCFERRY_EXITED:
        printf("exited with status %lu\n", (unsigned long)result.exit_status);
        return (int)result.exit_status;
    case PROCFERRY_DIR_FAILED:
    case PROCFERRY_LAUNCH_FAILED:
    case PROCFERRY_RELAY_MISSING:
    case PROCFERRY_INVALID_ARGUMENT:
        printf("%s: %s\n", procferry_kind_name(result.kind), strerror(result.error));
        return 125;
    default:
        printf("%s (relay exit status %lu)\n", procferry_kind_name(result.kind),
               (unsigned long)result.relay.exit_status);
        return 125;
    }
}
