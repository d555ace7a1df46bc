// procferry-run, the command-line parent, run end to end the way a person
// runs it: a separate process whose stdout, stderr and exit status are read.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <fstream>
#include <sstream>

#include "relay_fixture.h"

namespace {

struct tool_result {
    int status = -1000; // -1000: did not end in time and was stopped
    std::string out;
    std::string err;
};

std::wstring tool_path()
{
    return parent::own_directory() + L"procferry-run.exe";
}

void drain(int fd, std::string &into)
{
    char buffer[4096];
    int available;
    while ((available = parent::pipe_available(fd)) > 0) {
        int n = _read(fd, buffer, available < (int)sizeof buffer ? available : (int)sizeof buffer);
        if (n <= 0)
            return;
        into.append(buffer, n);
    }
}

// Runs the tool with the given arguments and collects what it printed. Its
// stdin is a pipe holding stdin_text; it inherits every other descriptor
// this process holds open.
tool_result run_tool(const std::vector<std::wstring> &args, const std::string &stdin_text = "",
                     int timeout_ms = 30000)
{
    parent::inheritable_pipe in = parent::make_inheritable_pipe(true);
    parent::inheritable_pipe out = parent::make_inheritable_pipe(false);
    parent::inheritable_pipe err = parent::make_inheritable_pipe(false);
    if (!stdin_text.empty())
        _write(in.parent_end, stdin_text.data(), (unsigned)stdin_text.size());
    _close(in.parent_end);

    std::vector<std::wstring> quoted = {parent::quote_program_name(tool_path())};
    for (const std::wstring &arg : args)
        quoted.push_back(parent::quote_for_command_line(arg));
    std::vector<const wchar_t *> argv;
    for (const std::wstring &entry : quoted)
        argv.push_back(entry.c_str());
    argv.push_back(nullptr);

    // The tool inherits this process's descriptors 0 to 2; swap them for
    // the moment of the launch.
    const int wanted[3] = {in.child_end, out.child_end, err.child_end};
    int saved[3];
    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd < 3; ++fd) {
        saved[fd] = _dup(fd);
        _dup2(wanted[fd], fd);
    }
    intptr_t process = _wspawnv(_P_NOWAIT, tool_path().c_str(), argv.data());
    for (int fd = 0; fd < 3; ++fd) {
        _dup2(saved[fd], fd);
        _close(saved[fd]);
        _close(wanted[fd]);
    }

    tool_result result;
    if (process == -1) {
        _close(out.parent_end);
        _close(err.parent_end);
        ADD_FAILURE() << "procferry-run.exe could not be started";
        return result;
    }
    // Drain both pipes while waiting, so that the tool never blocks on a full one.
    DWORD deadline = GetTickCount() + timeout_ms;
    for (;;) {
        drain(out.parent_end, result.out);
        drain(err.parent_end, result.err);
        if (WaitForSingleObject((HANDLE)process, 5) == WAIT_OBJECT_0)
            break;
        if ((LONG)(GetTickCount() - deadline) >= 0) {
            TerminateProcess((HANDLE)process, 99);
            WaitForSingleObject((HANDLE)process, 5000);
            break;
        }
    }
    DWORD status = 0;
    if (WaitForSingleObject((HANDLE)process, 0) == WAIT_OBJECT_0 &&
        GetExitCodeProcess((HANDLE)process, &status) && (LONG)(GetTickCount() - deadline) < 0)
        result.status = (int)status;
    CloseHandle((HANDLE)process);
    // A child started with --no-wait may still hold the pipes: no end-of-file
    // is awaited past a short while.
    result.out += parent::read_pipe_until_eof(out.parent_end, 300);
    result.err += parent::read_pipe_until_eof(err.parent_end, 300);
    _close(out.parent_end);
    _close(err.parent_end);
    return result;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

std::string file_text(const std::wstring &path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void write_file(const std::wstring &path, const std::string &text)
{
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
    file << text;
}

std::wstring without_trailing_backslash(std::wstring path)
{
    if (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path;
}

} // namespace

// Each test runs the tool with --relay gui and with --relay console.
class ProcferryRun : public RelayTest {
protected:
    // The tool's arguments: the relay choice, the options, then the probe and its arguments.
    std::vector<std::wstring> probe_command(const std::vector<std::wstring> &options,
                                            const std::vector<std::wstring> &args = {}) const
    {
        std::vector<std::wstring> command = {L"--relay", utf8(GetParam())};
        command.insert(command.end(), options.begin(), options.end());
        command.push_back(L"--");
        command.push_back(probe_path());
        command.insert(command.end(), args.begin(), args.end());
        return command;
    }
    static std::wstring utf8(const char *text) { return parent::utf8_to_wide(text); }
};
INSTANTIATE_FOR_BOTH_RELAYS(ProcferryRun);

// Outcome words, exit statuses and the JSON object.

TEST_P(ProcferryRun, WaitModeExitsWithTheChildsStatus)
{
    parent::set_probe_env("PROBE_EXIT", L"3");
    tool_result run = run_tool(probe_command({}));
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "launched: child exited with status 3\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(probe_report().present);
}

TEST_P(ProcferryRun, NoWaitReportsTheHandleAndReleasesTheRelay)
{
    parent::set_probe_env("PROBE_EXIT", L"7");
    parent::set_probe_env("PROBE_SLEEP_MS", L"300");
    DWORD start = GetTickCount();
    tool_result run = run_tool(probe_command({L"--no-wait"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(contains(run.err, "launched: running, handle 0x")) << run.err;
    EXPECT_TRUE(contains(run.err, "; released the relay\n")) << run.err;
    EXPECT_LT(GetTickCount() - start, 5000u);
    Sleep(800); // the child outlives the tool; let it finish its report
    EXPECT_TRUE(probe_report().present);
}

TEST_P(ProcferryRun, MissingProgramIsALaunchFailure)
{
    tool_result run = run_tool({L"--relay", utf8(GetParam()), scratch() + L"missing.exe"});
    EXPECT_EQ(run.status, 124);
    EXPECT_EQ(run.err, "launch failed: No such file or directory (errno 2)\n");
}

TEST_P(ProcferryRun, MissingDirectoryIsADirectoryFailure)
{
    tool_result run = run_tool(probe_command({L"--cwd", scratch() + L"no such dir"}));
    EXPECT_EQ(run.status, 123);
    EXPECT_EQ(run.err, "directory change failed: No such file or directory (errno 2)\n");
    EXPECT_FALSE(probe_report().present);
}

TEST_P(ProcferryRun, JsonPrintsOneObjectOnStdout)
{
    parent::set_probe_env("PROBE_EXIT", L"3");
    tool_result run = run_tool(probe_command({L"--json"}));
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("{\"outcome\":\"exited\",\"code\":0,\"code_name\":\"RELAY_OK\","
                            "\"value\":3,\"errno\":null,\"errno_name\":null,"
                            "\"relay_exit_status\":0,",
                            0),
              0u)
        << run.out;
    EXPECT_TRUE(contains(run.out, "\"exit_status\":3}\n")) << run.out;
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "one line";

    run = run_tool({L"--json", L"--relay", utf8(GetParam()), scratch() + L"missing.exe"});
    EXPECT_EQ(run.status, 124);
    EXPECT_TRUE(contains(run.out, "\"outcome\":\"launch_failed\",\"code\":2,"
                                  "\"code_name\":\"RELAY_LAUNCH_FAILED\",\"value\":2,"
                                  "\"errno\":2,\"errno_name\":\"ENOENT\","
                                  "\"relay_exit_status\":1,"))
        << run.out;
}

TEST_P(ProcferryRun, VerboseShowsTheRelayAndItsCommandLine)
{
    tool_result run = run_tool(probe_command({L"--verbose"}, {L"two words"}));
    EXPECT_EQ(run.status, 0);
    std::wstring relay = relay_path();
    EXPECT_TRUE(contains(run.err, "relay program: " + parent::wide_to_utf8(relay) + "\n"))
        << run.err;
    std::string line = "relay command line: " +
                       parent::wide_to_utf8(parent::quote_program_name(relay)) + " ";
    EXPECT_TRUE(contains(run.err, line)) << run.err;
    EXPECT_TRUE(contains(run.err, "\"" + parent::wide_to_utf8(probe_path()) +
                                      "\" \"two words\"\n"))
        << run.err;
    EXPECT_TRUE(contains(run.err, "relay exit status: 0\n")) << run.err;
}

// Each option.

TEST_P(ProcferryRun, CwdRunsTheChildThereEvenWithANonAsciiName)
{
    std::wstring dir = scratch() + L"d\u00e9j\u00e0 \U0001F600";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    tool_result run = run_tool(probe_command({L"--cwd", dir}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(probe_report().cwd, dir);
}

TEST_P(ProcferryRun, SearchPathFindsTheProgramOnlyWhenAsked)
{
    std::wstring old_path = _wgetenv(L"PATH") ? _wgetenv(L"PATH") : L"";
    _wputenv((L"PATH=" + without_trailing_backslash(parent::own_directory()) + L";" + old_path)
                 .c_str());
    std::vector<std::wstring> common = {L"--relay", utf8(GetParam()), L"--cwd", scratch()};
    std::vector<std::wstring> with_search = common;
    with_search.push_back(L"--search-path");
    with_search.push_back(L"probe_child.exe");
    common.push_back(L"probe_child.exe");
    tool_result found = run_tool(with_search);
    tool_result not_found = run_tool(common);
    _wputenv((L"PATH=" + old_path).c_str());
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_EQ(not_found.status, 124);
    EXPECT_TRUE(contains(not_found.err, "launch failed: No such file or directory"));
}

TEST_P(ProcferryRun, StdoutFileIsTruncatedOrAppendedTo)
{
    parent::set_probe_env("PROBE_WRITE", L"1");
    std::wstring file = scratch() + L"out \u00e9.txt";
    write_file(file, "old content that is longer\n");
    tool_result run = run_tool(probe_command({L"--stdout", file}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(file_text(file), "probe-stdout\n");
    EXPECT_FALSE(contains(run.out, "probe-stdout"));
    EXPECT_TRUE(contains(run.err, "probe-stderr"));

    run = run_tool(probe_command({L"--stdout-append", file}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(file_text(file), "probe-stdout\nprobe-stdout\n");
}

TEST_P(ProcferryRun, StderrGoesToAFileOrToStdout)
{
    parent::set_probe_env("PROBE_WRITE", L"1");
    std::wstring file = scratch() + L"err.txt";
    tool_result run = run_tool(probe_command({L"--stderr", file}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(file_text(file), "probe-stderr\n");
    EXPECT_EQ(run.err, "launched: child exited with status 0\n");

    run = run_tool(probe_command({L"--stderr-append", file}));
    EXPECT_EQ(file_text(file), "probe-stderr\nprobe-stderr\n");

    std::wstring both = scratch() + L"both.txt";
    run = run_tool(probe_command({L"--stdout", both, L"--stderr-to-stdout"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(file_text(both), "probe-stdout\nprobe-stderr\n");
    EXPECT_EQ(run.err, "launched: child exited with status 0\n");

    // With stdout inherited, stderr joins the tool's stdout.
    run = run_tool(probe_command({L"--stderr-to-stdout"}));
    EXPECT_EQ(run.out, "probe-stdout\nprobe-stderr\n");
    EXPECT_EQ(run.err, "launched: child exited with status 0\n");
}

TEST_P(ProcferryRun, StreamsAreInheritedByDefaultOrNull)
{
    parent::set_probe_env("PROBE_WRITE", L"1");
    parent::set_probe_env("PROBE_READ_STDIN", L"1");
    tool_result run = run_tool(probe_command({}), "typed in\n");
    EXPECT_EQ(run.out, "probe-stdout\n");
    EXPECT_EQ(run.err, "probe-stderr\nlaunched: child exited with status 0\n");
    EXPECT_EQ(probe_report().stdin_bytes, "typed in\n");

    run = run_tool(probe_command({L"--stdin", L"inherit", L"--stdout", L"inherit", L"--stderr",
                                  L"inherit"}),
                   "again\n");
    EXPECT_EQ(run.out, "probe-stdout\n");
    EXPECT_EQ(probe_report().stdin_bytes, "again\n");

    run = run_tool(probe_command({L"--stdin", L"null", L"--stdout", L"null", L"--stderr",
                                  L"null"}),
                   "not for the child\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "launched: child exited with status 0\n");
    EXPECT_TRUE(probe_report().stdin_read);
    EXPECT_EQ(probe_report().stdin_bytes, "");
}

TEST_P(ProcferryRun, StdinComesFromAFile)
{
    parent::set_probe_env("PROBE_READ_STDIN", L"1");
    std::wstring file = scratch() + L"in.txt";
    write_file(file, "line one\r\nzwei\n\x01\xff");
    tool_result run = run_tool(probe_command({L"--stdin", file}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(probe_report().stdin_bytes, "line one\r\nzwei\n\x01\xff");
}

TEST_P(ProcferryRun, AStreamFileThatCannotBeOpenedLaunchesNothing)
{
    tool_result run = run_tool(probe_command({L"--stdin", scratch() + L"absent.txt"}));
    EXPECT_EQ(run.status, 125);
    EXPECT_TRUE(contains(run.err, "cannot open the file of --stdin ")) << run.err;
    EXPECT_TRUE(contains(run.err, "No such file or directory (errno 2)")) << run.err;
    EXPECT_FALSE(probe_report().present);
}

TEST_P(ProcferryRun, CloseFdsKeepsOtherDescriptorsFromTheChild)
{
    // A descriptor this test holds open reaches the tool, the relay and the
    // child, unless the relay is told to close it.
    std::wstring file = scratch() + L"held.txt";
    int held = _wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(held, 3);
    tool_result kept = run_tool(probe_command({}));
    std::vector<int> fds_kept = probe_report().fds;
    tool_result closed = run_tool(probe_command({L"--close-fds"}));
    std::vector<int> fds_closed = probe_report().fds;
    _close(held);
    EXPECT_EQ(kept.status, 0);
    EXPECT_EQ(closed.status, 0);
    EXPECT_NE(std::find(fds_kept.begin(), fds_kept.end(), held), fds_kept.end());
    EXPECT_EQ(fds_closed, (std::vector<int>{0, 1, 2}));
}

TEST_P(ProcferryRun, Argv0IsDistinctFromTheProgramPath)
{
    tool_result run = run_tool(probe_command({L"--argv0", L"custom zero \u00e9"}, {L"one"}));
    EXPECT_EQ(run.status, 0);
    parent::probe_report report = probe_report();
    ASSERT_EQ(report.argv.size(), 2u);
    EXPECT_EQ(report.argv[0], L"custom zero \u00e9");
    EXPECT_EQ(report.argv[1], L"one");
}

TEST_P(ProcferryRun, ArgumentsKeepTheirExactText)
{
    // A lone surrogate has no UTF-8 form: it must not pass through one.
    std::vector<std::wstring> args = {L"two words", L"", L"a\\\"b", L"trailing\\",
                                      L"--json",    L"-v", L"--", L"non-BMP \U0001F600",
                                      L"lone \xD800 surrogate", L"*.txt"};
    tool_result run = run_tool(probe_command({}, args));
    EXPECT_EQ(run.status, 0) << run.err;
    parent::probe_report report = probe_report();
    ASSERT_EQ(report.argv.size(), args.size() + 1);
    for (size_t i = 0; i < args.size(); ++i)
        EXPECT_EQ(report.argv[i + 1], args[i]) << describe(args[i]);
}

TEST_P(ProcferryRun, ProgramWithoutTheSeparatorEndsTheOptions)
{
    tool_result run =
        run_tool({L"--relay", utf8(GetParam()), L"--cwd", scratch(), probe_path(), L"--help"});
    EXPECT_EQ(run.status, 0) << run.err;
    parent::probe_report report = probe_report();
    ASSERT_EQ(report.argv.size(), 2u);
    EXPECT_EQ(report.argv[1], L"--help");
}

TEST_P(ProcferryRun, RelayGivenByPath)
{
    std::vector<std::wstring> command = probe_command({});
    command[1] = relay_path();
    parent::set_probe_env("PROBE_EXIT", L"5");
    EXPECT_EQ(run_tool(command).status, 5);
    DeleteFileW(probe_out().c_str());

    command[1] = scratch() + L"no-relay.exe";
    tool_result run = run_tool(command);
    EXPECT_EQ(run.status, 120);
    EXPECT_TRUE(contains(run.err, "relay could not be started: No such file or directory "
                                  "(errno 2): "))
        << run.err;
    EXPECT_FALSE(probe_report().present);
}

// A relay that ends without a record or never sends one: the probe child,
// which knows nothing of records, stands in for the relay.

TEST(ProcferryRunRelayFaults, RelayWithoutARecordShowsWhatItPrinted)
{
    parent::clear_probe_env();
    std::wstring probe = parent::own_directory() + L"probe_child.exe";
    parent::set_probe_env("PROBE_WRITE", L"1");
    tool_result run = run_tool({L"--relay", probe, L"--", probe});
    EXPECT_EQ(run.status, 121);
    EXPECT_TRUE(contains(run.err, "relay check failed (no report): probe-stderr\n")) << run.err;

    parent::set_probe_env("PROBE_WRITE", L"");
    parent::set_probe_env("PROBE_EXIT", L"4");
    run = run_tool({L"--relay", probe, L"--json", L"--", probe});
    EXPECT_EQ(run.status, 121);
    EXPECT_TRUE(contains(run.out, "\"outcome\":\"no_report\",\"code\":null,\"code_name\":null,"
                                  "\"value\":null,\"errno\":null,\"errno_name\":null,"
                                  "\"relay_exit_status\":4,"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "\"message\":\"relay ended without a report (relay exit status 4)\""))
        << run.out;
    parent::clear_probe_env();
}

TEST(ProcferryRunRelayFaults, SilentRelayIsStoppedAtTheTimeout)
{
    parent::clear_probe_env();
    std::wstring probe = parent::own_directory() + L"probe_child.exe";
    parent::set_probe_env("PROBE_SLEEP_MS", L"8000");
    DWORD start = GetTickCount();
    tool_result run = run_tool({L"--relay", probe, L"--timeout", L"400", L"--", probe});
    DWORD elapsed = GetTickCount() - start;
    parent::clear_probe_env();
    EXPECT_EQ(run.status, 122);
    EXPECT_TRUE(contains(run.err, "relay timed out: no record after 400 ms; stopped the relay"))
        << run.err;
    EXPECT_GE(elapsed, 350u);
    EXPECT_LT(elapsed, 6000u) << "the relay was not stopped";
}

// Bad options, help and version.

TEST(ProcferryRunOptions, BadOptionsAreNamedAndExitTwo)
{
    std::wstring probe = parent::own_directory() + L"probe_child.exe";
    struct {
        std::vector<std::wstring> args;
        const char *named;
    } cases[] = {
        {{L"--bogus", probe}, "bogus"},
        {{L"--cwd"}, "cwd"},
        {{L"--timeout", L"soon", probe}, "--timeout"},
        {{L"--timeout", L"-5", probe}, "--timeout"},
        {{L"--stdout", L"a.txt", L"--stdout-append", L"b.txt", probe}, "--stdout-append"},
        {{L"--stderr", L"a.txt", L"--stderr-to-stdout", probe}, "--stderr-to-stdout"},
        {{L"--stdout=", probe}, "--stdout"},
        {{L"--relay=", probe}, "--relay"},
        {{L"--demo", probe}, "--demo"},
        {{L"--demo", L"--json"}, "--json"},
        {{L"--verbose"}, "no PROGRAM"},
        {{}, "no PROGRAM"},
    };
    for (const auto &bad : cases) {
        tool_result run = run_tool(bad.args);
        EXPECT_EQ(run.status, 2) << bad.named;
        EXPECT_TRUE(contains(run.err, bad.named)) << run.err;
        EXPECT_TRUE(contains(run.err, "--help")) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(ProcferryRunOptions, HelpDocumentsEveryOptionAndStatus)
{
    tool_result run = run_tool({L"--help"});
    EXPECT_EQ(run.status, 0);
    for (const char *text :
         {"--no-wait", "--search-path", "--cwd", "--stdin", "--stdout", "--stdout-append",
          "--stderr", "--stderr-append", "--stderr-to-stdout", "--close-fds", "--argv0",
          "--relay", "--timeout", "--verbose", "--json", "--demo", "--version", "Exit status",
          "120", "121", "122", "123", "124", "125", "Examples"})
        EXPECT_TRUE(contains(run.out, text)) << text;
    EXPECT_EQ(run_tool({L"-h"}).out, run.out);
}

TEST(ProcferryRunOptions, VersionIsTheProjectsVersion)
{
    tool_result run = run_tool({L"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "procferry-run 2.0.0\n");
}

// The demo.

TEST_P(ProcferryRun, DemoShowsEveryHardArgumentArrivingIntact)
{
    tool_result run = run_tool({L"--demo", L"--relay", utf8(GetParam())});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "all 13 arguments arrived intact")) << run.out;
    EXPECT_FALSE(contains(run.out, "CHANGED")) << run.out;
    EXPECT_TRUE(contains(run.out, "[backslash before quote\\\"]")) << run.out;
    EXPECT_TRUE(contains(run.out, "\\u{1f600}")) << run.out;
    EXPECT_EQ(run.err, "launched: child exited with status 0\n");
}
