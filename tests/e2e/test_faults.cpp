// Faults on either side of the relay: a parent that lets go of its channels
// early, and children that crash or exit with odd statuses.
#include <io.h>
#include <windows.h>

#include "relay_fixture.h"

class Faults : public RelayTest {};
INSTANTIATE_FOR_BOTH_RELAYS(Faults);

static bool wait_for_file(const std::wstring &path, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(10);
    }
    return false;
}

TEST_P(Faults, ParentClosingTheSyncChannelReleasesTheRelayPromptly)
{
    parent::relay_session session;
    ASSERT_TRUE(parent::start_relay(probe_request(), session));
    EXPECT_EQ(parent::read_record(session, 15000).code, 0);
    DWORD start = GetTickCount();
    parent::release_relay(session, false);
    EXPECT_EQ(parent::wait_relay_exit(session, 10000), 0);
    EXPECT_LT(GetTickCount() - start, 3000u);
    parent::close_session(session);
}

TEST_P(Faults, ParentClosingTheReportChannelEarlyNeitherHangsNorCrashesTheRelay)
{
    for (bool wait : {true, false}) {
        parent::relay_request request = probe_request();
        request.wait = wait;
        parent::relay_session session;
        ASSERT_TRUE(parent::start_relay(request, session));
        _close(session.report_read);
        session.report_read = -1;
        // The child still starts, and the relay still waits for its release.
        ASSERT_TRUE(wait_for_file(probe_out(), 10000));
        EXPECT_EQ(WaitForSingleObject((HANDLE)session.process, 500), (DWORD)WAIT_TIMEOUT);
        parent::release_relay(session);
        EXPECT_EQ(parent::wait_relay_exit(session, 10000), 0);
        parent::close_session(session);
        DeleteFileW(probe_out().c_str());
    }
}

TEST_P(Faults, CrashingChildIsReportedWithItsExceptionCode)
{
    parent::set_probe_env("PROBE_CRASH", L"1");
    parent::relay_outcome outcome = parent::run_relay(probe_request());
    EXPECT_EQ(outcome.record.bytes, 8);
    EXPECT_EQ(outcome.record.code, 0);
    EXPECT_TRUE(is_null_write_crash((uint32_t)outcome.record.value)) << std::hex << outcome.record.value;
    EXPECT_EQ(outcome.exit_status, 0);
}

TEST_P(Faults, ChildStatusesPassThroughUnchanged)
{
    // Statuses that look like errors (-1, 1, 2 = ENOENT) are still statuses,
    // also after closing descriptors has left errno set.
    for (const wchar_t *status : {L"1", L"2", L"-1", L"255", L"-2147483648"}) {
        parent::set_probe_env("PROBE_EXIT", status);
        parent::relay_request request = probe_request();
        request.close_fds = true;
        parent::relay_outcome outcome = parent::run_relay(request);
        EXPECT_EQ(outcome.record.code, 0) << describe(status);
        EXPECT_EQ(outcome.record.value, _wtoi(status));
        EXPECT_EQ(outcome.exit_status, 0);
    }
}

TEST_P(Faults, ChildHoldsNoCopyOfRedirectedPipesOrChannelsAfterRelease)
{
    // With a no-wait child still running: the channels reach end-of-file when
    // the relay ends; the child's stdout pipe when the child ends.
    parent::inheritable_pipe out = parent::make_inheritable_pipe(false);
    parent::set_probe_env("PROBE_SLEEP_MS", L"1500");
    parent::relay_request request = probe_request();
    request.wait = false;
    request.stdout_spec = std::to_string(out.child_end);
    parent::relay_session session;
    ASSERT_TRUE(parent::start_relay(request, session));
    _close(out.child_end);
    EXPECT_EQ(parent::read_record(session, 15000).code, 0);
    parent::release_relay(session);
    EXPECT_EQ(parent::wait_relay_exit(session, 10000), 0);
    bool report_eof = false;
    parent::read_pipe_until_eof(session.report_read, 1000, &report_eof);
    EXPECT_TRUE(report_eof);
    bool out_eof = false;
    parent::read_pipe_until_eof(out.parent_end, 10000, &out_eof);
    EXPECT_TRUE(out_eof) << "someone besides the child keeps the stdout pipe open";
    _close(out.parent_end);
    parent::close_session(session);
}
