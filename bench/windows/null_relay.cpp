// The floor for the launch benchmark: a program that does nothing but start
// its first argument with the rest of its arguments and wait for it. Any
// relay costs at least this one extra process start; what the real relay
// adds on top of it is its own work.
//
// The arguments are passed on as they came, unquoted: the benchmark's child
// takes none that would need quoting. A bare name is searched for on PATH,
// as the relay does when asked to; a full path is taken as it is.
#include <process.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2)
        return 2;
    return (int)_wspawnvp(_P_WAIT, argv[1], argv + 1);
}
