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
    void expect_outcome_keeping_report(const parent::relay_outcome &outcome,
                                       expected_outcome expected)
    {
        EXPECT_EQ(outcome.record.bytes, 8);
        EXPECT_EQ(outcome.record.code, expected.code);
        EXPECT_EQ(outcome.record.value, expected.value);
        EXPECT_EQ(outcome.exit_status, expected.code == RELAY_OK ? 0 : 1);
        if (expected.code != RELAY_OK) {
            EXPECT_FALSE(probe_report().present) << "nothing may be launched";
        }
    }
    void expect_outcome(const parent::relay_outcome &outcome, expected_outcome expected)
    {
        expect_outcome_keeping_report(outcome, expected);
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
        // Only "-" itself means no change; other dashes name folders.
        {"a missing folder named U+FF0D", L"\uFF0D", {RELAY_DIR_FAILED, ENOENT}},
        {"a missing folder named U+2212", L"\u2212", {RELAY_DIR_FAILED, ENOENT}},
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
    DeleteFileW(probe_out().c_str());
    // A folder named U+2010 is the child's directory, not the relay's own.
    wchar_t old_dir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, old_dir);
    SetCurrentDirectoryW(scratch().c_str());
    CreateDirectoryW(L"\u2010", nullptr);
    request.work_dir = L"\u2010";
    expect_outcome_keeping_report(parent::run_relay(request), {RELAY_OK, 0});
    EXPECT_EQ(probe_report().cwd, scratch() + L"\u2010");
    SetCurrentDirectoryW(old_dir);
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

void write_file(const std::wstring &path, const std::string &content)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, content.data(), (DWORD)content.size(), &written, nullptr);
    CloseHandle(file);
}

// Sets PATH for the relays started while it lives.
class scoped_search_path {
public:
    explicit scoped_search_path(const std::wstring &value)
    {
        const wchar_t *old = _wgetenv(L"PATH");
        old_ = old ? old : L"";
        _wputenv((L"PATH=" + value).c_str());
    }
    ~scoped_search_path() { _wputenv((L"PATH=" + old_).c_str()); }

private:
    std::wstring old_;
};

// The program launched is the one the parent named, found by the relay's own
// rules: a path as given, relative to DIR; a bare name searched for on PATH
// only, entry by entry, passing over what is not a program. Decoys that
// must never run: the relay itself renamed (a run shows as status 3, its
// check failure) and a batch file exiting 42.
TEST_P(ExactLaunch, ProgramIsTheFileAskedFor)
{
    const std::wstring s = scratch();
    for (const wchar_t *dir :
         {L"bin", L"work", L"dirhas", L"dirhas\\probe_x.exe", L"datahas", L"batch", L"semi;colon"})
        CreateDirectoryW((s + dir).c_str(), nullptr);
    CopyFileW(probe_path().c_str(), (s + L"semi;colon\\probe_x.exe").c_str(), FALSE);
    std::wstring decoy = parent::own_directory() + L"procferry-console.exe";
    CopyFileW(probe_path().c_str(), (s + L"bin\\probe_x.exe").c_str(), FALSE);
    CopyFileW(decoy.c_str(), (s + L"work\\probe_x.exe").c_str(), FALSE);
    CopyFileW((parent::own_directory() + L"libpellix-2.0-0.dll").c_str(),
              (s + L"work\\libpellix-2.0-0.dll").c_str(), FALSE);
    write_file(s + L"work\\probe_x.bat", "@exit 42\r\n");
    write_file(s + L"datahas\\probe_x.exe", "not a program");
    write_file(s + L"batch\\probe_child.bat", "@exit 42\r\n");
    // 259 units is the longest program path the launch takes whole. Beside
    // a longer one lies a decoy whose path is that one cut to 259 units.
    std::wstring long_dir = make_dir_of_length(249);
    std::wstring longest = long_dir + L"\\probe.exe";
    longest.insert(long_dir.size() + 1, 259 - longest.size(), L'p');
    CopyFileW(probe_path().c_str(), longest.c_str(), FALSE);
    std::wstring cut = long_dir + L"\\decoy.exe";
    std::wstring too_long = cut + L"x.exe";
    CopyFileW(decoy.c_str(), cut.c_str(), FALSE);
    CopyFileW(probe_path().c_str(), too_long.c_str(), FALSE);
    std::wstring far_too_long = make_dir_of_length(300) + L"\\probe.exe";
    CopyFileW(probe_path().c_str(), far_too_long.c_str(), FALSE);

    struct program_case {
        const char *name;
        std::wstring program;
        bool search;
        std::wstring search_path; // PATH for the relay
        std::wstring dir;
        expected_outcome expected;
    };
    const std::wstring bin = s + L"bin";
    // Far longer than a file path: the runtime's own search gives up on it.
    std::wstring long_search_path;
    for (int i = 0; i < 40; ++i)
        long_search_path += s + L"missing\\entry" + std::to_wstring(i) + L";";
    long_search_path += bin;
    const program_case cases[] = {
        {"DIR is not searched", L"probe_x.exe", true, bin, s + L"work", {RELAY_OK, 0}},
        {"nor for a name without extension", L"probe_x", true, bin, s + L"work", {RELAY_OK, 0}},
        {"nor the relay's own directory", L"probe_child", true, s + L"batch", L"-", {RELAY_OK, 42}},
        {"PATH naming the current directory", L"probe_x.exe", true, L".;" + bin, s + L"work",
         {RELAY_OK, RELAY_EXIT_CHECK_FAILED}},
        {"a directory of the name is passed over", L"probe_x.exe", true, s + L"dirhas;" + bin, L"-",
         {RELAY_OK, 0}},
        {"a data file of the name is passed over", L"probe_x.exe", true, s + L"datahas;" + bin, L"-",
         {RELAY_OK, 0}},
        {"missing, empty and quoted entries", L"probe_x.exe", true,
         s + L"missing;;\"" + bin + L"\"", L"-", {RELAY_OK, 0}},
        {"the last entry of a long PATH", L"probe_x", true, long_search_path, L"-", {RELAY_OK, 0}},
        {"a quoted entry holding ';' is one folder", L"probe_x.exe", true,
         L"\"" + s + L"semi;colon\";" + s + L"work", L"-", {RELAY_OK, 0}},
        {"on no entry", L"probe_x.exe", true, s + L"dirhas;" + s + L"datahas", L"-",
         {RELAY_LAUNCH_FAILED, ENOENT}},
        {"a path is taken relative to DIR", L"..\\bin\\probe_x.exe", true, L"", s + L"work",
         {RELAY_OK, 0}},
        {"a bare name without search is in DIR", L"probe_x", false, L"", bin, {RELAY_OK, 0}},
        {"a directory as program", s + L"dirhas\\probe_x.exe", false, L"", L"-",
         {RELAY_LAUNCH_FAILED, EACCES}},
        {"a data file as program", s + L"datahas\\probe_x.exe", false, L"", L"-",
         {RELAY_LAUNCH_FAILED, ENOEXEC}},
        {"a 259-unit program path", longest, false, L"", L"-", {RELAY_OK, 0}},
        {"a 264-unit program path, never cut", too_long, false, L"", L"-",
         {RELAY_LAUNCH_FAILED, ENAMETOOLONG}},
        {"a 310-unit program path", far_too_long, false, L"", L"-", {RELAY_LAUNCH_FAILED, ENAMETOOLONG}},
    };
    // The parent's current directory, which a relay without DIR keeps, is
    // the relay's own directory.
    wchar_t old_dir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, old_dir);
    SetCurrentDirectoryW(parent::own_directory().c_str());
    for (const program_case &row : cases) {
        SCOPED_TRACE(row.name);
        scoped_search_path search_path(row.search_path);
        parent::relay_request request = probe_request();
        request.program = row.program;
        request.search_path = row.search;
        request.work_dir = row.dir;
        parent::relay_outcome outcome = parent::run_relay(request);
        bool probe_ran = probe_report().present;
        expect_outcome(outcome, row.expected);
        if (row.expected.code == RELAY_OK) {
            EXPECT_EQ(probe_ran, row.expected.value == 0) << "the probe, and only the probe, runs";
        }
        // The library finds a file exactly where the relay does, or fails alike.
        wchar_t found[MAX_PATH];
        EXPECT_EQ(procferry_find_program(row.program.c_str(), row.dir == L"-" ? nullptr : row.dir.c_str(),
                                         row.search_path.c_str(), row.search, found, MAX_PATH),
                  row.expected.code == RELAY_OK ? 0 : row.expected.value);
    }
    SetCurrentDirectoryW(old_dir);
}

// A batch file runs in the command interpreter with each argument handed on
// exactly by its %*, whatever the argument holds, or nothing runs. The
// forwarding script lies in a directory whose name the interpreter would
// itself take apart, and every row runs in a directory watched for files an
// injected command or redirection would create.
TEST_P(ExactLaunch, BatchFilesRunTheirArgumentsExactlyOrNotAtAll)
{
    const std::wstring dir = scratch() + L"s&p %PATH% ^(x) !y!";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    write_file(dir + L"\\fwd.bat", "@\"" + procferry::to_utf8(probe_path()) + "\" %*\r\n");
    CopyFileW((dir + L"\\fwd.bat").c_str(), (dir + L"\\FWD2.CMD").c_str(), FALSE);
    const std::vector<std::wstring> plain = {
        L"letters09", L"two words", L"- _ . , / \\ : = @ +", L"\u00e9\u4e2d\U0001F600", L"",
        L"trailing\\", L"C:\\dir with blank\\", L"  "};
    const std::vector<std::wstring> hostile = {
        // What once ran commands, redirected, piped or expanded.
        L"\"&echo pwned>pwned.txt&rem ", L"x&echo,INJECTED", L"x>redir.txt", L"a|b", L"a<nosuchfile",
        // The round-trip vectors other runtimes test their batch quoting with.
        L"\"", L"  \" ", L"\\", L">file.txt", L"&a.exe", L" &echo hello  ", L"!TMP!",
        L"key=\"foo bar\"", L"key=[\"my_value\",\"other-value\"]", L"key\\=value", L"%PATH%",
        L"%%cd:~,%", L"%PATH%PATH%", L"\"&echo hello&whoami.exe", L"hello^\"world",
        L"hello &echo oh no >file.txt",
        // What the interpreter's second reading would substitute.
        L"%0", L"%1", L"\"%*\"", L"%~dp0", L"x%1%", L"^", L"(echo INJ)", L"a\\\"&echo INJ>inj.txt"};
    struct batch_case {
        std::string name;
        std::wstring script;
        std::vector<std::wstring> args;
        expected_outcome expected;
    };
    std::vector<batch_case> cases = {
        {"plain arguments", dir + L"\\fwd.bat", plain, {RELAY_OK, 0}},
        {"every hostile argument at once", dir + L"\\fwd.bat", hostile, {RELAY_OK, 0}},
        {"no arguments", dir + L"\\fwd.bat", {}, {RELAY_OK, 0}},
        {"upper-case .CMD", dir + L"\\FWD2.CMD", {L"a b", L"%PATH%"}, {RELAY_OK, 0}},
        {"a name without extension finds the script", dir + L"\\fwd", {L"&x", L"%TMP%"}, {RELAY_OK, 0}},
        // The interpreter cannot open \\?\ paths; the script must run all the same.
        {"named through \\\\?\\", L"\\\\?\\" + dir + L"\\fwd.bat", {L"a b", L"%PATH%"}, {RELAY_OK, 0}},
        {"a .CMD named through \\\\?\\", L"\\\\?\\" + dir + L"\\FWD2.CMD", {L"&x"}, {RELAY_OK, 0}},
        // The file system opens fwd.bat for these names.
        {"a trailing dot", dir + L"\\fwd.bat.", {L"a b"}, {RELAY_OK, 0}},
        {"a trailing blank", dir + L"\\fwd.bat ", {L"a b"}, {RELAY_OK, 0}},
        {"6000 units", dir + L"\\fwd.bat", {std::wstring(6000, L'a')}, {RELAY_OK, 0}},
        {"line feed", dir + L"\\fwd.bat", {L"a\n&echo INJ"}, {RELAY_LAUNCH_FAILED, EINVAL}},
        {"carriage return", dir + L"\\fwd.bat", {L"ok", L"a\rb"}, {RELAY_LAUNCH_FAILED, EINVAL}},
        {"past the interpreter's limit", dir + L"\\fwd.bat", {std::wstring(8200, L'a')},
         {RELAY_LAUNCH_FAILED, E2BIG}},
        {"far past it", dir + L"\\fwd.bat", {std::wstring(20000, L'%')}, {RELAY_LAUNCH_FAILED, E2BIG}},
    };
    // Alone too, the ones that once broke out, and those that the second
    // reading would turn into the script's own arguments.
    for (const wchar_t *arg : {L"\"&echo pwned>pwned.txt&rem ", L"x&echo,INJECTED", L"x>redir.txt",
                               L"a|b", L"a<nosuchfile", L"%PATH%", L"%0", L"%1", L"\"%*\"", L"\""})
        cases.push_back({"alone: " + describe(arg), dir + L"\\fwd.bat", {arg}, {RELAY_OK, 0}});
    const wchar_t *canaries[] = {L"pwned.txt", L"redir.txt", L"file.txt", L"inj.txt", L"b"};
    for (const batch_case &row : cases) {
        SCOPED_TRACE(row.name);
        parent::relay_request request = probe_request(row.args);
        request.program = row.script;
        request.work_dir = scratch();
        expect_outcome_keeping_report(parent::run_relay(request), row.expected);
        parent::probe_report report = probe_report();
        if (row.expected.code == RELAY_OK) {
            EXPECT_TRUE(report.present) << "the script did not run the probe";
            if (report.present) {
                std::vector<std::wstring> arrived(report.argv.begin() + 1, report.argv.end());
                EXPECT_EQ(arrived, row.args);
            }
        }
        for (const wchar_t *canary : canaries) {
            EXPECT_EQ(GetFileAttributesW((scratch() + canary).c_str()), INVALID_FILE_ATTRIBUTES)
                << describe(canary) << " was created";
            DeleteFileW((scratch() + canary).c_str());
        }
        DeleteFileW(probe_out().c_str());
    }
}

} // namespace
