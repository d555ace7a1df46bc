// procferry-run [options] [--] PROGRAM [ARG...]: runs PROGRAM through the
// relay, as the base library's spawning facility would, and says what happened.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <cxxopts.hpp>

#include "procferry_run.h"

using parent::utf8_to_wide;
using parent::wide_to_utf8;

static const char USAGE_EPILOGUE[] = R"(
PROGRAM and each ARG reach the child exactly as typed here, whatever blanks,
quotes or backslashes they hold. Options must come before PROGRAM; "--" ends
them explicitly, which is needed when PROGRAM itself starts with "-".

Streams: "inherit" (the default) hands on this tool's own stream, "null" the
null device, anything else is a file that this tool opens and hands to the
relay by descriptor number: --stdin reads it, --stdout and --stderr create or
truncate it, --stdout-append and --stderr-append append to it. Name a file
that is called "inherit" or "null" as .\null.

A relative PROGRAM is looked up after the --cwd change (or along the search
path with --search-path).

What happens is printed on stderr, so that the child's own output stays clean:
  launched: child exited with status 3
  launched: running, handle 0x74; released the relay
  directory change failed: No such file or directory (errno 2)
  launch failed: No such file or directory (errno 2)
  relay check failed (no report): <what the relay printed>
--json prints one object on stdout instead, after anything the child printed.

Exit status:
  the child's     wait mode, the child ran (it may use the numbers below too)
  0               --no-wait, the child was started; --demo, all arrived intact
  1               --demo: an argument did not arrive intact
  2               bad options
  120             the relay program could not be started
  121             the relay ended without a report (a failed check)
  122             no report within --timeout; the relay was stopped
  123             the relay could not change to the --cwd directory
  124             the relay could not launch PROGRAM
  125             a --stdin, --stdout or --stderr file could not be opened

Examples:
  procferry-run --demo
  procferry-run --stdout out.txt --stderr-to-stdout --search-path -- cmd /c "echo hi"
  procferry-run --search-path --cwd C:\work -- make.exe all
  procferry-run --no-wait --verbose --search-path -- notepad.exe "my notes.txt"
  procferry-run --argv0 short-name --json -- C:\tools\probe.exe one "two words"
)";

// Options that take a value as the next entry; the scan for PROGRAM must
// step over those values.
static bool takes_value(const std::string &option)
{
    static const char *const names[] = {"--cwd",    "--stdin",         "--stdout",
                                        "--stderr", "--stdout-append", "--stderr-append",
                                        "--argv0",  "--relay",         "--timeout"};
    for (const char *name : names)
        if (option == name)
            return true;
    return false;
}

// Index of PROGRAM in the wide command line (argc when there is none). Sets
// *separator when "--" stands before it.
static int find_program(int argc, wchar_t **argv, bool *separator)
{
    *separator = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = wide_to_utf8(argv[i]);
        if (arg == "--") {
            *separator = true;
            return i + 1;
        }
        if (arg.size() < 2 || arg[0] != '-')
            return i;
        if (takes_value(arg))
            ++i;
    }
    return argc;
}

struct usage_error {
    std::string text;
};

static stream_choice stream_from(const cxxopts::ParseResult &parsed, const char *name,
                                 const char *append_name)
{
    stream_choice choice;
    bool plain = parsed.count(name) > 0;
    bool append = append_name && parsed.count(append_name) > 0;
    if (plain && append)
        throw usage_error{std::string("--") + name + " and --" + append_name +
                          " cannot both be given"};
    if (!plain && !append)
        return choice;
    std::string value = parsed[plain ? name : append_name].as<std::string>();
    if (value.empty())
        throw usage_error{std::string("--") + (plain ? name : append_name) +
                          " needs inherit, null or a file name"};
    if (append) {
        choice.kind = stream_choice::file;
        choice.append = true;
    } else if (value == "inherit") {
        choice.kind = stream_choice::inherit;
    } else if (value == "null") {
        choice.kind = stream_choice::null_device;
    } else {
        choice.kind = stream_choice::file;
    }
    choice.path = utf8_to_wide(value);
    return choice;
}

static std::wstring relay_from(const std::string &value)
{
    if (value == "console")
        return parent::own_directory() + L"procferry-console.exe";
    if (value == "gui")
        return parent::own_directory() + L"procferry.exe";
    if (value.empty())
        throw usage_error{"--relay needs console, gui or the path of a relay program"};
    return utf8_to_wide(value);
}

static int timeout_from(const std::string &value)
{
    char *end = nullptr;
    long ms = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || ms < 0 || ms > 24L * 3600 * 1000)
        throw usage_error{"--timeout: '" + value +
                          "' is not a number of milliseconds (0 to 86400000)"};
    return (int)ms;
}

static void add_options(cxxopts::Options &options)
{
    // clang-format off
    options.add_options()
        ("no-wait", "start PROGRAM and return at once (default: wait for it to end)")
        ("search-path", "look PROGRAM up along the executable search path (PATH)")
        ("cwd", "run PROGRAM in directory DIR", cxxopts::value<std::string>(), "DIR")
        ("stdin", "PROGRAM's stdin: inherit, null or a file to read",
         cxxopts::value<std::string>(), "inherit|null|FILE")
        ("stdout", "PROGRAM's stdout: inherit, null or a file to create or truncate",
         cxxopts::value<std::string>(), "inherit|null|FILE")
        ("stdout-append", "PROGRAM's stdout: a file to append to",
         cxxopts::value<std::string>(), "FILE")
        ("stderr", "PROGRAM's stderr: inherit, null or a file to create or truncate",
         cxxopts::value<std::string>(), "inherit|null|FILE")
        ("stderr-append", "PROGRAM's stderr: a file to append to",
         cxxopts::value<std::string>(), "FILE")
        ("stderr-to-stdout", "send PROGRAM's stderr wherever its stdout goes")
        ("close-fds", "let PROGRAM inherit no descriptors but its standard streams")
        ("argv0", "give PROGRAM this argument zero instead of its path",
         cxxopts::value<std::string>(), "TEXT")
        ("relay", "relay program: console (default), gui, or a path; console and "
         "gui are found next to this tool", cxxopts::value<std::string>(), "console|gui|PATH")
        ("timeout", "give up when the relay has not reported after MS milliseconds "
         "(0, the default: no limit; in wait mode the report comes when PROGRAM ends)",
         cxxopts::value<std::string>(), "MS")
        ("v,verbose", "print the relay program and its exact command line")
        ("json", "print the outcome as one JSON object on stdout")
        ("demo", "send a set of hard arguments to the bundled probe child and show "
         "how each arrived (honours --relay, --verbose and --timeout)")
        ("h,help", "print this help")
        ("version", "print the version");
    // clang-format on
}

// Reads the options into a run; PROGRAM and its arguments are taken from the
// wide command line unchanged, so that no text is lost to a conversion.
static int parse_command_line(int argc, wchar_t **argv, run_options &run, bool *demo)
{
    cxxopts::Options options("procferry-run",
                             "Runs PROGRAM through the procferry relay and says what happened.");
    options.custom_help("[OPTION...] [--] PROGRAM [ARG...]");
    add_options(options);

    bool separator = false;
    int program_index = find_program(argc, argv, &separator);
    int option_count = separator ? program_index - 1 : program_index;
    std::vector<std::string> narrow;
    for (int i = 0; i < option_count; ++i)
        narrow.push_back(wide_to_utf8(argv[i]));
    std::vector<const char *> narrow_argv;
    for (const std::string &arg : narrow)
        narrow_argv.push_back(arg.c_str());

    cxxopts::ParseResult parsed = options.parse((int)narrow_argv.size(), narrow_argv.data());
    if (parsed.count("help")) {
        printf("%s%s", options.help().c_str(), USAGE_EPILOGUE);
        return 0;
    }
    if (parsed.count("version")) {
        printf("procferry-run %s\n", PROCFERRY_VERSION);
        return 0;
    }

    *demo = parsed.count("demo") > 0;
    bool has_program = program_index < argc;
    if (*demo && has_program)
        throw usage_error{"--demo runs its own child; give no PROGRAM with it"};
    if (*demo && parsed.count("json"))
        throw usage_error{"--demo shows its result as text; --json cannot go with it"};
    if (!*demo && !has_program)
        throw usage_error{"no PROGRAM given (usage: procferry-run [OPTION...] [--] PROGRAM "
                          "[ARG...])"};

    run.request.relay = relay_from(parsed.count("relay") ? parsed["relay"].as<std::string>()
                                                         : "console");
    run.request.wait = parsed.count("no-wait") == 0;
    run.request.search_path = parsed.count("search-path") > 0;
    run.request.close_fds = parsed.count("close-fds") > 0;
    if (parsed.count("cwd")) {
        std::wstring dir = utf8_to_wide(parsed["cwd"].as<std::string>());
        if (dir.empty())
            throw usage_error{"--cwd needs a directory"};
        // The relay reads "-" alone as "stay where you are".
        run.request.work_dir = dir == L"-" ? L".\\-" : dir;
    }
    run.streams[0] = stream_from(parsed, "stdin", nullptr);
    run.streams[1] = stream_from(parsed, "stdout", "stdout-append");
    run.streams[2] = stream_from(parsed, "stderr", "stderr-append");
    run.stderr_to_stdout = parsed.count("stderr-to-stdout") > 0;
    if (run.stderr_to_stdout && (parsed.count("stderr") || parsed.count("stderr-append")))
        throw usage_error{"--stderr-to-stdout cannot go with --stderr or --stderr-append"};
    run.verbose = parsed.count("verbose") > 0;
    run.json = parsed.count("json") > 0;
    if (parsed.count("timeout"))
        run.timeout_ms = timeout_from(parsed["timeout"].as<std::string>());

    if (has_program) {
        run.request.program = argv[program_index];
        if (parsed.count("argv0")) {
            run.request.argv0_marker = true;
            run.request.args.push_back(utf8_to_wide(parsed["argv0"].as<std::string>()));
        }
        for (int i = program_index + 1; i < argc; ++i)
            run.request.args.push_back(argv[i]);
    }
    return -1;
}

int wmain(int argc, wchar_t **argv)
{
    run_options run;
    bool demo = false;
    try {
        int status = parse_command_line(argc, argv, run, &demo);
        if (status >= 0)
            return status;
    } catch (const cxxopts::exceptions::exception &error) {
        fprintf(stderr, "procferry-run: %s\nTry 'procferry-run --help'.\n", error.what());
        return RUN_EXIT_USAGE;
    } catch (const usage_error &error) {
        fprintf(stderr, "procferry-run: %s\nTry 'procferry-run --help'.\n", error.text.c_str());
        return RUN_EXIT_USAGE;
    }

    if (demo)
        return run_demo(run);
    launch_outcome outcome = run_launch(run);
    print_outcome(run, outcome);
    return outcome.exit_status;
}
