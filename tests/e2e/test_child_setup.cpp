// The child's standard streams, working directory and inherited descriptors.
#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>

#include "relay_fixture.h"

using parent::inheritable_pipe;
using parent::relay_outcome;
using parent::relay_request;
using parent::relay_session;

class ChildSetup : public RelayTest {
protected:
    void SetUp() override
    {
        RelayTest::SetUp();
        parent::set_probe_env("PROBE_WRITE", L"1");
    }
    // Runs the request to the end; the pipes' child ends are closed right
    // after the start so that end-of-file means the relay and child let go.
    relay_outcome run_with_pipes(const relay_request &request, std::vector<int> child_ends)
    {
        relay_session session;
        relay_outcome outcome;
        outcome.started = parent::start_relay(request, session);
        for (int fd : child_ends)
            _close(fd);
        if (outcome.started) {
            outcome.record = parent::read_record(session, 15000);
            parent::release_relay(session);
            outcome.exit_status = parent::wait_relay_exit(session, 15000);
        }
        parent::close_session(session);
        return outcome;
    }
    static bool has_fd(const parent::probe_report &report, int fd)
    {
        return std::find(report.fds.begin(), report.fds.end(), fd) != report.fds.end();
    }
};
INSTANTIATE_FOR_BOTH_RELAYS(ChildSetup);

static std::string spec_for(int fd)
{
    return std::to_string(fd);
}

TEST_P(ChildSetup, NullDeviceGivesEndOfFileAndSwallowsOutput)
{
    // The relay's own streams are pipes here, so anything that escaped the
    // null device would show up in them.
    inheritable_pipe in = parent::make_inheritable_pipe(true);
    inheritable_pipe out = parent::make_inheritable_pipe(false);
    inheritable_pipe err = parent::make_inheritable_pipe(false);
    parent::set_probe_env("PROBE_READ_STDIN", L"1");
    relay_request request = probe_request();
    request.relay_stdin_fd = in.child_end;
    request.relay_stdout_fd = out.child_end;
    request.relay_stderr_fd = err.child_end;
    request.stdin_spec = "z";
    request.stdout_spec = "z";
    request.stderr_spec = "z";
    _write(in.parent_end, "not for the child", 17);
    relay_outcome outcome = run_with_pipes(request, {in.child_end, out.child_end, err.child_end});
    EXPECT_EQ(outcome.record.code, 0);
    EXPECT_EQ(outcome.exit_status, 0);
    parent::probe_report report = probe_report();
    ASSERT_TRUE(report.stdin_read);
    EXPECT_EQ(report.stdin_bytes, "");
    EXPECT_EQ(parent::read_pipe_until_eof(out.parent_end, 5000), "");
    EXPECT_EQ(parent::read_pipe_until_eof(err.parent_end, 5000), "");
    for (int fd : {in.parent_end, out.parent_end, err.parent_end})
        _close(fd);
}

TEST_P(ChildSetup, StreamsGoToPipesNamedByNumberAndReachEndOfFile)
{
    inheritable_pipe in = parent::make_inheritable_pipe(true);
    inheritable_pipe out = parent::make_inheritable_pipe(false);
    inheritable_pipe err = parent::make_inheritable_pipe(false);
    parent::set_probe_env("PROBE_READ_STDIN", L"1");
    relay_request request = probe_request();
    request.stdin_spec = spec_for(in.child_end);
    request.stdout_spec = spec_for(out.child_end);
    request.stderr_spec = spec_for(err.child_end);
    _write(in.parent_end, "input bytes", 11);
    _close(in.parent_end);
    relay_outcome outcome = run_with_pipes(request, {in.child_end, out.child_end, err.child_end});
    EXPECT_EQ(outcome.record.code, 0);
    bool out_eof = false, err_eof = false;
    EXPECT_EQ(parent::read_pipe_until_eof(out.parent_end, 5000, &out_eof), "probe-stdout\n");
    EXPECT_EQ(parent::read_pipe_until_eof(err.parent_end, 5000, &err_eof), "probe-stderr\n");
    EXPECT_TRUE(out_eof) << "a stray copy of the stdout pipe is left open";
    EXPECT_TRUE(err_eof) << "a stray copy of the stderr pipe is left open";
    parent::probe_report report = probe_report();
    EXPECT_EQ(report.stdin_bytes, "input bytes");
    // The sources were closed after use: the child has the streams only.
    EXPECT_FALSE(has_fd(report, out.child_end));
    EXPECT_FALSE(has_fd(report, err.child_end));
    EXPECT_FALSE(has_fd(report, in.child_end));
    _close(out.parent_end);
    _close(err.parent_end);
}

TEST_P(ChildSetup, StderrToStdoutKeepsBothStreams)
{
    inheritable_pipe out = parent::make_inheritable_pipe(false);
    relay_request request = probe_request();
    request.stdout_spec = spec_for(out.child_end);
    request.stderr_spec = "1";
    relay_outcome outcome = run_with_pipes(request, {out.child_end});
    EXPECT_EQ(outcome.record.code, 0);
    bool eof = false;
    EXPECT_EQ(parent::read_pipe_until_eof(out.parent_end, 5000, &eof),
              "probe-stdout\nprobe-stderr\n");
    EXPECT_TRUE(eof);
    parent::probe_report report = probe_report();
    EXPECT_TRUE(has_fd(report, 1));
    EXPECT_TRUE(has_fd(report, 2));
    _close(out.parent_end);
}

TEST_P(ChildSetup, BothStreamsToOnePipe)
{
    inheritable_pipe out = parent::make_inheritable_pipe(false);
    relay_request request = probe_request();
    request.stdout_spec = spec_for(out.child_end);
    request.stderr_spec = spec_for(out.child_end);
    relay_outcome outcome = run_with_pipes(request, {out.child_end});
    EXPECT_EQ(outcome.record.code, 0);
    bool eof = false;
    EXPECT_EQ(parent::read_pipe_until_eof(out.parent_end, 5000, &eof),
              "probe-stdout\nprobe-stderr\n");
    EXPECT_TRUE(eof);
    EXPECT_FALSE(has_fd(probe_report(), out.child_end));
    _close(out.parent_end);
}

TEST_P(ChildSetup, StdoutAndStderrBothNamingStderr)
{
    // Both streams go where stderr already goes; stderr must stay open.
    inheritable_pipe err = parent::make_inheritable_pipe(false);
    relay_request request = probe_request();
    request.relay_stderr_fd = err.child_end;
    request.stdout_spec = "2";
    request.stderr_spec = "2";
    relay_outcome outcome = run_with_pipes(request, {err.child_end});
    EXPECT_EQ(outcome.record.code, 0);
    EXPECT_EQ(parent::read_pipe_until_eof(err.parent_end, 5000), "probe-stdout\nprobe-stderr\n");
    EXPECT_TRUE(has_fd(probe_report(), 2));
    _close(err.parent_end);
}

TEST_P(ChildSetup, ChannelHandedOverAsAStandardStreamSurvivesRedirection)
{
    // A parent without a console may find its report pipe at descriptor 1;
    // redirecting stdout must not overwrite the channel.
    inheritable_pipe out = parent::make_inheritable_pipe(false);
    relay_request request = probe_request();
    relay_session session;
    inheritable_pipe report = parent::make_inheritable_pipe(false);
    request.relay_stdout_fd = report.child_end;
    request.raw_positions = {L"1", L"%S", L"-", std::to_wstring(out.child_end), L"z", L"-",
                             L"n", L"n", L"w", probe_path()};
    ASSERT_TRUE(parent::start_relay(request, session));
    _close(report.child_end);
    _close(out.child_end);
    // The record arrives on the pipe the relay had as descriptor 1.
    _close(session.report_read);
    session.report_read = report.parent_end;
    parent::record_result record = parent::read_record(session, 15000);
    EXPECT_EQ(record.bytes, 8);
    EXPECT_EQ(record.code, 0);
    parent::release_relay(session);
    EXPECT_EQ(parent::wait_relay_exit(session, 10000), 0);
    EXPECT_EQ(parent::read_pipe_until_eof(out.parent_end, 5000), "probe-stdout\n");
    parent::close_session(session);
    _close(out.parent_end);
}

TEST_P(ChildSetup, WorkingDirectoryWithUnicodeName)
{
    std::wstring dir = scratch() + L"dir \u00e9\u4e2d \U0001F600";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    // Given verbatim, the same directory: the child keeps its plain form.
    for (const std::wstring &given : {dir, L"\\\\?\\" + dir}) {
        relay_request request = probe_request();
        request.work_dir = given;
        relay_outcome outcome = parent::run_relay(request);
        EXPECT_EQ(outcome.record.code, 0) << describe(given) << ": errno " << outcome.record.value;
        EXPECT_EQ(probe_report().cwd, dir);
    }
}

TEST_P(ChildSetup, DirectoryNamedLikeAnOptionIsADirectory)
{
    ASSERT_TRUE(CreateDirectoryW((scratch() + L"-x").c_str(), nullptr));
    wchar_t old_dir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, old_dir);
    SetCurrentDirectoryW(scratch().c_str());
    relay_request request = probe_request();
    request.work_dir = L"-x";
    relay_outcome outcome = parent::run_relay(request);
    SetCurrentDirectoryW(old_dir);
    EXPECT_EQ(outcome.record.code, 0);
    EXPECT_EQ(probe_report().cwd, scratch() + L"-x");
}

TEST_P(ChildSetup, MissingDirectoryIsReportedAndLaunchesNothing)
{
    relay_request request = probe_request();
    request.work_dir = scratch() + L"missing";
    relay_session session;
    ASSERT_TRUE(parent::start_relay(request, session));
    parent::record_result record = parent::read_record(session, 15000);
    EXPECT_EQ(record.bytes, 8);
    EXPECT_EQ(record.code, 1);
    EXPECT_EQ(record.value, ENOENT);
    EXPECT_EQ(parent::wait_relay_exit(session, 10000), 1) << "no release needed";
    parent::close_session(session);
    EXPECT_FALSE(probe_report().present);
}

TEST_P(ChildSetup, ExtraDescriptorsReachTheChildUnlessClosed)
{
    std::wstring file = scratch() + L"extra.txt";
    int extra = _wopen(file.c_str(), _O_CREAT | _O_WRONLY | _O_BINARY, 0666);
    ASSERT_GE(extra, 3);
    // Descriptors of 1000 and above are never closed by the relay.
    int high = 1500;
    ASSERT_EQ(_dup2(extra, high), 0);
    for (bool close_fds : {false, true}) {
        relay_request request = probe_request();
        request.close_fds = close_fds;
        relay_outcome outcome = parent::run_relay(request);
        EXPECT_EQ(outcome.record.code, 0);
        parent::probe_report report = probe_report();
        EXPECT_EQ(has_fd(report, extra), !close_fds) << "close_fds=" << close_fds;
        EXPECT_TRUE(has_fd(report, high)) << "close_fds=" << close_fds;
        if (close_fds) {
            for (int fd : report.fds)
                EXPECT_TRUE(fd <= 2 || fd == high) << "descriptor " << fd << " reached the child";
        }
    }
    _close(high);
    _close(extra);
}

TEST_P(ChildSetup, BadStreamNumbersLeaveTheStreamAsInherited)
{
    // Not open, negative, beyond 32 bits: the stream stays where it was.
    inheritable_pipe out = parent::make_inheritable_pipe(false);
    for (const char *bad : {"1777", "-5x", "-99999", "99999999999", "4294967297"}) {
        relay_request request = probe_request();
        request.relay_stdout_fd = out.child_end;
        request.stdout_spec = bad;
        relay_outcome outcome = parent::run_relay(request);
        EXPECT_EQ(outcome.record.code, 0) << bad;
        EXPECT_EQ(outcome.exit_status, 0) << bad;
    }
    _close(out.child_end);
    std::string all = parent::read_pipe_until_eof(out.parent_end, 5000);
    EXPECT_EQ(all, "probe-stdout\nprobe-stdout\nprobe-stdout\nprobe-stdout\nprobe-stdout\n");
    _close(out.parent_end);
}

TEST_P(ChildSetup, StreamTextWithoutDigitsNamesDescriptorZero)
{
    // "abc" reads as descriptor 0: stdout comes to refer to the relay's stdin,
    // and the relay's stdin stays open for the child.
    inheritable_pipe in = parent::make_inheritable_pipe(true);
    relay_request request = probe_request();
    request.relay_stdin_fd = in.child_end;
    request.stdout_spec = "abc";
    relay_outcome outcome = run_with_pipes(request, {in.child_end});
    EXPECT_EQ(outcome.record.code, 0);
    parent::probe_report report = probe_report();
    EXPECT_TRUE(has_fd(report, 0));
    EXPECT_TRUE(has_fd(report, 1));
    _close(in.parent_end);
}

TEST_P(ChildSetup, WideViewShorterThanTheDirectoryPosition)
{
    // The narrow view expands wildcards, the wide one does not: five files
    // matching one pattern make the narrow view ten entries long while the
    // wide view ends before the directory position.
    for (int i = 0; i < 5; ++i) {
        std::wstring name = scratch() + L"w" + std::to_wstring(i) + L".glob";
        CloseHandle(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    inheritable_pipe err = parent::make_inheritable_pipe(false);
    relay_request request = probe_request();
    request.relay_stderr_fd = err.child_end;
    request.raw_positions = {L"%R", L"%S", L"-", L"-", scratch() + L"*.glob"};
    relay_session session;
    ASSERT_TRUE(parent::start_relay(request, session));
    _close(err.child_end);
    parent::record_result record = parent::read_record(session, 15000);
    int status = parent::wait_relay_exit(session, 10000);
    std::string message = parent::read_pipe_until_eof(err.parent_end, 5000);
    _close(err.parent_end);
    // The runtime counts the wide view after the fetch, so the count check
    // passes and the absent directory position must be caught by the relay.
    EXPECT_EQ(record.bytes, 8) << message;
    EXPECT_EQ(record.code, 1);
    EXPECT_EQ(record.value, EINVAL);
    EXPECT_EQ(status, 1);
    parent::close_session(session);
    EXPECT_FALSE(probe_report().present);
}
