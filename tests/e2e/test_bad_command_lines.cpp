// Malformed relay command lines: whatever a parent hands over, the relay ends
// by itself with a check report, a failure record or a normal launch; never a
// crash, a runtime abort or a hang.
#include <errno.h>
#include <io.h>
#include <windows.h>

#include "relay_fixture.h"

enum class Expect {
    check,         // the base library's check report, no record
    dir_failed,    // record (1, errno), exit 1
    launch_failed, // record (2, errno), exit 1
    launched,      // record (0, ...), exit 0 after the release
    no_record,     // exit 1; the record had nowhere to go
    sound          // any of the above
};

struct bad_line {
    const char *name;
    std::vector<std::wstring> positions; // "%R", "%S" and "%P" (the probe) are replaced
    Expect expect;
};

class BadCommandLines : public RelayTest {
protected:
    void run_case(const bad_line &line);
};
INSTANTIATE_FOR_BOTH_RELAYS(BadCommandLines);

static const DWORD STATUS_ACCESS_VIOLATION_CODE = 0xC0000005;

void BadCommandLines::run_case(const bad_line &line)
{
    SCOPED_TRACE(line.name);
    // The relay's own streams are pipes of ours: stdin at end-of-file (a line
    // that makes stdin the sync channel then still gets released), stdout and
    // stderr captured.
    parent::inheritable_pipe in = parent::make_inheritable_pipe(true);
    parent::inheritable_pipe out = parent::make_inheritable_pipe(false);
    parent::inheritable_pipe err = parent::make_inheritable_pipe(false);
    _close(in.parent_end);
    parent::relay_request request = probe_request();
    request.relay_stdin_fd = in.child_end;
    request.relay_stdout_fd = out.child_end;
    request.relay_stderr_fd = err.child_end;
    request.raw_line = true;
    for (std::wstring position : line.positions) {
        size_t at = position.find(L"%P");
        if (at != std::wstring::npos)
            position.replace(at, 2, probe_path());
        request.raw_positions.push_back(position);
    }
    parent::relay_session session;
    ASSERT_TRUE(parent::start_relay(request, session));
    for (int fd : {in.child_end, out.child_end, err.child_end})
        _close(fd);
    parent::record_result record = parent::read_record(session, 4000);
    parent::release_relay(session);
    int status = parent::wait_relay_exit(session, 10000);
    std::string message = parent::read_pipe_until_eof(err.parent_end, 3000);
    parent::read_pipe_until_eof(out.parent_end, 3000);
    _close(out.parent_end);
    _close(err.parent_end);
    parent::close_session(session);

    ASSERT_NE(status, -1000) << "the relay hung";
    ASSERT_NE((DWORD)status, STATUS_ACCESS_VIOLATION_CODE) << "the relay crashed";
    ASSERT_TRUE(status == 0 || status == 1 || status == 3)
        << "unexpected exit status " << std::hex << status;
    bool check_report = message.find("assertion failed") != std::string::npos;
    if (status == 3) {
        EXPECT_TRUE(check_report) << "status 3 without a check report: " << message;
    }
    if (status == 0 && record.bytes == 8) {
        EXPECT_EQ(record.code, 0);
    }
    if (status == 1 && record.bytes == 8) {
        EXPECT_TRUE(record.code == 1 || record.code == 2) << record.code;
        EXPECT_GT(record.value, 0) << "a failure record needs an error number";
    }
    switch (line.expect) {
    case Expect::check:
        EXPECT_EQ(status, 3);
        EXPECT_TRUE(check_report) << message;
        EXPECT_EQ(record.bytes, 0);
        break;
    case Expect::dir_failed:
    case Expect::launch_failed:
        EXPECT_EQ(status, 1);
        EXPECT_EQ(record.bytes, 8);
        EXPECT_EQ(record.code, line.expect == Expect::dir_failed ? 1 : 2);
        EXPECT_FALSE(probe_report().present) << "nothing may be launched";
        break;
    case Expect::launched:
        EXPECT_EQ(status, 0);
        EXPECT_EQ(record.bytes, 8);
        EXPECT_EQ(record.code, 0);
        break;
    case Expect::no_record:
        EXPECT_EQ(status, 1);
        EXPECT_EQ(record.bytes, 0);
        EXPECT_FALSE(probe_report().present);
        break;
    case Expect::sound:
        break;
    }
    DeleteFileW(probe_out().c_str());
}

static std::vector<std::wstring> good_line(std::vector<std::pair<int, std::wstring>> changes)
{
    std::vector<std::wstring> positions = {L"%R", L"%S", L"-", L"-", L"-", L"-",
                                           L"n",  L"n",  L"w", L"%P"};
    for (auto &change : changes) {
        if (change.first >= (int)positions.size())
            positions.resize(change.first + 1);
        positions[change.first - 1] = change.second;
    }
    return positions;
}

TEST_P(BadCommandLines, TooFewEntriesAreCheckFailures)
{
    std::vector<std::wstring> full = good_line({});
    for (size_t count = 0; count < 9; ++count) {
        std::vector<std::wstring> positions(full.begin(), full.begin() + count);
        run_case({"fewer than ten entries", positions, Expect::check});
    }
    run_case({"nine empty entries", std::vector<std::wstring>(8, L""), Expect::check});
}

TEST_P(BadCommandLines, EmptyTextsInEveryPosition)
{
    run_case({"all ten empty", std::vector<std::wstring>(10, L""), Expect::sound});
    run_case({"empty report", good_line({{1, L""}}), Expect::sound});
    run_case({"empty sync", good_line({{2, L""}}), Expect::launched});
    run_case({"empty stream texts", good_line({{3, L""}, {4, L""}, {5, L""}}), Expect::launched});
    run_case({"empty directory", good_line({{6, L""}}), Expect::dir_failed});
    run_case({"empty letters", good_line({{7, L""}, {8, L""}, {9, L""}}), Expect::sound});
    run_case({"empty program", good_line({{10, L""}}), Expect::launch_failed});
    run_case({"empty program with search", good_line({{8, L"y"}, {10, L""}}), Expect::launch_failed});
}

TEST_P(BadCommandLines, DescriptorTextsThatAreNotChannels)
{
    run_case({"letters as report", good_line({{1, L"abc"}}), Expect::sound});
    run_case({"letters as sync", good_line({{2, L"xyz"}}), Expect::launched});
    run_case({"negative report", good_line({{1, L"-1"}}), Expect::no_record});
    run_case({"negative sync", good_line({{2, L"-3"}}), Expect::launch_failed});
    run_case({"huge report", good_line({{1, L"99999999999"}}), Expect::sound});
    run_case({"huge sync", good_line({{2, L"4294967299"}}), Expect::sound});
    run_case({"marker alone", good_line({{1, L"#"}}), Expect::sound});
    run_case({"report not open", good_line({{1, L"1999"}}), Expect::no_record});
    run_case({"sync not open", good_line({{2, L"1999"}}), Expect::launch_failed});
    run_case({"report past the table", good_line({{1, L"5000"}}), Expect::no_record});
    run_case({"report as stdin", good_line({{1, L"0"}}), Expect::sound});
    run_case({"sync as stdin, stdin nulled", good_line({{2, L"0"}, {3, L"z"}}), Expect::launched});
    run_case({"report as stderr, stderr nulled", good_line({{1, L"2"}, {5, L"z"}}), Expect::sound});
    run_case({"blank before report", good_line({{1, L" %R"}}), Expect::launched});
    run_case({"junk after report", good_line({{1, L"%Rjunk"}}), Expect::launched});
    run_case({"plus before report", good_line({{1, L"+%R"}}), Expect::launched});
    run_case({"report and sync the same", good_line({{2, L"%R"}}), Expect::sound});
}

TEST_P(BadCommandLines, StreamTextsThatNameNothingUseful)
{
    run_case({"stream not open", good_line({{3, L"1777"}, {4, L"1778"}}), Expect::launched});
    run_case({"negative stream", good_line({{4, L"-7"}, {5, L"-2147483648"}}), Expect::launched});
    run_case({"huge stream", good_line({{5, L"99999999999"}}), Expect::launched});
    run_case({"letters as stream", good_line({{4, L"q"}, {5, L"#"}}), Expect::launched});
    run_case({"minus with junk", good_line({{3, L"-junk"}, {4, L"--"}}), Expect::launched});
    run_case({"z with junk", good_line({{3, L"zzz"}}), Expect::launched});
    run_case({"stream is the report channel", good_line({{5, L"%R"}}), Expect::sound});
    run_case({"stream past the table", good_line({{4, L"2048"}, {5, L"65536"}}), Expect::launched});
}

TEST_P(BadCommandLines, DirectoriesThatAreNotDirectories)
{
    std::wstring file = scratch() + L"file.txt";
    CloseHandle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    run_case({"directory is a file", good_line({{6, file}}), Expect::dir_failed});
    run_case({"directory missing", good_line({{6, scratch() + L"nope"}}), Expect::dir_failed});
    run_case({"directory very long", good_line({{6, std::wstring(20000, L'd')}}), Expect::dir_failed});
    run_case({"directory with a wildcard", good_line({{6, scratch() + L"*"}}), Expect::sound});
    run_case({"directory with invalid characters", good_line({{6, L"a<>|b"}}), Expect::dir_failed});
}

TEST_P(BadCommandLines, ProgramsThatCannotRun)
{
    std::wstring text_file = scratch() + L"notes.txt";
    HANDLE file = CreateFileW(text_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "not a program", 13, &written, nullptr);
    CloseHandle(file);
    run_case({"program is a directory", good_line({{10, scratch()}}), Expect::launch_failed});
    run_case({"program is a text file", good_line({{10, text_file}}), Expect::launch_failed});
    run_case({"program missing, searched", good_line({{8, L"y"}, {10, L"no-such-program-x"}}),
              Expect::launch_failed});
    run_case({"program with a quote", good_line({{10, L"%P\""}}), Expect::launch_failed});
    run_case({"marker and only a program", good_line({{1, L"%R#"}}), Expect::sound});
    run_case({"marker and no program", good_line({{1, L"%R#"}, {10, L""}}), Expect::launch_failed});
}

TEST_P(BadCommandLines, LetterPositionsWithUnexpectedText)
{
    run_case({"upper-case letters", good_line({{7, L"Y"}, {8, L"Y"}, {9, L"W"}}), Expect::launched});
    run_case({"punctuation letters", good_line({{7, L"!!"}, {8, L"?"}, {9, L"*"}}), Expect::launched});
    run_case({"long words", good_line({{7, L"yes please"}, {9, L"wait for it"}}), Expect::launched});
}
