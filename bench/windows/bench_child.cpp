// The benchmarks' child: writes the number of bytes its first argument
// gives (none without one) to stdout as fast as the pipe takes them, sleeps
// the milliseconds its second gives (none without one), then ends. Built like the probe it stands in for, but without its reports.
// "bench_child lines N" writes "out <i>\n" to stdout and "err <i>\n" to
// stderr by turns, i from 1 to N; "bench_child screen N" see below.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    // "bench_child screen N": N lines of 100 bytes to the console's screen
    // (CONOUT$: wine connects no standard handle to a pseudo console), or to
    // stdout when it has no console.
    if (argc > 2 && wcscmp(argv[1], L"screen") == 0) {
        HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        if (out == INVALID_HANDLE_VALUE)
            out = GetStdHandle(STD_OUTPUT_HANDLE);
        char line[128];
        DWORD written;
        for (int i = 1, n = _wtoi(argv[2]); i <= n; ++i) {
            int length = snprintf(line, sizeof line, "line %d ", i);
            memset(line + length, '.', 98 - length);
            memcpy(line + 98, "\r\n", 2);
            WriteFile(out, line, 100, &written, nullptr);
        }
        return 0;
    }
    if (argc > 2 && wcscmp(argv[1], L"lines") == 0) {
        char line[32];
        DWORD written;
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
        for (int i = 1, n = _wtoi(argv[2]); i <= n; ++i) {
            WriteFile(out, line, snprintf(line, sizeof line, "out %d\n", i), &written, nullptr);
            WriteFile(err, line, snprintf(line, sizeof line, "err %d\n", i), &written, nullptr);
        }
        return 0;
    }
    long long left = argc > 1 ? _wtoi64(argv[1]) : 0;
    static char block[1 << 20];
    memset(block, 'x', sizeof block);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (DWORD written; left > 0; left -= written)
        if (!WriteFile(out, block, left < (long long)sizeof block ? (DWORD)left : sizeof block, &written,
                       nullptr) ||
            written == 0)
            return 1;
    if (argc > 2)
        Sleep((DWORD)_wtoi(argv[2]));
    return 0;
}
