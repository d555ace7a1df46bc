// The tests' parent on top of the library; see reference_parent.h.
#include "reference_parent.h"

#include "relay_start.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace parent {

namespace {

std::wstring replace_all(std::wstring text, const wchar_t *token, int number)
{
    for (size_t at; (at = text.find(token)) != std::wstring::npos;)
        text.replace(at, 2, std::to_wstring(number));
    return text;
}

// Positions from the report descriptor on, as the request gives them.
std::vector<std::wstring> relay_entries(const relay_request &request, int report_fd, int sync_fd)
{
    std::vector<std::wstring> entries;
    if (request.raw_line || !request.raw_positions.empty()) {
        for (const std::wstring &position : request.raw_positions)
            entries.push_back(replace_all(replace_all(position, L"%R", report_fd), L"%S", sync_fd));
        return entries;
    }
    entries.resize(ARG_TARGET);
    entries[ARG_REPORT_FD - 1] =
        std::to_wstring(report_fd) + (request.argv0_marker ? std::wstring(1, RELAY_ARGV0_MARKER) : L"");
    entries[ARG_SYNC_FD - 1] = std::to_wstring(sync_fd);
    entries[ARG_STDIN_SETTING - 1] = procferry::to_wide(request.stdin_spec);
    entries[ARG_STDOUT_SETTING - 1] = procferry::to_wide(request.stdout_spec);
    entries[ARG_STDERR_SETTING - 1] = procferry::to_wide(request.stderr_spec);
    entries[ARG_WORK_DIR - 1] = request.work_dir;
    entries[ARG_CLOSE_FDS - 1] = request.close_fds ? L"y" : L"n";
    entries[ARG_SEARCH_PATH - 1] = request.search_path ? L"y" : L"n";
    entries[ARG_WAIT_MODE - 1] = request.wait ? L"w" : L"n";
    entries[ARG_TARGET - 1] = request.program;
    entries.insert(entries.end(), request.args.begin(), request.args.end());
    return entries;
}

struct line_context {
    const relay_request *request;
    std::wstring text;
};

wchar_t *build_line(void *context_pointer, const pf_relay_fds *fds)
{
    line_context &context = *(line_context *)context_pointer;
    const relay_request &request = *context.request;
    auto quote_program = request.quote_program ? request.quote_program : quote_program_name;
    auto quote_entry = request.quote_entry ? request.quote_entry : quote_for_command_line;
    context.text = quote_program(request.relay);
    for (const std::wstring &entry : relay_entries(request, fds->report, fds->sync))
        context.text += L" " + quote_entry(entry);
    return _wcsdup(context.text.c_str());
}

// A copy of fd numbered 3 or more, or -1 when fd is not open.
int dup_above_streams(int fd)
{
    int copy = _dup(fd);
    if (copy < 0 || copy > 2)
        return copy;
    int higher = dup_above_streams(fd);
    _close(copy);
    return higher;
}

} // namespace

std::wstring quote_for_command_line(const std::wstring &entry)
{
    std::wstring quoted(procferry_quote_argument(entry.c_str(), nullptr, 0) + 1, L'\0');
    quoted.resize(procferry_quote_argument(entry.c_str(), &quoted[0], quoted.size()));
    return quoted;
}

std::wstring quote_program_name(const std::wstring &path)
{
    std::wstring quoted(procferry_quote_program(path.c_str(), nullptr, 0) + 1, L'\0');
    quoted.resize(procferry_quote_program(path.c_str(), &quoted[0], quoted.size()));
    return quoted;
}

bool start_relay(const relay_request &request, relay_session &session)
{
    line_context context{&request, L""};
    pf_relay_start start = {};
    start.relay = request.relay.c_str();
    start.build_line = build_line;
    start.context = &context;
    // The relay's tests read what the relay and the probe write byte for byte.
    start.binary_streams = 1;
    // Every inheritable descriptor of this process's from 3 up reaches the
    // relay at its own number, as a runtime spawn hands them on.
    std::vector<procferry_handle> inheritable;
    for (int fd = 3; fd < 2048; ++fd) {
        intptr_t handle = _get_osfhandle(fd);
        DWORD flags = 0;
        bool passed = handle != -1 && handle != -2 && GetHandleInformation((HANDLE)handle, &flags) &&
                      (flags & HANDLE_FLAG_INHERIT);
        if (passed) {
            inheritable.resize(fd - 2);
            inheritable[fd - 3] = (procferry_handle)handle;
        }
    }
    start.extra_fds = inheritable.data();
    start.extra_fd_count = inheritable.size();
    // The relay's own streams are this process's descriptors 0 to 2: those
    // asked for stand in for them while the relay starts.
    // Copies are taken before any of them changes, above 2, so that one
    // stand-in may be another's number.
    const int stand_ins[3] = {request.relay_stdin_fd, request.relay_stdout_fd, request.relay_stderr_fd};
    int copies[3] = {-1, -1, -1}, saved[3] = {-1, -1, -1};
    bool standing = true;
    for (int fd = 0; fd < 3; ++fd) {
        if (stand_ins[fd] < 0)
            continue;
        copies[fd] = dup_above_streams(stand_ins[fd]);
        saved[fd] = dup_above_streams(fd);
        standing = standing && copies[fd] >= 0;
    }
    for (int fd = 0; fd < 3; ++fd)
        if (standing && copies[fd] >= 0)
            standing = _dup2(copies[fd], fd) == 0;
    bool started = standing && pf_session_start_line(&start, &session.steps) == 0;
    if (!standing)
        session.steps.spawn_errno = EBADF;
    for (int fd = 0; fd < 3; ++fd) {
        if (stand_ins[fd] < 0)
            continue;
        if (saved[fd] >= 0) {
            _dup2(saved[fd], fd);
            _close(saved[fd]);
        } else {
            _close(fd);
        }
        if (copies[fd] >= 0)
            _close(copies[fd]);
    }
    session.command_line = context.text;
    session.spawn_errno = session.steps.spawn_errno;
    session.relay_report_fd = session.steps.relay_report_fd;
    session.relay_sync_fd = session.steps.relay_sync_fd;
    if (!started)
        return false;
    session.process = (intptr_t)session.steps.relay;
    // Tests read and close the report channel as a descriptor; it owns the handle.
    session.report_read = _open_osfhandle((intptr_t)session.steps.report, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    session.steps.report = nullptr;
    return true;
}

record_result read_record(relay_session &session, int timeout_ms)
{
    record_result result;
    if (session.report_read < 0)
        return result;
    pf_record record = {0, 0};
    session.steps.report = (procferry_handle)_get_osfhandle(session.report_read);
    result.bytes = pf_session_read_record(&session.steps, (uint32_t)wait_limit_ms(timeout_ms), &record);
    session.steps.report = nullptr;
    result.code = record.code;
    result.value = record.value;
    return result;
}

void release_relay(relay_session &session, bool with_byte)
{
    pf_session_release(&session.steps, with_byte);
}

int wait_relay_exit(relay_session &session, int timeout_ms)
{
    uint32_t status = 0;
    bool ended = session.steps.relay &&
                 pf_session_wait_relay(&session.steps, (uint32_t)wait_limit_ms(timeout_ms), &status) == 0;
    session.process = -1;
    return ended ? (int)status : NO_EXIT_STATUS;
}

void close_session(relay_session &session)
{
    if (session.report_read >= 0)
        _close(session.report_read);
    session.report_read = -1;
    pf_session_close(&session.steps);
    session.process = -1;
}

relay_outcome run_relay(const relay_request &request, int timeout_ms)
{
    relay_outcome outcome;
    relay_session session;
    outcome.started = start_relay(request, session);
    outcome.command_line = session.command_line;
    if (outcome.started) {
        outcome.record = read_record(session, timeout_ms);
        release_relay(session);
        outcome.exit_status = wait_relay_exit(session, timeout_ms);
    }
    close_session(session);
    return outcome;
}

int pipe_available(int fd)
{
    DWORD available = 0;
    if (!PeekNamedPipe((HANDLE)_get_osfhandle(fd), nullptr, 0, nullptr, &available, nullptr))
        return -1;
    return (int)available;
}

std::string read_pipe_until_eof(int fd, int timeout_ms, bool *reached_eof)
{
    std::string data;
    DWORD deadline = GetTickCount() + wait_limit_ms(timeout_ms);
    char buffer[4096];
    if (reached_eof)
        *reached_eof = false;
    for (;;) {
        int available = pipe_available(fd);
        if (available < 0) {
            if (reached_eof)
                *reached_eof = true;
            return data;
        }
        if (available == 0) {
            if ((LONG)(GetTickCount() - deadline) >= 0)
                return data;
            Sleep(1);
            continue;
        }
        int n = _read(fd, buffer, available < (int)sizeof buffer ? available : (int)sizeof buffer);
        if (n <= 0) {
            if (reached_eof)
                *reached_eof = true;
            return data;
        }
        data.append(buffer, n);
    }
}

inheritable_pipe make_inheritable_pipe(bool for_child_reading)
{
    // Both ends start private; only the child's end gets an inheritable copy.
    int ends[2];
    inheritable_pipe pipe;
    if (_pipe(ends, 65536, _O_BINARY | _O_NOINHERIT) != 0)
        return pipe;
    int child_side = for_child_reading ? 0 : 1;
    pipe.parent_end = ends[1 - child_side];
    pipe.child_end = _dup(ends[child_side]);
    _close(ends[child_side]);
    return pipe;
}

std::wstring own_directory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

} // namespace parent
