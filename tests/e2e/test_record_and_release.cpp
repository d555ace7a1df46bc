// The report record, the release and the launch failures, seen by a parent.
#include <errno.h>
#include <io.h>
#include <windows.h>

#include "relay_fixture.h"

using parent::relay_outcome;
using parent::relay_request;
using parent::relay_session;

class RecordAndRelease : public RelayTest {};
INSTANTIATE_FOR_BOTH_RELAYS(RecordAndRelease);

static bool still_running(const relay_session &session, int ms)
{
    return WaitForSingleObject((HANDLE)session.process, ms) == WAIT_TIMEOUT;
}

TEST_P(RecordAndRelease, WaitModeSendsTheChildsExitStatusAfterItEnded)
{
    parent::set_probe_env("PROBE_EXIT", L"42");
    parent::set_probe_env("PROBE_SLEEP_MS", L"600");
    DWORD start = GetTickCount();
    relay_session session;
    ASSERT_TRUE(parent::start_relay(probe_request(), session));
    parent::record_result record = parent::read_record(session, 15000);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(record.bytes, 8);
    EXPECT_EQ(record.code, 0);
    EXPECT_EQ(record.value, 42);
    EXPECT_GE(elapsed, 550u) << "the record came before the child could have ended";
    EXPECT_TRUE(still_running(session, 200)) << "the relay must wait for the release";
    parent::release_relay(session);
    EXPECT_EQ(parent::wait_relay_exit(session, 10000), 0);
    parent::close_session(session);
}

TEST_P(RecordAndRelease, NoWaitSendsAHandleWhileTheChildRunsAndWaitsForTheRelease)
{
    for (bool release_with_byte : {true, false}) {
        parent::set_probe_env("PROBE_SLEEP_MS", L"6000");
        relay_request request = probe_request();
        request.wait = false;
        DWORD start = GetTickCount();
        relay_session session;
        ASSERT_TRUE(parent::start_relay(request, session));
        parent::record_result record = parent::read_record(session, 15000);
        EXPECT_EQ(record.bytes, 8);
        EXPECT_EQ(record.code, 0);
        EXPECT_NE(record.value, 0);
        EXPECT_NE(record.value, -1);
        EXPECT_LT(GetTickCount() - start, 5000u) << "the record must not wait for the child";
        EXPECT_TRUE(still_running(session, 300)) << "released too early";
        // Releasing by end-of-file works like releasing by a byte.
        parent::release_relay(session, release_with_byte);
        EXPECT_EQ(parent::wait_relay_exit(session, 10000), 0);
        parent::close_session(session);
    }
}

TEST_P(RecordAndRelease, ChildExitingWithMinusOneIsNotALaunchFailure)
{
    // Closing descriptors leaves errno set by the closes that fail; the status
    // -1 must still arrive as a status.
    parent::set_probe_env("PROBE_EXIT", L"-1");
    for (bool close_fds : {false, true}) {
        relay_request request = probe_request();
        request.close_fds = close_fds;
        relay_outcome outcome = parent::run_relay(request);
        EXPECT_EQ(outcome.record.bytes, 8);
        EXPECT_EQ(outcome.record.code, 0) << "close_fds=" << close_fds;
        EXPECT_EQ(outcome.record.value, -1);
        EXPECT_EQ(outcome.exit_status, 0);
    }
}

TEST_P(RecordAndRelease, MissingProgramIsALaunchFailureWithoutRelease)
{
    for (bool wait : {true, false}) {
        relay_request request = probe_request();
        request.program = scratch() + L"no-such-program.exe";
        request.wait = wait;
        relay_session session;
        ASSERT_TRUE(parent::start_relay(request, session));
        parent::record_result record = parent::read_record(session, 15000);
        EXPECT_EQ(record.bytes, 8);
        EXPECT_EQ(record.code, 2);
        EXPECT_EQ(record.value, ENOENT);
        // No release: the relay ends by itself.
        EXPECT_EQ(parent::wait_relay_exit(session, 10000), 1);
        parent::close_session(session);
    }
}

TEST_P(RecordAndRelease, PathSearchFindsTheProgramOnlyWhenAskedTo)
{
    std::wstring old_path = _wgetenv(L"PATH") ? _wgetenv(L"PATH") : L"";
    std::wstring dir = parent::own_directory();
    _wputenv((L"PATH=" + dir.substr(0, dir.size() - 1) + L";" + old_path).c_str());
    for (bool search : {true, false}) {
        relay_request request = probe_request({L"searched"});
        request.program = L"probe_child.exe";
        request.work_dir = scratch(); // so that the bare name is not found beside us
        request.search_path = search;
        relay_outcome outcome = parent::run_relay(request);
        if (search) {
            EXPECT_EQ(outcome.record.code, 0);
            EXPECT_EQ(outcome.exit_status, 0);
            EXPECT_EQ(probe_report().argv.at(1), L"searched");
        } else {
            EXPECT_EQ(outcome.record.code, 2);
            EXPECT_EQ(outcome.record.value, ENOENT);
            EXPECT_EQ(outcome.exit_status, 1);
        }
    }
    _wputenv((L"PATH=" + old_path).c_str());
}

TEST_P(RecordAndRelease, Argv0MarkerSeparatesTheProgramFromArgumentZero)
{
    relay_request request = probe_request({L"custom-zero", L"one"});
    request.argv0_marker = true;
    relay_outcome outcome = parent::run_relay(request);
    EXPECT_EQ(outcome.record.code, 0);
    parent::probe_report report = probe_report();
    ASSERT_EQ(report.argv.size(), 2u);
    EXPECT_EQ(report.argv[0], L"custom-zero");
    EXPECT_EQ(report.argv[1], L"one");

    // Without the marker the program path is argument zero.
    outcome = parent::run_relay(probe_request({L"one"}));
    report = probe_report();
    ASSERT_EQ(report.argv.size(), 2u);
    EXPECT_EQ(report.argv[0], probe_path());
}

TEST_P(RecordAndRelease, TenEntriesWithoutAProgramAreALaunchFailure)
{
    for (const wchar_t *report_text : {L"%R", L"%R#"}) {
        relay_request request = probe_request();
        request.raw_positions = {report_text, L"%S", L"-", L"-", L"-", L"-", L"n", L"n", L"w"};
        relay_outcome outcome = parent::run_relay(request);
        EXPECT_EQ(outcome.record.bytes, 8);
        EXPECT_EQ(outcome.record.code, 2);
        EXPECT_EQ(outcome.record.value, EINVAL);
        EXPECT_EQ(outcome.exit_status, 1);
    }
}

TEST_P(RecordAndRelease, TooShortCommandLineIsACheckFailureWithoutRecord)
{
    parent::inheritable_pipe stderr_pipe = parent::make_inheritable_pipe(false);
    relay_request request = probe_request();
    request.raw_positions = {L"%R", L"%S", L"-", L"-", L"-", L"-", L"n", L"n"};
    request.relay_stderr_fd = stderr_pipe.child_end;
    relay_session session;
    ASSERT_TRUE(parent::start_relay(request, session));
    _close(stderr_pipe.child_end);
    parent::record_result record = parent::read_record(session, 15000);
    EXPECT_EQ(record.bytes, 0) << "no record on a check failure";
    int status = parent::wait_relay_exit(session, 10000);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1000);
    std::string message = parent::read_pipe_until_eof(stderr_pipe.parent_end, 5000);
    _close(stderr_pipe.parent_end);
    EXPECT_NE(message.find("__argc >= ARG_COUNT"), std::string::npos) << message;
    std::string entry = std::string(GetParam()) == "gui" ? "WinMain" : "main";
    EXPECT_NE(message.find(":" + entry + ":"), std::string::npos) << message;
    EXPECT_NE(message.find("relay/relay_main.cpp"), std::string::npos) << message;
    EXPECT_EQ(message.find("/work"), std::string::npos) << "names the build machine's folders";
    parent::close_session(session);
}

TEST_P(RecordAndRelease, ChannelsDoNotReachTheChild)
{
    // The child runs on after the relay is released; the parent must then see
    // end-of-file on the report channel, which it cannot while the child holds
    // a copy of it.
    parent::set_probe_env("PROBE_SLEEP_MS", L"8000");
    relay_request request = probe_request();
    request.wait = false;
    relay_session session;
    ASSERT_TRUE(parent::start_relay(request, session));
    EXPECT_EQ(parent::read_record(session, 15000).bytes, 8);
    parent::release_relay(session);
    EXPECT_EQ(parent::wait_relay_exit(session, 10000), 0);
    DWORD start = GetTickCount();
    bool eof = false;
    parent::read_pipe_until_eof(session.report_read, 6000, &eof);
    EXPECT_TRUE(eof) << "the child holds the report channel";
    EXPECT_LT(GetTickCount() - start, 6000u);
    parent::probe_report report = probe_report();
    for (int fd : report.fds) {
        EXPECT_NE(fd, session.relay_report_fd);
        EXPECT_NE(fd, session.relay_sync_fd);
    }
    parent::close_session(session);
}

TEST_P(RecordAndRelease, ChannelThatIsNotOpenLaunchesNothing)
{
    // Report channel not open: nothing to report on; the relay just ends.
    // Sync channel not open: the failure goes out on the report channel.
    for (int bad : {0, 1}) {
        relay_request request = probe_request();
        request.raw_positions = {bad == 0 ? L"1999" : L"%R", bad == 1 ? L"1999" : L"%S", L"-",
                                 L"-", L"-", L"-", L"n", L"n", L"w", probe_path()};
        relay_outcome outcome = parent::run_relay(request);
        EXPECT_EQ(outcome.exit_status, 1);
        if (bad == 1) {
            EXPECT_EQ(outcome.record.bytes, 8);
            EXPECT_EQ(outcome.record.code, 2);
            EXPECT_EQ(outcome.record.value, EBADF);
        } else {
            EXPECT_EQ(outcome.record.bytes, 0);
        }
        EXPECT_FALSE(probe_report().present) << "nothing may be launched";
    }
}
