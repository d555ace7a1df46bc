// The child is exactly what the parent asked for, or the parent hears why
// not: the directory, the channels, the program and its arguments, in tables
// run through both relay programs.
#include <errno.h>
#include <io.h>
#include <windows.h>

#include "relay_fixture.h"

namespace {

struct expected_outcome {
    int code;  // the record's code
    int value; // its value: errno, or the child's exit status
};

class ExactLaunch : public RelayTest {
protected:
    // A directory under the scratch directory whose full path is exactly
    // length units long, made of nested parts that each fit a file name.
    std::wstring make_dir_of_length(size_t length)
    {
        std::wstring path = scratch() + L"d";
        CreateDirectoryW(path.c_str(), nullptr);
        while (path.size() < length) {
            size_t part = std::min<size_t>(length - path.size() - 1, 200);
            path += L"\\" + std::wstring(part ? part : 1, L'x');
            CreateDirectoryW(path.c_str(), nullptr);
        }
        return path;
    }

    // Checks one run: the record, the relay's exit status, and whether the
    // probe ran.
    void expect_outcome(const parent::relay_outcome &outcome, expected_outcome expected)
    {
        EXPECT_EQ(outcome.record.bytes, 8);
        EXPECT_EQ(outcome.record.code, expected.code);
        EXPECT_EQ(outcome.record.value, expected.value);
        EXPECT_EQ(outcome.exit_status, expected.code == RELAY_OK ? 0 : 1);
        if (expected.code != RELAY_OK) {
            EXPECT_FALSE(probe_report().present) << "nothing may be launched";
        }
        DeleteFileW(probe_out().c_str());
    }
};
INSTANTIATE_FOR_BOTH_RELAYS(ExactLaunch);

// The child's directory is DIR whole, or (1, errno) and nothing runs: a
// current directory of 259 units or more is one the platform cannot hand
// to a child, and a device is not a directory.
TEST_P(ExactLaunch, DirectoryIsExactlyDirOrRefused)
{
    struct dir_case {
        const char *name;
        std::wstring dir;
        expected_outcome expected;
    };
    std::wstring file = scratch() + L"file.txt";
    CloseHandle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const dir_case cases[] = {
        {"258 units", make_dir_of_length(258), {RELAY_OK, 0}},
        {"259 units", make_dir_of_length(259), {RELAY_DIR_FAILED, ENAMETOOLONG}},
        {"260 units", make_dir_of_length(260), {RELAY_DIR_FAILED, ENAMETOOLONG}},
        {"300 units", make_dir_of_length(300), {RELAY_DIR_FAILED, ENAMETOOLONG}},
        {"259 units, missing", scratch() + std::wstring(259 - scratch().size(), L'm'),
         {RELAY_DIR_FAILED, ENAMETOOLONG}},
        {"null device", L"NUL", {RELAY_DIR_FAILED, ENOTDIR}},
        {"null device in a directory", scratch() + L"NUL", {RELAY_DIR_FAILED, ENOTDIR}},
        {"console device", L"CON", {RELAY_DIR_FAILED, ENOTDIR}},
        {"a file", file, {RELAY_DIR_FAILED, ENOTDIR}},
        {"trailing separator", scratch(), {RELAY_OK, 0}},
    };
    for (const dir_case &row : cases) {
        SCOPED_TRACE(row.name);
        parent::relay_request request = probe_request();
        request.work_dir = row.dir;
        expect_outcome(parent::run_relay(request), row.expected);
    }
    // The child runs where it was asked to, not in a directory next to it.
    parent::relay_request request = probe_request();
    request.work_dir = make_dir_of_length(258);
    parent::run_relay(request);
    EXPECT_EQ(probe_report().cwd, request.work_dir);
}

// A stream setting that names a channel is refused; one that names a
// descriptor the relay was not given leaves the stream as inherited, even
// when the relay has meanwhile moved a channel onto that number; so the
// report channel carries the record and nothing else.
TEST_P(ExactLaunch, ChannelsNeverBecomeChildStreams)
{
    parent::set_probe_env("PROBE_WRITE", L"1");
    struct channel_case {
        const char *name;
        std::vector<std::wstring> streams; // positions 3 to 5
        bool report_on_stdout;              // the report channel handed over as descriptor 1
        expected_outcome expected;
    };
    std::vector<channel_case> cases = {
        {"stdin names the report channel", {L"%R", L"-", L"-"}, false, {RELAY_LAUNCH_FAILED, EINVAL}},
        {"stdout names the report channel", {L"-", L"%R", L"-"}, false, {RELAY_LAUNCH_FAILED, EINVAL}},
        {"stderr names the sync channel", {L"-", L"-", L"%S"}, false, {RELAY_LAUNCH_FAILED, EINVAL}},
        {"stdout names the report channel at 1", {L"-", L"1", L"-"}, true, {RELAY_LAUNCH_FAILED, EINVAL}},
        {"report channel at 1, stdout inherited", {L"-", L"-", L"-"}, true, {RELAY_OK, 0}},
    };
    // The relay moves a channel handed over as descriptor 1 to the lowest
    // free number; one of these is it.
    for (int fd = 3; fd <= 12; ++fd)
        cases.push_back({"report channel at 1, stderr names a descriptor not given",
                         {L"-", L"-", std::to_wstring(fd)}, true, {RELAY_OK, 0}});
    for (const channel_case &row : cases) {
        SCOPED_TRACE(std::string(row.name) + " " + describe(row.streams[2]));
        parent::inheritable_pipe report = parent::make_inheritable_pipe(false);
        // This parent also hands the pipe over under its own number: naming
        // that is naming a second copy of the channel, which no relay can
        // tell from any other file.
        if (row.report_on_stdout && row.streams[2] == std::to_wstring(report.child_end)) {
            _close(report.child_end);
            _close(report.parent_end);
            continue;
        }
        parent::relay_request request = probe_request();
        if (row.report_on_stdout)
            request.relay_stdout_fd = report.child_end;
        request.raw_positions = {row.report_on_stdout ? L"1" : L"%R", L"%S"};
        for (const std::wstring &stream : row.streams)
            request.raw_positions.push_back(stream);
        for (const wchar_t *rest : {L"-", L"n", L"n", L"w"})
            request.raw_positions.push_back(rest);
        request.raw_positions.push_back(probe_path());
        parent::relay_session session;
        ASSERT_TRUE(parent::start_relay(request, session));
        _close(report.child_end);
        if (row.report_on_stdout) {
            _close(session.report_read);
            session.report_read = report.parent_end;
        } else {
            _close(report.parent_end);
        }
        parent::relay_outcome outcome;
        outcome.record = parent::read_record(session, 15000);
        parent::release_relay(session);
        outcome.exit_status = parent::wait_relay_exit(session, 10000);
        bool eof = false;
        EXPECT_EQ(parent::read_pipe_until_eof(session.report_read, 5000, &eof), "")
            << "the report channel carries the record only";
        EXPECT_TRUE(eof);
        parent::close_session(session);
        bool names_sync = row.streams[2] == std::to_wstring(session.relay_sync_fd);
        expect_outcome(outcome, names_sync ? expected_outcome{RELAY_LAUNCH_FAILED, EINVAL} : row.expected);
    }
}

} // namespace
