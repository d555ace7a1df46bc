// The parent's side of the relay protocol; see reference_parent.h.
#include "reference_parent.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

namespace parent {

std::wstring quote_for_command_line(const std::wstring &entry)
{
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t unit : entry) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        if (unit == L'"')
            quoted.append(2 * backslashes + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        quoted += unit;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, L'\\');
    quoted += L'"';
    return quoted;
}

std::wstring quote_program_name(const std::wstring &path)
{
    return L"\"" + path + L"\"";
}

static std::wstring replace_channel_tokens(std::wstring text, int report_fd, int sync_fd)
{
    for (;;) {
        size_t at = text.find(L"%R");
        if (at == std::wstring::npos)
            break;
        text.replace(at, 2, std::to_wstring(report_fd));
    }
    for (;;) {
        size_t at = text.find(L"%S");
        if (at == std::wstring::npos)
            break;
        text.replace(at, 2, std::to_wstring(sync_fd));
    }
    return text;
}

std::vector<std::wstring> relay_entries(const relay_request &request, int report_fd, int sync_fd)
{
    std::vector<std::wstring> entries;
    if (request.raw_line || !request.raw_positions.empty()) {
        for (const std::wstring &position : request.raw_positions)
            entries.push_back(replace_channel_tokens(position, report_fd, sync_fd));
        return entries;
    }
    entries.push_back(std::to_wstring(report_fd) + (request.argv0_marker ? L"#" : L""));
    entries.push_back(std::to_wstring(sync_fd));
    entries.push_back(utf8_to_wide(request.stdin_spec));
    entries.push_back(utf8_to_wide(request.stdout_spec));
    entries.push_back(utf8_to_wide(request.stderr_spec));
    entries.push_back(request.work_dir);
    entries.push_back(request.close_fds ? L"y" : L"n");
    entries.push_back(request.search_path ? L"y" : L"n");
    entries.push_back(request.wait ? L"w" : L"n");
    entries.push_back(request.program);
    for (const std::wstring &arg : request.args)
        entries.push_back(arg);
    return entries;
}

inheritable_pipe make_inheritable_pipe(bool for_child_reading)
{
    // Both ends start private; only the relay's end gets an inheritable copy,
    // so neither the relay nor the child holds the parent's end.
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

bool start_relay(const relay_request &request, relay_session &session)
{
    inheritable_pipe report = make_inheritable_pipe(false);
    inheritable_pipe sync = make_inheritable_pipe(true);
    session.report_read = report.parent_end;
    session.sync_write = sync.parent_end;
    session.relay_report_fd = report.child_end;
    session.relay_sync_fd = sync.child_end;

    auto quote_program = request.quote_program ? request.quote_program : quote_program_name;
    auto quote_entry = request.quote_entry ? request.quote_entry : quote_for_command_line;
    std::vector<std::wstring> quoted;
    quoted.push_back(quote_program(request.relay));
    for (const std::wstring &entry : relay_entries(request, report.child_end, sync.child_end))
        quoted.push_back(quote_entry(entry));
    std::vector<const wchar_t *> argv;
    for (const std::wstring &entry : quoted) {
        argv.push_back(entry.c_str());
        session.command_line += (session.command_line.empty() ? L"" : L" ") + entry;
    }
    argv.push_back(nullptr);

    // The relay inherits the parent's descriptors 0 to 2; to give it others,
    // the parent swaps its own for the moment of the launch.
    const int wanted[3] = {request.relay_stdin_fd, request.relay_stdout_fd, request.relay_stderr_fd};
    int saved[3] = {-1, -1, -1};
    for (int fd = 0; fd < 3; ++fd) {
        if (wanted[fd] < 0)
            continue;
        saved[fd] = _dup(fd);
        _dup2(wanted[fd], fd);
    }
    session.process = _wspawnv(_P_NOWAIT, request.relay.c_str(), argv.data());
    session.spawn_errno = session.process == -1 ? errno : 0;
    for (int fd = 0; fd < 3; ++fd) {
        if (saved[fd] < 0)
            continue;
        _dup2(saved[fd], fd);
        _close(saved[fd]);
    }
    // The relay holds its own copies now; the parent keeps only its ends, so
    // that it sees end-of-file once the relay and its child let go.
    _close(report.child_end);
    _close(sync.child_end);
    return session.process != -1;
}

int pipe_available(int fd)
{
    DWORD available = 0;
    if (!PeekNamedPipe((HANDLE)_get_osfhandle(fd), nullptr, 0, nullptr, &available, nullptr))
        return -1;
    return (int)available;
}

// Reads exactly size bytes unless end-of-file or the deadline comes first.
static int read_with_deadline(int fd, char *buffer, int size, DWORD deadline)
{
    int got = 0;
    while (got < size) {
        int available = pipe_available(fd);
        if (available < 0)
            return got;
        if (available == 0) {
            if ((LONG)(GetTickCount() - deadline) >= 0)
                return got > 0 ? got : -1;
            Sleep(1);
            continue;
        }
        int wanted = size - got < available ? size - got : available;
        int n = _read(fd, buffer + got, wanted);
        if (n <= 0)
            return got;
        got += n;
    }
    return got;
}

record_result read_record(relay_session &session, int timeout_ms)
{
    record_result result;
    char bytes[8] = {0};
    result.bytes = read_with_deadline(session.report_read, bytes, 8, GetTickCount() + timeout_ms);
    if (result.bytes == 8) {
        memcpy(&result.code, bytes, 4);
        memcpy(&result.value, bytes + 4, 4);
    }
    return result;
}

void release_relay(relay_session &session, bool with_byte)
{
    if (session.sync_write < 0)
        return;
    if (with_byte) {
        char release = 'r';
        _write(session.sync_write, &release, 1);
    }
    _close(session.sync_write);
    session.sync_write = -1;
}

int wait_relay_exit(relay_session &session, int timeout_ms)
{
    if (session.process == -1)
        return -1000;
    HANDLE process = (HANDLE)session.process;
    if (WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
        session.process = -1;
        return -1000;
    }
    DWORD status = 0;
    GetExitCodeProcess(process, &status);
    CloseHandle(process);
    session.process = -1;
    return (int)status;
}

void close_session(relay_session &session)
{
    if (session.process != -1)
        wait_relay_exit(session, 0);
    if (session.report_read >= 0)
        _close(session.report_read);
    if (session.sync_write >= 0)
        _close(session.sync_write);
    session.report_read = session.sync_write = -1;
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

std::string read_pipe_until_eof(int fd, int timeout_ms, bool *reached_eof)
{
    std::string data;
    DWORD deadline = GetTickCount() + timeout_ms;
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

std::wstring own_directory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::wstring utf8_to_wide(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], length);
    return wide;
}

std::string wide_to_utf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0,
                                     nullptr, nullptr);
    std::string narrow(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &narrow[0], length, nullptr,
                        nullptr);
    return narrow;
}

} // namespace parent
