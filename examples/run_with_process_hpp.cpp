// Runs a program with the C++ layer, its output captured, and says what
// became of it: its status, and what it wrote on stderr.
//
// Usage: run_with_process_hpp [PROGRAM [ARG...]]
// Without a program it captures "cmd /c echo captured through procferry".
// The library starts it directly (its default); options.flags |=
// PROCFERRY_RELAY would start it through procferry-console.exe beside this
// program. Exits with the program's status, or 1 when it did not run.
#include <stdio.h>

#include <string>
#include <vector>

#include <procferry/process.hpp>

int wmain(int argc, wchar_t **argv)
{
    std::wstring program = argc > 1 ? argv[1] : L"cmd";
    std::vector<std::wstring> args(argv + (argc > 1 ? 2 : argc), argv + argc);
    if (argc <= 1)
        args = {L"/c", L"echo captured through procferry"};

    procferry::options options;
    options.timeout_ms = 60000;
    options.env.set(L"PROCFERRY_EXAMPLE", L"1");
    procferry::captured run = procferry::capture(program, args, options);

    fwrite(run.out.data(), 1, run.out.size(), stdout);
    fwrite(run.err.data(), 1, run.err.size(), stderr);
    printf("%s\n", run.words.c_str());
    return run.exited() ? (int)run.exit_status : 1;
}
