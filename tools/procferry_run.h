// procferry-run: plays the relay's parent for a person at a command prompt.
// procferry_run.cpp reads the options, launch.cpp runs the program through
// the parent library and asks it what a program name stands for,
// outcome.cpp puts the result in words, a status and JSON, demo.cpp
// sends a set of hard arguments to a copy of this tool, watchdog.cpp and
// process_tree.cpp end a child at its timeout.
#ifndef PROCFERRY_RUN_H
#define PROCFERRY_RUN_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

struct procferry_result;

// The tool's own exit statuses, those of env and timeout. Otherwise it exits
// with the child's status, which may of course be one of these too; --json
// tells them apart.
enum {
    RUN_EXIT_MISMATCH = 1,   // --demo: an argument did not arrive intact
    RUN_EXIT_TIMED_OUT = 124,
    RUN_EXIT_OWN_FAILURE = 125, // bad option, relay missing or failed, --cwd or a stream file
    RUN_EXIT_CANNOT_RUN = 126,  // the program was found but could not be run
    RUN_EXIT_NOT_FOUND = 127
};

// The exit status a child ended by the timeout is given.
enum { RUN_TIMEOUT_CHILD_STATUS = 124 };

// Where one of the child's standard streams comes from or goes to.
struct stream_choice {
    enum { inherit, null_device, file } kind = inherit;
    std::wstring path;
    bool append = false;
};

struct run_options {
    std::wstring relay;             // path of the relay program
    std::wstring program;           // as typed
    std::vector<std::wstring> args; // after argument zero
    bool has_argv0 = false;
    std::wstring argv0;
    bool has_dir = false;
    std::wstring dir;
    stream_choice streams[3];       // stdin, stdout, stderr
    bool stderr_to_stdout = false;
    bool search_path = true;
    bool close_fds = false;
    bool wait = true;
    bool verbose = false;
    bool json = false;              // the object on stderr instead of the words
    std::wstring json_file;         // or, when not empty, into this file
    uint32_t timeout_ms = 0;        // 0: no limit
    std::string timeout_text;       // as typed, for the words
    std::vector<std::pair<std::wstring, std::wstring>> env_set;
    std::vector<std::wstring> env_unset;
};

enum class outcome_kind {
    exited,           // wait mode: the child ended by itself
    started,          // no-wait mode: the child runs
    timed_out,        // the child, or the relay before it reported, was ended at the timeout
    not_found,        // 127
    cannot_run,       // 126
    directory_failed, // 125 from here on
    stream_failed,
    relay_failed
};

struct launch_outcome {
    outcome_kind kind = outcome_kind::relay_failed;
    std::wstring program;      // as resolved, or as typed when it was not found
    bool ended = false;        // exit_status is known
    int32_t exit_status = 0;   // the child's, in full
    uint32_t pid = 0;          // 0: no child
    int error = 0;             // errno of whatever failed, 0 if none
    uint64_t elapsed_ms = 0;
    std::string message;       // the line a person reads
    int status = RUN_EXIT_OWN_FAILURE; // what the tool exits with
};

// What a program name stands for, found the way the relay finds it: a bare
// name (no directory, no drive) along PATH only, when searching; anything
// else in the directory the child starts in. Each time the name as it is,
// then, when it has no extension, with .com, .exe, .bat and .cmd in turn;
// only a program image or a batch file counts.
struct program_lookup {
    bool found = false;
    std::wstring path;         // full path when found
    bool bare = false;         // no directory part: PATH applies
    // What the name is in the start directory when it is not a program
    // found there, for the words.
    enum { nothing, directory, other_file, program } here = nothing;
    std::wstring here_path;
};
program_lookup look_up_program(const std::wstring &program, const std::wstring &start_dir,
                               bool search_path);

// Runs the program as asked; prints --verbose lines as it goes, not the outcome.
launch_outcome run_launch(const run_options &options);
// Puts a launch's facts in words and picks the tool's exit status: for a
// stream file that could not be opened (failed_stream 0 to 2, result NULL),
// or for what the library reported (result).
void describe_outcome(const run_options &options, const program_lookup &lookup,
                      int failed_stream, const procferry_result *result,
                      launch_outcome &outcome);
// The outcome as a line on stderr, as one JSON object on stderr instead, or
// as one JSON object in json_file (when not NULL) besides the line.
void print_outcome(const run_options &options, const launch_outcome &outcome, FILE *json_file);

std::string errno_name(int error);
// "No such file or directory (ENOENT)".
std::string errno_words(int error);

// "procferry-run: " and the text on stderr, at once.
void say(const std::string &text);

// The hidden modes of this program: the demo's child and the watchdog that
// ends a --no-wait child at its timeout. Each returns -1 when not asked for.
int run_demo_child_if_asked(int argc, wchar_t **argv);
int run_watchdog_if_asked(int argc, wchar_t **argv);
// Starts a watchdog over child that ends it once timeout_ms have passed.
bool start_watchdog(void *child, uint32_t pid, const run_options &options);
// Ends the child and every process it started, with exit_code.
void end_process_tree(void *child, uint32_t pid, uint32_t exit_code);

int run_demo(run_options &options);

// Helpers shared by the files.
std::wstring own_directory(); // with a trailing backslash
std::wstring to_wide(const std::string &text);
std::string to_utf8(const std::wstring &text);
std::wstring full_path(const std::wstring &path);
// "i686", "x86_64" or "" from the program file's header.
std::string program_architecture(const std::wstring &path);

#endif
