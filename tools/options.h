// What a person asked for on the command line.
#ifndef PROCFERRY_RUN_OPTIONS_H
#define PROCFERRY_RUN_OPTIONS_H

#include "procferry_run.h"

// Where one of the child's standard streams comes from or goes to.
struct stream_choice {
    enum { inherit, null_device, file } kind = inherit;
    std::wstring path;
    bool append = false;
};

struct run_options {
    std::wstring relay;             // a relay's path; empty: the library's, beside this tool
    bool gui_relay = false;         // with an empty relay: procferry.exe
    bool direct = false;            // the library starts PROGRAM itself, without a relay
    std::wstring program;           // as typed
    std::vector<std::wstring> args; // after argument zero
    bool has_argv0 = false;
    std::wstring argv0;
    bool has_dir = false;
    std::string dir_option = "--cwd"; // as typed: -C, --chdir or --cwd
    std::wstring dir;
    stream_choice streams[3];       // stdin, stdout, stderr
    bool stderr_to_stdout = false;
    bool search_path = true;
    bool wait = true;
    bool verbose = false;
    bool json = false;              // the object on stderr instead of the words
    std::wstring json_file;         // or, when not empty, into this file
    uint32_t timeout_ms = 0;        // 0: no limit
    std::string timeout_text;       // as typed, for the words
    bool preserve_status = false;   // after the timeout, exit with the child's status
    bool has_kill_after = false;    // at the timeout, ask first; end the tree this much later
    uint32_t kill_after_ms = 0;
    std::string kill_after_text;
    bool close_windows = false;     // ask by closing windows rather than with a Ctrl+Break
    bool clear_env = false;
    std::vector<std::wstring> env;  // "NAME=VALUE" sets, "NAME" unsets, in order typed
    bool tty = false;               // PROGRAM in a pseudo console: its screen to stdout, stdin to its keys
};

// Reads the options into run. Returns -1 when there is something to run (or
// *demo), else the status to exit with: 0 after --help or --version, or
// RUN_EXIT_OWN_FAILURE after saying what is wrong with the options.
int parse_command_line(int argc, wchar_t **argv, run_options &run, bool *demo);

#endif
