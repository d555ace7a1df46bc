// procferry-run, the command-line parent, run end to end the way a person
// runs it: a separate process whose stdout, stderr and exit status are read.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>
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
                     int timeout_ms = 30000, int eof_wait_ms = 300,
                     const std::wstring &tool = tool_path())
{
    parent::inheritable_pipe in = parent::make_inheritable_pipe(true);
    parent::inheritable_pipe out = parent::make_inheritable_pipe(false);
    parent::inheritable_pipe err = parent::make_inheritable_pipe(false);
    if (!stdin_text.empty())
        _write(in.parent_end, stdin_text.data(), (unsigned)stdin_text.size());
    _close(in.parent_end);

    std::vector<std::wstring> quoted = {parent::quote_program_name(tool)};
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
    intptr_t process = _wspawnv(_P_NOWAIT, tool.c_str(), argv.data());
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
    DWORD deadline = GetTickCount() + parent::wait_limit_ms(timeout_ms);
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
    // is awaited past eof_wait_ms.
    result.out += parent::read_pipe_until_eof(out.parent_end, eof_wait_ms);
    result.err += parent::read_pipe_until_eof(err.parent_end, eof_wait_ms);
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

// The line the tool prints when PROGRAM ended by itself.
std::string exited_line(const std::wstring &program, int status)
{
    return "procferry-run: " + procferry::to_utf8(program) + " exited with status " +
           std::to_string(status) + "\n";
}

// The process id of "... started as process N".
DWORD started_pid(const std::string &err)
{
    size_t at = err.find("started as process ");
    return at == std::string::npos ? 0 : strtoul(err.c_str() + at + 19, nullptr, 10);
}

// The names of a flat JSON object's fields, in order.
std::vector<std::string> json_fields(const std::string &object)
{
    std::vector<std::string> names;
    bool in_string = false, escaped = false, is_name = true;
    std::string current;
    for (char c : object) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
            else
                current += c;
            continue;
        }
        if (c == '"') {
            in_string = true;
            current.clear();
        } else if (c == ':' && is_name) {
            names.push_back(current);
            is_name = false;
        } else if (c == ',' || c == '{') {
            is_name = true;
        } else if (c == '[') {
            is_name = false; // array items are values, not names
        }
    }
    return names;
}

// The last line of a text.
std::string last_line(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text.substr(text.find_last_of('\n') + 1);
}

} // namespace

// How a bare PROGRAM is looked up, as --help, the README and USAGE.md say it;
// the rows below hold the tool to it.
const char SEARCH_SENTENCE[] = "A PROGRAM without a directory part is looked up on PATH only";

// Commands as a person types them: the exit status and the words that tell
// what happened. The rows under "documented" are the examples of the help,
// the README and USAGE.md, run as shown there. In a command, %P stands for the probe
// child, %S for a scratch directory, %D for the programs' directory.
TEST(ProcferryRunCommands, EachCommandGivesItsStatusAndSaysWhatHappened)
{
    struct row {
        std::vector<std::wstring> command;
        int status;
        std::vector<const char *> err_words;
        std::vector<const char *> out_words;
    } rows[] = {
        // documented
        {{L"--", L"cmd", L"/c", L"echo hi"}, 0, {"cmd exited with status 0"}, {"hi"}},
        {{L"--", L"cmd", L"/c", L"exit 300"}, 300, {"cmd exited with status 300"}, {}},
        {{L"--relay", L"console", L"--verbose", L"--", L"cmd", L"/c", L"exit 0"}, 0,
         {"relay program: ", "relay command line: ", "\"cmd\" \"/c\" \"exit 0\"",
          "relay exit status: 0"},
         {}},
        // the library's own start by default, as --direct names it
        {{L"--verbose", L"--", L"cmd", L"/c", L"exit 0"}, 0,
         {"started directly, without a relay", "cmd exited with status 0"}, {}},
        {{L"--json", L"--", L"%P"}, 0, {"\"relay\":null,", "\"relay_architecture\":null,"}, {}},
        {{L"--stdout", L"%Slog.txt", L"--stderr-to-stdout", L"--", L"cmd", L"/c",
          L"echo hello & dir /b nosuch"},
         1, {"cmd exited with status 1"}, {}},
        {{L"--cwd", L"C:/windows", L"--", L"cmd", L"/c", L"cd"}, 0, {}, {"C:\\windows"}},
        {{L"--env", L"GREETING=hello", L"--", L"cmd", L"/c", L"echo %GREETING%"}, 0, {},
         {"hello"}},
        {{L"GREETING=hello", L"cmd", L"/c", L"echo %GREETING% A=1"}, 0, {}, {"hello A=1"}},
        {{L"--timeout", L"1.5s", L"--", L"cmd", L"/c", L"ping -n 5 127.0.0.1 >nul"}, 124,
         {"cmd still ran after 1.5s; ended it and everything it started (process "}, {}},
        {{L"--timeout", L"1.5s", L"--preserve-status", L"--", L"cmd", L"/c",
          L"ping -n 5 127.0.0.1 >nul"},
         143, {"cmd still ran after 1.5s"}, {}},
        {{L"--no-wait", L"--", L"cmd", L"/c", L"exit 0"}, 0, {"cmd started as process "}, {}},
        {{L"--json-file", L"%Srun.json", L"--", L"cmd", L"/c", L"exit 3"}, 3,
         {"cmd exited with status 3"}, {}},
        {{L"-i", L"PATH=C:\\Windows\\system32", L"LANG=C.UTF-8", L"-C", L"C:\\Windows", L"--",
          L"cmd", L"/c", L"set"},
         0, {}, {"LANG=C.UTF-8", "PATH=C:\\Windows\\system32"}},
        {{L"--", L"nosuch"}, 127, {"nosuch: not found on PATH", "ENOENT", "check the name"}, {}},
        {{L"--json", L"--", L"nosuch"}, 127, {"\"outcome\":\"not_found\",", "\"errno_name\":\"ENOENT\""}, {}},
        {{L"--", L"%S"}, 126, {": is a directory", "not a program"}, {}},
        {{L"--", L"%Snotes.txt"}, 126, {"notes.txt: cannot be run", "only programs (.exe, .com)"}, {}},
        {{L"--cwd", L"%Snosuchdir", L"--", L"cmd"}, 125,
         {"--cwd ", "nosuchdir: no such directory", "nothing was run"}, {}},
        // the option is named as it was typed
        {{L"-C", L"%Snosuchdir", L"--", L"cmd"}, 125, {"procferry-run: -C ", "nosuchdir: no such directory"}, {}},
        {{L"--cwd", L"%Snotes.txt", L"--", L"cmd"}, 125, {"notes.txt: is a file or a device, not a directory: ENOTDIR"},
         {}},
        {{L"--demo"}, 0, {}, {"all 13 arguments arrived intact", "[backslash before quote\\\"]",
                              "\\u{1f600}"}},
        {{L"--demo", L"--relay", L"gui"}, 0, {}, {"all 13 arguments arrived intact"}},
        {{L"--help"}, 0, {}, {"Exit status", "Examples", SEARCH_SENTENCE, "-C, --chdir DIR",
                              "-i, --ignore-environment", "-u, --unset NAME"}},
        // PATH is searched for a bare name, with the extensions tried, unless
        // turned off; the start directory only then: what SEARCH_SENTENCE says.
        {{L"--cwd", L"%S", L"--env", L"PATH=%D", L"--", L"probe_child"}, 0,
         {"probe_child exited with status 0"}, {}},
        {{L"--cwd", L"%S", L"--no-search-path", L"--env", L"PATH=%D", L"--", L"probe_child"}, 127,
         {"probe_child: not found in the --cwd directory ", "drop --no-search-path"}, {}},
        {{L"--cwd", L"%D", L"--env", L"PATH=%S", L"--", L"probe_child"}, 127,
         {"probe_child: not found on PATH", "give its path, .\\probe_child"}, {}},
        {{L"--cwd", L"%S", L"--", L"."}, 127, {"is a directory, not a program"}, {}},
        {{L"--cwd", L"%D", L"--no-search-path", L"--env", L"PATH=%S", L"--", L"probe_child"}, 0,
         {"probe_child exited with status 0"}, {}},
        // the child's environment: changes to this one, or an empty one changed
        {{L"--clear-env", L"--env", L"PROBE_EXIT=3", L"--", L"%P"}, 3, {}, {}},
        {{L"--clear-env", L"--", L"cmd"}, 127,
         {"cmd: not found: the child's environment has no PATH, so nothing was searched",
          "set PATH with --env"},
         {}},
        {{L"--unset", L"PATH", L"--", L"cmd"}, 127,
         {"the child's environment has no PATH, so nothing was searched"}, {}},
        {{L"--env", L"PATH=", L"--", L"cmd"}, 127,
         {"the child's PATH is empty, so nothing was searched"}, {}},
        {{L"--env=PROBE_ENV_HEX=PF_LONE", L"--env=PF_LONE=a\xD800z", L"--", L"%P"}, 0, {},
         {"PF_LONE=0061d800007a"}},
        // as env(1) does: NAME=VALUE words before PROGRAM, also after "--", in
        // order with --env and --unset
        {{L"PROBE_EXIT=5", L"--env", L"PROBE_EXIT=6", L"-u", L"PROBE_EXIT", L"%P"}, 0, {}, {}},
        {{L"--", L"PROBE_EXIT=6", L"%P"}, 6, {}, {}},
        {{L"A=1", L"=x"}, 127, {"=x: not found on PATH"}, {}},
        {{L"--ignore-environment", L"--", L"cmd"}, 127,
         {"the child's environment has no PATH, so nothing was searched"}, {}},
        {{L"--chdir=C:/windows", L"cmd", L"/c", L"cd"}, 0, {}, {"C:\\windows"}},
        {{L"--cwd=a\xD800", L"%P"}, 125, {"--cwd: ", "lone surrogate"}, {}},
        {{L"--", L"%Snosuch\\x.exe"}, 127, {"x.exe: not found: ENOENT: no such file or directory"}, {}},
        // names the relay joins to the start directory its own way, as rules/ does
        {{L"--cwd", L"%S", L"--env", L"PATH=%D", L"--", L"args.bat."}, 127,
         {"args.bat.: not found on PATH", "give its path"}, {}},
        {{L"--no-search-path", L"--cwd", L"%S", L"--", L"\\windows"}, 126,
         {"is a directory (C:\\windows)"}, {}},
        {{L"--no-search-path", L"--cwd", L"C:/windows", L"--", L"C:system32"}, 126,
         {"is a directory (C:\\windows\\system32)"}, {}},
        // a batch file refuses an argument that would end its command line
        {{L"--", L"%Sargs.bat", L"one", L"two\nlines"}, 126,
         {"args.bat: argument 2 holds a line break (CR or LF)", "EINVAL"}, {}},
        {{L"--argv0", L"zero", L"--", L"%Sargs.bat", L"a\rb"}, 126,
         {"args.bat: argument 1 holds a line break"}, {}},
        // the child's whole status, exceptions in hex
        {{L"--env", L"PROBE_EXIT=-1", L"--", L"%P"}, -1, {"exited with status -1 (0xFFFFFFFF)"}, {}},
        {{L"--env", L"PROBE_CRASH=1", L"--", L"%P"}, (int)0xC0000005,
         {"exited with status 0xC0000005 (access violation)"}, {}},
        {{L"--stdin", L"%Sabsent.txt", L"--", L"%P"}, 125,
         {"--stdin ", "absent.txt: cannot open it", "ENOENT", "nothing was run"}, {}},
        {{L"--stdout-append", L"%Snosuch\\out.txt", L"--", L"%P"}, 125, {"--stdout-append "}, {}},
        {{L"--json-file", L"%Snosuch\\run.json", L"--", L"%P"}, 125,
         {"--json-file ", "cannot create it", "nothing was run"}, {}},
        // the relay missing or misbehaving: the probe child, which knows
        // nothing of records, stands in for it
        {{L"--relay", L"%Sno-relay.exe", L"--", L"%P"}, 125,
         {"relay ", "no-relay.exe: cannot be started", "--relay"}, {}},
        {{L"--relay", L"%Snodll\\procferry-console.exe", L"--", L"%P"}, 125,
         {"could not start: the base library libpellix-2.0-0.dll was not found",
          "belongs beside the relay, in ", "nodll"},
         {}},
        {{L"--relay", L"%P", L"--env", L"PROBE_WRITE=1", L"--", L"%P"}, 125,
         {"refused its command line: probe-stderr"}, {"probe-stdout"}},
        {{L"--relay", L"%P", L"--env", L"PROBE_EXIT=4", L"--", L"%P"}, 125,
         {"ended without a report (exit status 4)"}, {}},
        {{L"--relay", L"%P", L"--timeout", L"400ms", L"--env", L"PROBE_SLEEP_MS=8000", L"--",
          L"%P"},
         124, {"did not report within 400ms; ended it"}, {}},
        // timeout(1)'s statuses: 124, or with --preserve-status the one the
        // child was ended with; the JSON keeps both
        {{L"--json", L"--timeout", L"2s", L"--env", L"PROBE_SLEEP_MS=20000", L"--", L"%P"}, 124,
         {"\"outcome\":\"timed_out\",", "\"exit_status\":143,", "\"tool_status\":124}"}, {}},
        {{L"--preserve-status", L"--json", L"--timeout", L"2s", L"--env", L"PROBE_SLEEP_MS=20000",
          L"--", L"%P"},
         143, {"\"exit_status\":143,", "\"tool_status\":143}"}, {}},
        // --kill-after asks first; wine refuses a Ctrl+Break and a windowless
        // child has nothing to close, so the tree is ended at once: 128+9
        {{L"--timeout", L"1s", L"--kill-after", L"20s", L"--json", L"--env", L"PROBE_SLEEP_MS=30000",
          L"--", L"%P"},
         137,
         {"could not ask it to stop (the system refused Ctrl+Break), so ended it and everything it "
          "started at once",
          "\"stop\":\"killed_unasked\",", "\"exit_status\":137,", "\"tool_status\":137}"},
         {}},
        {{L"--timeout", L"1s", L"-k", L"20s", L"-s", L"close", L"--env", L"PROBE_SLEEP_MS=30000",
          L"--", L"%P"},
         137, {"could not ask it to stop (it had no window to close)"}, {}},
        // a child with a window closes it when asked, and ends of itself: 124,
        // with the child's own status
        {{L"--timeout", L"10s", L"-k", L"20s", L"-s", L"close", L"--json", L"--env", L"PROBE_WINDOW=1",
          L"--env", L"PROBE_EXIT=3", L"--", L"%P"},
         124,
         {"asked it to stop (a close of its windows), and it ended", "\"stop\":\"ended_when_asked\",",
          "\"exit_status\":3,", "\"tool_status\":124}"},
         {"window"}},
        {{L"--kill-after", L"2s", L"%P"}, 125, {"--kill-after needs a --timeout"}, {}},
        // --tty: the program in a pseudo console, its screen on stdout, its own status
        {{L"-t", L"--", L"%C", L"size", L"lines", L"3", L"exit", L"6"}, 6, {}, {"size ", "line 3 of 3 "}},
        {{L"--tty", L"--relay", L"console", L"%C"}, 125, {"--tty starts PROGRAM directly"}, {}},
        {{L"--tty", L"--stdout", L"x.txt", L"%C"}, 125, {"leave out --stdin and --stdout"}, {}},
        // --direct: the library starts the program itself
        {{L"--direct", L"--verbose", L"--", L"cmd", L"/c", L"exit 5"}, 5,
         {"started directly, without a relay", "child's command line: ", "cmd exited with status 5"},
         {}},
        {{L"--direct", L"--json", L"--", L"%P"}, 0, {"\"relay\":null,", "\"tool_status\":0}"}, {}},
        {{L"--direct", L"--relay", L"gui", L"%P"}, 125, {"--direct", "--relay"}, {}},
        {{L"--timeout", L"2s", L"--signal", L"BREAK", L"%P"}, 125, {"--signal", "--kill-after"}, {}},
        {{L"--timeout", L"2s", L"-k", L"1s", L"--signal", L"TERM", L"%P"}, 125,
         {"--signal takes BREAK or CLOSE"}, {}},
        // bad options
        {{L"--bogus", L"%P"}, 125, {"bogus", "--help"}, {}},
        {{L"--cwd"}, 125, {"cwd", "--help"}, {}},
        {{L"--timeout", L"soon", L"%P"}, 125, {"--timeout", "'soon' is not a duration"}, {}},
        {{L"--timeout", L"-5", L"%P"}, 125, {"--timeout"}, {}},
        {{L"--timeout", L"5x", L"%P"}, 125, {"--timeout"}, {}},
        {{L"--stdout", L"a.txt", L"--stdout-append", L"b.txt", L"%P"}, 125, {"--stdout-append"}, {}},
        {{L"--stderr", L"a.txt", L"--stderr-to-stdout", L"%P"}, 125, {"--stderr-to-stdout"}, {}},
        {{L"--stdout=", L"%P"}, 125, {"--stdout"}, {}},
        {{L"--relay=", L"%P"}, 125, {"--relay"}, {}},
        {{L"--env", L"NOVALUE", L"%P"}, 125, {"--env needs NAME=VALUE"}, {}},
        {{L"--unset", L"A=B", L"%P"}, 125, {"--unset needs a variable name"}, {}},
        {{L"--search-path", L"--no-search-path", L"%P"}, 125, {"--no-search-path"}, {}},
        {{L"--demo", L"%P"}, 125, {"--demo"}, {}},
        {{L"--demo", L"--json"}, 125, {"--json"}, {}},
        {{L"--verbose"}, 125, {"no PROGRAM"}, {}},
        {{}, 125, {"no PROGRAM"}, {}},
        {{L"--version"}, 0, {}, {"procferry-run 3."}},
    };

    parent::clear_probe_env();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring scratch = std::wstring(temp) + L"procferry-run-table-" +
                           std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(scratch.c_str(), nullptr);
    write_file(scratch + L"notes.txt", "not a program\n");
    write_file(scratch + L"args.bat", "@echo %*\r\n");
    // A relay without the base library beside it; the tests' own folder,
    // which holds one, is neither the tool's current directory nor on PATH.
    CreateDirectoryW((scratch + L"nodll").c_str(), nullptr);
    CopyFileW((parent::own_directory() + L"procferry-console.exe").c_str(),
              (scratch + L"nodll\\procferry-console.exe").c_str(), FALSE);
    auto expand = [&](std::wstring text) {
        const std::pair<const wchar_t *, std::wstring> marks[] = {
            {L"%P", parent::own_directory() + L"probe_child.exe"},
            {L"%C", parent::own_directory() + L"console_child.exe"},
            {L"%S", scratch},
            {L"%D", without_trailing_backslash(parent::own_directory())}};
        for (const auto &mark : marks)
            for (size_t at; (at = text.find(mark.first)) != std::wstring::npos;)
                text.replace(at, 2, mark.second);
        return text;
    };
    for (const row &row : rows) {
        std::vector<std::wstring> command;
        std::string shown;
        for (const std::wstring &arg : row.command) {
            command.push_back(expand(arg));
            shown += " " + describe(arg);
        }
        tool_result run = run_tool(command);
        int status = row.status;
        std::vector<std::string> err_words(row.err_words.begin(), row.err_words.end());
        // The emulator's code for the same crash (relay_fixture.h), named as such.
        if (status == (int)0xC0000005 && run.status != status &&
            is_null_write_crash((unsigned long)run.status)) {
            status = run.status;
            err_words = {"exited with status 0xC000001D (illegal instruction)"};
        }
        EXPECT_EQ(run.status, status) << "procferry-run" << shown << "\n" << run.err;
        for (const std::string &words : err_words)
            EXPECT_TRUE(contains(run.err, words))
                << "procferry-run" << shown << "\nstderr lacks: " << words << "\n" << run.err;
        for (const char *words : row.out_words)
            EXPECT_TRUE(contains(run.out, words))
                << "procferry-run" << shown << "\nstdout lacks: " << words << "\n" << run.out;
    }
    EXPECT_EQ(file_text(scratch + L"log.txt").rfind("hello \r\nFile not found.\r\n", 0), 0u);
    EXPECT_TRUE(contains(file_text(scratch + L"run.json"), "\"exit_status\":3,"));
    remove_tree(scratch);
}

// --json: one object, parseable whatever the child prints, with the same
// fields in every outcome.
TEST(ProcferryRunCommands, JsonIsOneObjectWithTheSameFieldsInEveryOutcome)
{
    parent::clear_probe_env();
    std::wstring probe = parent::own_directory() + L"probe_child.exe";
    tool_result exited = run_tool({L"--json", L"--relay", L"console", L"--env", L"PROBE_WRITE=1", L"--env",
                                   L"PROBE_EXIT=3", L"--", probe, L"a b"});
    tool_result missing = run_tool({L"--json", L"--", L"nosuch"});
    tool_result timed_out = run_tool({L"--json", L"--timeout", L"3s", L"--env",
                                      L"PROBE_SLEEP_MS=8000", L"--", probe});
    EXPECT_EQ(exited.out, "probe-stdout\r\n");
    std::string object = last_line(exited.err);
    EXPECT_EQ(exited.err, "probe-stderr\r\n" + object + "\n");
    EXPECT_EQ(object.rfind("{\"outcome\":\"exited\",", 0), 0u) << object;
    // The relays are built for the architecture of this test (the start went
    // through one).
    std::string architecture = sizeof(void *) == 8 ? "x86_64" : "i686";
    for (std::string field : {"\"arguments\":[\"a b\"],", "\"exit_status\":3,", "\"errno\":null,",
                              "\"tool_status\":3}"})
        EXPECT_TRUE(contains(object, field)) << field << " in " << object;
    EXPECT_TRUE(contains(object, "\"relay_architecture\":\"" + architecture + "\"")) << object;
    EXPECT_EQ(std::count(exited.err.begin(), exited.err.end(), '{'), 1) << "one object";

    std::vector<std::string> fields = json_fields(object);
    EXPECT_EQ(fields, json_fields(missing.err)) << missing.err;
    EXPECT_EQ(fields, json_fields(timed_out.err)) << timed_out.err;
    EXPECT_TRUE(contains(missing.err, "\"outcome\":\"not_found\",")) << missing.err;
    EXPECT_TRUE(contains(missing.err, "\"pid\":null,\"exit_status\":null,\"errno\":2,"
                                      "\"errno_name\":\"ENOENT\","))
        << missing.err;
    EXPECT_TRUE(contains(timed_out.err, "\"outcome\":\"timed_out\",")) << timed_out.err;
    // The child was ended, not left running: it ended with the timeout's status.
    EXPECT_TRUE(contains(timed_out.err, "\"exit_status\":143,")) << timed_out.err;
    EXPECT_EQ(timed_out.status, 124);

    // An argument with a lone surrogate, which has no UTF-8 form, as its escape.
    tool_result lone = run_tool({L"--json", L"--", probe, L"a\xD800z"});
    EXPECT_TRUE(contains(lone.err, "\"arguments\":[\"a\\ud800z\"],")) << lone.err;

    // --no-wait with --timeout: the watchdog that ends the child later adds
    // nothing to the one object. Its stderr is the tool's, held until it ends.
    tool_result watched = run_tool({L"--json", L"--no-wait", L"--timeout", L"1s", L"--env",
                                    L"PROBE_SLEEP_MS=20000", L"--", probe},
                                   "", 30000, 20000);
    EXPECT_EQ(watched.status, 0);
    EXPECT_EQ(watched.err.rfind("{\"outcome\":\"started\",", 0), 0u) << watched.err;
    EXPECT_EQ(std::count(watched.err.begin(), watched.err.end(), '\n'), 1) << watched.err;
}

// The tool and its relays in a folder past MAX_PATH. The system starts no
// program from such a path, so the tool is started by its short form; the
// relay beside it, named by that short form too, still has the long path in
// full, and the library starts it the way the system allows.
TEST(ProcferryRunCommands, RelaysInAFolderPastMaxPathStart)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring root = std::wstring(temp) + L"procferry-run-long-" +
                        std::to_wstring(GetCurrentProcessId());
    std::wstring folder = root;
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    while (folder.size() < 530) {
        folder += L"\\" + std::wstring(160, L'f');
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    }
    for (const wchar_t *name : {L"procferry-run.exe", L"procferry-console.exe", L"procferry.exe",
                                L"libpellix-2.0-0.dll"})
        ASSERT_TRUE(CopyFileW((parent::own_directory() + name).c_str(),
                              (L"\\\\?\\" + folder + L"\\" + name).c_str(), FALSE));
    std::wstring tool = L"\\\\?\\" + folder + L"\\procferry-run.exe";
    wchar_t short_form[MAX_PATH];
    DWORD length = GetShortPathNameW(tool.c_str(), short_form, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH);

    tool_result run = run_tool({L"--", L"cmd", L"/c", L"exit 3"}, "", 30000, 300, short_form);
    EXPECT_EQ(run.status, 3) << run.err;
    remove_tree(L"\\\\?\\" + root + L"\\");
}

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
    static std::wstring utf8(const char *text) { return procferry::to_wide(text); }
};
INSTANTIATE_FOR_BOTH_RELAYS(ProcferryRun);

// --no-wait returns at once and names the child's process; with --timeout,
// the child is still ended when the time is up.
TEST_P(ProcferryRun, NoWaitGivesTheProcessIdAndTheTimeoutStillEndsTheChild)
{
    const DWORD access = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
    parent::set_probe_env("PROBE_EXIT", L"7");
    parent::set_probe_env("PROBE_SLEEP_MS", L"2000");
    tool_result run = run_tool(probe_command({L"--no-wait"}));
    EXPECT_EQ(run.status, 0);
    HANDLE child = OpenProcess(access, FALSE, started_pid(run.err));
    ASSERT_TRUE(child) << run.err;
    DWORD status = 0;
    EXPECT_EQ(WaitForSingleObject(child, 15000), WAIT_OBJECT_0);
    GetExitCodeProcess(child, &status);
    CloseHandle(child);
    EXPECT_EQ(status, 7u);
    EXPECT_TRUE(probe_report().present);

    parent::set_probe_env("PROBE_SLEEP_MS", L"20000");
    run = run_tool(probe_command({L"--no-wait", L"--timeout", L"3s"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(contains(run.err, "it will be ended if it still runs after 3s")) << run.err;
    child = OpenProcess(access, FALSE, started_pid(run.err));
    ASSERT_TRUE(child) << run.err;
    EXPECT_EQ(WaitForSingleObject(child, 15000), WAIT_OBJECT_0) << "the child was not ended";
    GetExitCodeProcess(child, &status);
    CloseHandle(child);
    EXPECT_EQ(status, 143u);
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

TEST_P(ProcferryRun, StdoutFileIsTruncatedOrAppendedTo)
{
    parent::set_probe_env("PROBE_WRITE", L"1");
    std::wstring file = scratch() + L"out \u00e9.txt";
    write_file(file, "old content that is longer\n");
    tool_result run = run_tool(probe_command({L"--stdout", file}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(file_text(file), "probe-stdout\r\n");
    EXPECT_FALSE(contains(run.out, "probe-stdout"));
    EXPECT_TRUE(contains(run.err, "probe-stderr"));

    run = run_tool(probe_command({L"--stdout-append", file}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(file_text(file), "probe-stdout\r\nprobe-stdout\r\n");
}

TEST_P(ProcferryRun, StderrGoesToAFileOrToStdout)
{
    parent::set_probe_env("PROBE_WRITE", L"1");
    std::wstring file = scratch() + L"err.txt";
    tool_result run = run_tool(probe_command({L"--stderr", file}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(file_text(file), "probe-stderr\r\n");
    EXPECT_EQ(run.err, exited_line(probe_path(), 0));

    run = run_tool(probe_command({L"--stderr-append", file}));
    EXPECT_EQ(file_text(file), "probe-stderr\r\nprobe-stderr\r\n");

    std::wstring both = scratch() + L"both.txt";
    run = run_tool(probe_command({L"--stdout", both, L"--stderr-to-stdout"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(file_text(both), "probe-stdout\r\nprobe-stderr\r\n");
    EXPECT_EQ(run.err, exited_line(probe_path(), 0));

    // With stdout inherited, stderr joins the tool's stdout.
    run = run_tool(probe_command({L"--stderr-to-stdout"}));
    EXPECT_EQ(run.out, "probe-stdout\r\nprobe-stderr\r\n");
    EXPECT_EQ(run.err, exited_line(probe_path(), 0));
}

TEST_P(ProcferryRun, StreamsAreInheritedByDefaultOrNull)
{
    parent::set_probe_env("PROBE_WRITE", L"1");
    parent::set_probe_env("PROBE_READ_STDIN", L"1");
    tool_result run = run_tool(probe_command({}), "typed in\n");
    EXPECT_EQ(run.out, "probe-stdout\r\n");
    EXPECT_EQ(run.err, "probe-stderr\r\n" + exited_line(probe_path(), 0));
    EXPECT_EQ(probe_report().stdin_bytes, "typed in\n");

    run = run_tool(probe_command({L"--stdin", L"inherit", L"--stdout", L"inherit", L"--stderr",
                                  L"inherit"}),
                   "again\n");
    EXPECT_EQ(run.out, "probe-stdout\r\n");
    EXPECT_EQ(probe_report().stdin_bytes, "again\n");

    run = run_tool(probe_command({L"--stdin", L"null", L"--stdout", L"null", L"--stderr",
                                  L"null"}),
                   "not for the child\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, exited_line(probe_path(), 0));
    EXPECT_TRUE(probe_report().stdin_read);
    EXPECT_EQ(probe_report().stdin_bytes, "");
}

TEST_P(ProcferryRun, StdinComesFromAFile)
{
    parent::set_probe_env("PROBE_READ_STDIN", L"1");
    std::wstring file = scratch() + L"in.txt";
    write_file(file, "line one\r\nzwei\n\x01\xff\x1a after the end");
    tool_result run = run_tool(probe_command({L"--stdin", file}));
    EXPECT_EQ(run.status, 0);
    // In text mode, as a program started from a console reads it: CR LF
    // folded, ^Z the end.
    EXPECT_EQ(probe_report().stdin_bytes, "line one\nzwei\n\x01\xff");
}

TEST_P(ProcferryRun, OtherDescriptorsNeverReachTheChild)
{
    // A descriptor this test holds open reaches the tool, but the library
    // hands the relay only its channels and the three streams: the child has
    // nothing past 2.
    std::wstring file = scratch() + L"held.txt";
    int held = _wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(held, 3);
    tool_result kept = run_tool(probe_command({}));
    std::vector<int> fds_kept = probe_report().fds;
    _close(held);
    EXPECT_EQ(kept.status, 0);
    EXPECT_EQ(fds_kept, (std::vector<int>{0, 1, 2}));
}

TEST_P(ProcferryRun, Argv0IsDistinctFromTheProgramPath)
{
    tool_result run = run_tool(probe_command({L"--argv0", L"custom zero \u00e9"}, {L"one"}));
    EXPECT_EQ(run.status, 0);
    parent::probe_report report = probe_report();
    ASSERT_EQ(report.argv.size(), 2u);
    EXPECT_EQ(report.argv[0], L"custom zero \u00e9");
    EXPECT_EQ(report.argv[1], L"one");

    // taken from the wide command line, so a lone surrogate arrives too
    run = run_tool(probe_command({L"--argv0=zero \xDC00"}));
    EXPECT_EQ(run.status, 0) << run.err;
    report = probe_report();
    ASSERT_EQ(report.argv.size(), 1u);
    EXPECT_EQ(report.argv[0], L"zero \xDC00");
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
    EXPECT_TRUE(probe_report().present);

}
