// The tests' parent: the parent library's steps with what only tests need on
// top (positions written verbatim for malformed lines, quoting of their own,
// descriptors standing in for the relay's standard streams), and small pipe
// helpers. Product code links the library, never this.
#ifndef PROCFERRY_REFERENCE_PARENT_H
#define PROCFERRY_REFERENCE_PARENT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "relay_start.h"
#include "procferry/process.hpp"
#include "rules/protocol.h"
#include "wait_limits.h"

namespace parent {

// An exit status that is not known: the relay did not end in time.
const int NO_EXIT_STATUS = -1000;

struct relay_request {
    std::wstring relay;                 // path of procferry.exe or procferry-console.exe
    std::string stdin_spec = "-";       // stream settings as written: "-", "z" or a
    std::string stdout_spec = "-";      // descriptor number of the relay's
    std::string stderr_spec = "-";
    std::wstring work_dir = L"-";
    bool close_fds = false;
    bool search_path = false;
    bool wait = true;
    bool argv0_marker = false;
    std::wstring program;
    std::vector<std::wstring> args;
    // When not empty, replaces the positions from the report descriptor on,
    // verbatim; "%R" and "%S" stand for the two channel numbers.
    std::vector<std::wstring> raw_positions;
    bool raw_line = false; // use raw_positions even when it is empty
    // Quoting of the relay's command line; null means the library's.
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
    pf_session steps{};   // the library's session
    intptr_t process = -1;       // the relay's process handle
    int report_read = -1;        // descriptor over the report channel's read end
    int relay_report_fd = -1;    // the numbers the relay was told
    int relay_sync_fd = -1;
    std::wstring command_line;   // the relay's command text as started
    int spawn_errno = 0;         // set when the relay itself could not be started
};

struct record_result {
    int bytes = 0;   // 8 for a full record, 0 to 7 on end-of-file, -1 on timeout
    int32_t code = 0;
    int32_t value = 0;
};

std::wstring quote_for_command_line(const std::wstring &entry);
std::wstring quote_program_name(const std::wstring &path);

bool start_relay(const relay_request &request, relay_session &session);
// Each timeout here is a native host's; wait_limit_ms widens it on a slow one.
record_result read_record(relay_session &session, int timeout_ms);
void release_relay(relay_session &session, bool with_byte = true);
// The relay's exit status, or NO_EXIT_STATUS when it did not end in time (it
// is then ended so that no test leaves a process behind).
int wait_relay_exit(relay_session &session, int timeout_ms);
void close_session(relay_session &session);

// Everything at once: start, read the record, release, collect the exit status.
struct relay_outcome {
    bool started = false;
    record_result record;
    int exit_status = NO_EXIT_STATUS;
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

} // namespace parent

#endif
