// The child's command text has a platform limit of 32,767 units, terminator
// included. A text that reaches the limit exactly must launch and arrive
// intact; one unit more must be reported as a launch failure with E2BIG, and
// nothing may be launched, neither truncated nor half-right.
//
// The length that counts is that of the text the relay's launch call builds:
// the relay's quoted entries, program path first as argument zero (quoted when
// it holds a blank), joined by single blanks.
//
// Reaching the boundary takes care, since the relay's own command line is
// bound by the same limit and carries more than the child's: the relay's path,
// nine control entries and the program path on top of the child's arguments.
// So the test needs arguments whose quoted form grows more on the way to the
// child than on the way to the relay. Backslashes at the end of an argument
// with a blank do that: the relay encloses the argument in quotes and must
// double the run in front of its closing quote ("x y\\\\"), while this parent
// closes the quote before the run ("x y"\\), where the backslashes are plain.
// Eight such arguments of 1,000 backslashes leave some 8,000 units of room,
// far more than the relay's extra entries need. The parent here therefore
// quotes as tightly as the runtime allows instead of the reference parent's
// always-quoted form, and checks that its own text stays within the limit.
#include <errno.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include "relay_fixture.h"
#include "rules/quote.h"

namespace {

const size_t COMMAND_TEXT_LIMIT = 32767; // units, terminator included

class CommandLimit : public RelayTest {
protected:
    // The probe again, in a directory with a blank, so that argument zero is
    // quoted by the relay and its quotes count.
    std::wstring blank_probe_path()
    {
        std::wstring dir = scratch() + L"dir with blank\\";
        CreateDirectoryW(dir.c_str(), nullptr);
        std::wstring path = dir + L"probe_child.exe";
        CopyFileW(probe_path().c_str(), path.c_str(), FALSE);
        return path;
    }
};
INSTANTIATE_FOR_BOTH_RELAYS(CommandLimit);

size_t trailing_backslashes(const std::wstring &entry)
{
    size_t run = 0;
    while (run < entry.size() && entry[entry.size() - 1 - run] == L'\\')
        ++run;
    return run;
}

bool has_blank_or_tab(const std::wstring &entry)
{
    return entry.find_first_of(L" \t") != std::wstring::npos;
}

// The relay's quoting, from the protocol's rules.
std::wstring relay_quoted(const std::wstring &entry)
{
    std::wstring quoted(pf_quote_argument(entry.c_str(), PF_QUOTE_WHEN_NEEDED, nullptr, 0) + 1, L'\0');
    pf_quote_argument(entry.c_str(), PF_QUOTE_WHEN_NEEDED, &quoted[0], quoted.size());
    quoted.pop_back();
    return quoted;
}

// This parent's quoting: the same, except that a trailing run is left outside
// the closing quote, where it is plain and stays single.
std::wstring tight_quoted(const std::wstring &entry)
{
    if (entry.empty() || !has_blank_or_tab(entry))
        return relay_quoted(entry);
    size_t run = trailing_backslashes(entry);
    return relay_quoted(entry.substr(0, entry.size() - run)) + std::wstring(run, L'\\');
}

std::wstring joined(const std::vector<std::wstring> &entries, std::wstring (*quote)(const std::wstring &))
{
    std::wstring text;
    for (const std::wstring &entry : entries)
        text += (text.empty() ? L"" : L" ") + quote(entry);
    return text;
}

std::wstring program_name_quoted(const std::wstring &path)
{
    return has_blank_or_tab(path) ? L"\"" + path + L"\"" : path;
}

// Arguments for program whose child command text takes exactly units units,
// terminator included: fillers that grow on the way to the child, then one
// plain argument that makes up the rest.
std::vector<std::wstring> arguments_for_length(const std::wstring &program, size_t fillers, size_t units)
{
    std::vector<std::wstring> args(fillers, L"x y" + std::wstring(1000, L'\\'));
    std::vector<std::wstring> entries = args;
    entries.insert(entries.begin(), program);
    size_t used = joined(entries, relay_quoted).size() + 1 /* blank */ + 1 /* terminator */;
    if (units > used)
        args.push_back(std::wstring(units - used, L'p'));
    return args;
}

// A request quoted by this parent's tight rules.
parent::relay_request tightly_quoted(parent::relay_request request)
{
    request.quote_program = program_name_quoted;
    request.quote_entry = tight_quoted;
    return request;
}

} // namespace

TEST_P(CommandLimit, TextOfExactlyTheLimitLaunchesIntact)
{
    std::wstring program = blank_probe_path();
    std::vector<std::wstring> args = arguments_for_length(program, 8, COMMAND_TEXT_LIMIT);
    std::vector<std::wstring> expected = args;
    expected.insert(expected.begin(), program);
    std::wstring child_text = joined(expected, relay_quoted);
    ASSERT_EQ(child_text.size() + 1, COMMAND_TEXT_LIMIT);

    parent::relay_request request = probe_request(args);
    request.program = program;
    parent::relay_session session;
    ASSERT_TRUE(parent::start_relay(tightly_quoted(request), session)) << "errno " << session.spawn_errno;
    ASSERT_LT(session.command_line.size() + 1, COMMAND_TEXT_LIMIT)
        << "the relay's own command text must be within the limit too";
    parent::record_result record = parent::read_record(session, 15000);
    parent::release_relay(session);
    int exit_status = parent::wait_relay_exit(session, 15000);
    parent::close_session(session);

    EXPECT_EQ(record.bytes, 8);
    EXPECT_EQ(record.code, 0) << "value " << record.value;
    EXPECT_EQ(record.value, 0);
    EXPECT_EQ(exit_status, 0);
    parent::probe_report report = probe_report();
    ASSERT_TRUE(report.present);
    EXPECT_EQ(report.command_line.size(), child_text.size());
    EXPECT_TRUE(report.command_line == child_text) << "the child's command text differs";
    EXPECT_TRUE(report.argv == expected) << "the child's arguments differ";
}

TEST_P(CommandLimit, TextPastTheLimitIsE2bigAndLaunchesNothing)
{
    std::wstring program = blank_probe_path();
    struct over_long_case {
        size_t fillers;
        size_t units;
        bool search;
    };
    // One unit past the limit, with and without path search, and far past it.
    for (over_long_case c : {over_long_case{8, COMMAND_TEXT_LIMIT + 1, false},
                             over_long_case{8, COMMAND_TEXT_LIMIT + 1, true},
                             over_long_case{16, 45000, false}}) {
        SCOPED_TRACE("child text of " + std::to_string(c.units) + " units, search " +
                     std::to_string(c.search));
        std::vector<std::wstring> args = arguments_for_length(program, c.fillers, c.units);
        std::vector<std::wstring> entries = args;
        entries.insert(entries.begin(), program);
        ASSERT_EQ(joined(entries, relay_quoted).size() + 1, c.units);

        DeleteFileW(probe_out().c_str());
        parent::relay_request request = probe_request(args);
        request.program = program;
        request.search_path = c.search;
        parent::relay_session session;
        ASSERT_TRUE(parent::start_relay(tightly_quoted(request), session)) << "errno " << session.spawn_errno;
        ASSERT_LT(session.command_line.size() + 1, COMMAND_TEXT_LIMIT)
            << "the relay's own command text must be within the limit";
        parent::record_result record = parent::read_record(session, 15000);
        // A failure ends the relay without waiting for the release.
        int exit_status = parent::wait_relay_exit(session, 15000);
        parent::close_session(session);

        EXPECT_EQ(record.bytes, 8);
        EXPECT_EQ(record.code, 2);
        EXPECT_EQ(record.value, E2BIG);
        EXPECT_EQ(exit_status, 1);
        // In wait mode a child launched by mistake has ended, and written its
        // report, before any record is sent.
        EXPECT_FALSE(probe_report().present) << "a child was launched";
    }
}
