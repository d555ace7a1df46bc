// The benchmarks' child: writes the number of bytes its first argument
// gives (none without one) to stdout as fast as the pipe takes them, sleeps
// the milliseconds its second gives (none without one), then ends. Built like the probe it stands in for, but without its reports.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
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
