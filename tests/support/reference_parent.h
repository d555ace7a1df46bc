// The parent's side of the relay protocol, done the way a real parent does it:
// channels from _pipe, a correctly quoted relay command line, _wspawnv in
// no-wait mode, the 8-byte record read with a timeout, the release, and the
// relay's exit status collected with a timeout. Used by the end-to-end tests,
// the benchmarks and procferry-run.
#ifndef PROCFERRY_REFERENCE_PARENT_H
#define PROCFERRY_REFERENCE_PARENT_H

#include <stdint.h>

#include <string>
#include <vector>

namespace parent {

struct relay_request {
    std::wstring relay;                 // path of procferry.exe or procferry-console.exe
    std::string stdin_spec = "-";       // positions 3 to 5: "-", "z" or a descriptor number
    std::string stdout_spec = "-";
    std::string stderr_spec = "-";
    std::wstring work_dir = L"-";       // position 6
    bool close_fds = false;             // position 7
    bool search_path = false;           // position 8
    bool wait = true;                   // position 9
    bool argv0_marker = false;          // "#" after the report descriptor
    std::wstring program;               // position 10
    std::vector<std::wstring> args;     // from position 11 on
    // When not empty, replaces positions 1 onward verbatim; "%R" and "%S"
    // stand for the report and sync descriptor numbers. For malformed lines.
    std::vector<std::wstring> raw_positions;
    bool raw_line = false; // use raw_positions even when it is empty
    // How the relay's command line is quoted; null means quote_program_name
    // and quote_for_command_line. A test may quote more tightly.
    std::wstring (*quote_program)(const std::wstring &) = nullptr;
    std::wstring (*quote_entry)(const std::wstring &) = nullptr;
    // When set (>= 0), the relay starts with these descriptors as its
    // standard streams instead of the parent's own.
    int relay_stdin_fd = -1;
    int relay_stdout_fd = -1;
    int relay_stderr_fd = -1;
};

// A started relay with the parent's ends of both channels.
struct relay_session {
    intptr_t process = -1;   // the relay's process handle
    int report_read = -1;    // parent's end of the report channel
    int sync_write = -1;     // parent's end of the sync channel
    int relay_report_fd = -1; // the numbers the relay was told
    int relay_sync_fd = -1;
    std::wstring command_line; // the relay's command text as started
    int spawn_errno = 0;       // set when the relay itself could not be started
};

struct record_result {
    int bytes = 0;           // 8 for a full record, 0 on end-of-file, -1 on timeout
    int32_t code = 0;
    int32_t value = 0;
};

// Quotes one entry for a runtime that splits with the usual backslash rules:
// every entry is enclosed in quotes, so even empty ones survive.
std::wstring quote_for_command_line(const std::wstring &entry);
// Argument zero is split by simpler rules (quotes group, backslashes plain).
std::wstring quote_program_name(const std::wstring &path);

std::vector<std::wstring> relay_entries(const relay_request &request, int report_fd, int sync_fd);

bool start_relay(const relay_request &request, relay_session &session);
record_result read_record(relay_session &session, int timeout_ms);
void release_relay(relay_session &session, bool with_byte = true);
// The relay's exit status, or -1000 when it did not end in time (it is then
// terminated so that no test leaves a process behind).
int wait_relay_exit(relay_session &session, int timeout_ms);
void close_session(relay_session &session);

// Everything at once: start, read the record, release, collect the exit status.
struct relay_outcome {
    bool started = false;
    record_result record;
    int exit_status = -1000;
    std::wstring command_line;
};
relay_outcome run_relay(const relay_request &request, int timeout_ms = 15000);

// Reads whatever is in a pipe until end-of-file or the timeout; polls, so it
// never blocks past the timeout.
std::string read_pipe_until_eof(int fd, int timeout_ms, bool *reached_eof = nullptr);
// How many bytes wait in the pipe: -1 at end-of-file (writer gone).
int pipe_available(int fd);

// A pipe whose parent end is private and whose other end is inheritable.
struct inheritable_pipe {
    int parent_end = -1;
    int child_end = -1;
};
// for_child_reading: the child end is the read end (for a child's stdin).
inheritable_pipe make_inheritable_pipe(bool for_child_reading);

// Directory of the running program, with a trailing backslash.
std::wstring own_directory();
std::wstring utf8_to_wide(const std::string &text);
std::string wide_to_utf8(const std::wstring &text);

} // namespace parent

#endif
