// The command line: the options into a run_options, PROGRAM and its
// arguments taken unchanged from the wide command line.
#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <cxxopts.hpp>
#include <windows.h>

#include "options.h"

static const char USAGE_EPILOGUE[] = R"(
PROGRAM and each ARG reach the child exactly as typed here, whatever blanks,
quotes or backslashes they hold. Options must come before PROGRAM; "--" ends
them explicitly, which is needed when PROGRAM itself starts with "-".

NAME=VALUE words set a variable for PROGRAM, as with env(1): each word before
PROGRAM, among the options or after "--", that holds "=" after at least one
character. A word that starts with "=" names no variable (--env refuses it
too) and so is taken as PROGRAM. After PROGRAM, NAME=VALUE is an ARG like any
other. A PROGRAM whose path holds "=" is named from its folder instead:
-C "C:\a=b" .\prog.exe

A PROGRAM without a directory part is looked up on PATH only, not in the
start directory first; with --no-search-path it is taken from the directory
the child starts in, as any other PROGRAM is (-C, or the current one).
Without an extension, .com, .exe, .bat and .cmd are tried. A relative stream
file is taken from the current directory.

The environment PROGRAM gets is this tool's, changed by the NAME=VALUE words,
--env and -u in the order typed (after -i, an empty one changed by them);
PATH is looked up in that environment. This tool's own environment never
changes. -i is also --clear-env, -u also --unset, -C also --cwd.

Streams: "inherit" (the default) hands on this tool's own stream, "null" the
null device, anything else is a file: --stdin reads it, --stdout and --stderr
create or truncate it, --stdout-append and --stderr-append append to it. Name
a file that is called "inherit" or "null" as .\null.

DURATION is a number with an optional unit: ms, s (the default), m, h or d,
such as 500ms, 5, 1.5m. At --timeout the child is ended, and everything it
started with it, with status 143 (the status a shell shows for a child that
timeout(1) ended); this tool then exits 124, or with --preserve-status 143,
as timeout(1) does. With --no-wait a copy of this tool starts the child and
stays behind to end it, and this tool has exited 0 already. 0 means no limit.

What happens is printed on stderr as one line, so that the child's own output
stays clean:
  procferry-run: cmd exited with status 3
  procferry-run: cmd started as process 1234
  procferry-run: nosuch: not found on PATH: ENOENT: no such file or directory; ...
--json prints one JSON object on stderr instead of that line (after anything
the child wrote there); --json-file FILE writes it to FILE and keeps the line.
Its fields are always all there, null when they do not apply: outcome
(exited, started, timed_out, not_found, cannot_run, directory_failed,
stream_failed, relay_failed), message, program (as found), arguments, pid,
exit_status (the child's own, whole; 143 when --timeout ended it), errno,
errno_name, elapsed_ms, relay, relay_architecture, tool_status (this tool's
exit status: 124 after --timeout, the child's with --preserve-status).

Exit status, as with env and timeout:
  the child's  PROGRAM ran and ended by itself (wait mode)
  0            --no-wait: PROGRAM was started; --demo: every argument arrived intact
  1            --demo: an argument did not arrive intact
  124          --timeout passed and PROGRAM was ended (--preserve-status: 143,
               the status it was ended with)
  125          procferry-run failed: a bad option, a -C directory or stream
               file it could not use, a relay missing or failing
  126          PROGRAM was found but could not be run
  127          PROGRAM was not found
A Unix shell running wine sees only the low 8 bits of a status: 300 as 44,
-1 as 255, a crash (0xC0000005) as 5. cmd's %ERRORLEVEL% and --json keep the
whole status.

Examples (each runs as shown under wine):
  procferry-run --demo
  procferry-run -- cmd /c "echo hi"
  procferry-run --stdout log.txt --stderr-to-stdout -- cmd /c "echo hello & dir /b nosuch"
  procferry-run --cwd C:/windows -- cmd /c cd
  procferry-run --env GREETING=hello -- cmd /c "echo %GREETING%"
  procferry-run -i PATH=C:\Windows\system32 LANG=C.UTF-8 -C C:\Windows -- cmd /c set
  procferry-run --timeout 1.5s -- cmd /c "ping -n 5 127.0.0.1 >nul"
  procferry-run --no-wait -- cmd /c "exit 0"
  procferry-run --json-file run.json -- cmd /c "exit 3"
)";

struct usage_error {
    std::string text;
};

// Options that take a value as the next entry; the scan for PROGRAM must
// step over those values.
static bool takes_value(const std::string &option)
{
    static const char *const names[] = {
        "-C",      "--chdir", "--cwd",     "--stdin",     "--stdout",  "--stderr",
        "--stdout-append",    "--stderr-append", "--argv0", "--relay", "--timeout",
        "--json-file", "-k", "--kill-after", "-s", "--signal"};
    for (const char *name : names)
        if (option == name)
            return true;
    return false;
}

// What a person sees of a wide text in a message: a lone surrogate, which
// has no UTF-8 form, as U+FFFD.
static std::string shown(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, nullptr,
                            nullptr);
    return out;
}

// --env, -u, --unset and --argv0 are taken here, from the wide command
// line, rather than by the option parser: --env and -u may repeat and a
// value may hold anything, commas too (the parser splits repeated values on
// commas), and the child gets these texts exactly, lone surrogates too,
// which have no UTF-8 form to pass through the parser in.
static bool take_wide_option(const std::wstring &arg, const wchar_t *next, run_options &run,
                             bool *used_next)
{
    *used_next = false;
    std::string name;
    std::wstring value;
    bool inline_value = false;
    if (arg.compare(0, 2, L"-u") == 0) { // -u NAME or -uNAME, as env(1) takes it
        name = "-u";
        inline_value = arg.size() > 2;
        value = arg.substr(2);
    }
    for (const wchar_t *option : {L"--env", L"--unset", L"--argv0"}) {
        std::wstring with_equals = std::wstring(option) + L"=";
        if (arg == option)
            name = shown(option);
        if (arg.compare(0, with_equals.size(), with_equals) == 0) {
            name = shown(option);
            inline_value = true;
            value = arg.substr(with_equals.size());
        }
    }
    if (name.empty())
        return false;
    if (!inline_value) {
        if (!next)
            throw usage_error{name + " needs a value"};
        value = next;
        *used_next = true;
    }
    if (name == "--argv0") {
        run.has_argv0 = true;
        run.argv0 = value;
        return true;
    }
    if (name == "--unset" || name == "-u") {
        if (value.empty() || value.find(L'=') != std::wstring::npos)
            throw usage_error{name + " needs a variable name, not '" + shown(value) + "'"};
        run.env.push_back(value);
        return true;
    }
    size_t equals = value.find(L'=');
    if (equals == 0 || equals == std::wstring::npos)
        throw usage_error{"--env needs NAME=VALUE, not '" + shown(value) + "'"};
    run.env.push_back(value);
    return true;
}

// NAME=VALUE before PROGRAM, as env(1) takes it; with no NAME, the "=" does
// not make a word one, as for --env.
static bool is_assignment(const std::wstring &word)
{
    size_t equals = word.find(L'=');
    return equals != std::wstring::npos && equals > 0;
}

// The option parser reads UTF-8; an entry without a UTF-8 form is refused
// by the name of its option rather than read as something else.
static std::string option_text(const std::wstring &entry, const std::string &option)
{
    bool ok = true;
    std::string text = to_utf8(entry, &ok);
    if (!ok)
        throw usage_error{option + ": '" + shown(entry) +
                          "' holds a lone surrogate (UTF-16 without a UTF-8 form), which this "
                          "option cannot take"};
    return text;
}

// Index of PROGRAM in the wide command line (argc when there is none).
// Collects the option entries, minus those take_wide_option takes, into
// options, and the NAME=VALUE words into run.env in their place among the
// changes. Such a word may stand among the options too: that they come first
// is no rule a person must remember.
static int find_program(int argc, wchar_t **argv, run_options &run,
                        std::vector<std::string> &options)
{
    bool separator = false;
    options.push_back(to_utf8(argv[0]));
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--" && !separator) {
            separator = true;
            continue;
        }
        if (is_assignment(arg) && (separator || arg[0] != L'-')) {
            run.env.push_back(arg);
            continue;
        }
        if (separator || arg.size() < 2 || arg[0] != L'-')
            return i;
        bool used_next = false;
        if (take_wide_option(arg, i + 1 < argc ? argv[i + 1] : nullptr, run, &used_next)) {
            i += used_next ? 1 : 0;
            continue;
        }
        std::string name = shown(arg.substr(0, arg.find(L'=')));
        options.push_back(option_text(arg, name));
        if (takes_value(options.back()) && i + 1 < argc)
            options.push_back(option_text(argv[++i], name));
    }
    return argc;
}

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
    choice.path = to_wide(value);
    return choice;
}

// console and gui: the library's own choice, beside this tool.
static void relay_from(const std::string &value, run_options &run)
{
    if (value.empty())
        throw usage_error{"--relay needs console, gui or the path of a relay program"};
    run.gui_relay = value == "gui";
    if (value != "console" && value != "gui")
        run.relay = to_wide(value);
}

// "500ms", "5s", "1.5m", "2h", "1d" or a bare number of seconds, as timeout
// takes them; the result must fit a 32-bit millisecond wait.
static uint32_t duration_from(const char *option, const std::string &text)
{
    size_t digits = 0;
    while (digits < text.size() && (isdigit((unsigned char)text[digits]) || text[digits] == '.'))
        ++digits;
    std::string number = text.substr(0, digits), unit = text.substr(digits);
    static const struct {
        const char *name;
        double ms;
    } units[] = {{"", 1000}, {"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000},
                 {"d", 86400000}};
    double per_unit = -1;
    for (const auto &known : units)
        if (unit == known.name)
            per_unit = known.ms;
    char *end = nullptr;
    double value = number.empty() ? -1 : strtod(number.c_str(), &end);
    double ms = ceil(value * per_unit);
    if (per_unit < 0 || value < 0 || *end != '\0' || ms >= 4294967295.0)
        throw usage_error{std::string(option) + ": '" + text +
                          "' is not a duration such as 500ms, 5s, 1.5m or 5 (seconds), "
                          "under 49 days"};
    return (uint32_t)ms;
}

// A name's short form stands last: the parser shows the first long name in
// the help, and keeps the order only of names that need no reordering.
static void add_options(cxxopts::Options &options)
{
    // clang-format off
    options.add_options()
        ("no-wait", "start PROGRAM and return at once (default: wait for it to end)")
        ("t,tty", "run PROGRAM in a pseudo console of this terminal's size (80x25 without "
         "one): what it shows, colours and all, goes to stdout, and stdin to its keyboard")
        ("no-search-path", "do not look a bare PROGRAM name up along PATH")
        ("search-path", "look a bare PROGRAM name up along PATH (the default)")
        ("chdir,cwd,C", "run PROGRAM in directory DIR (also --cwd)",
         cxxopts::value<std::string>(), "DIR")
        ("env", "set a variable for PROGRAM, as NAME=VALUE before PROGRAM does "
         "(repeatable; also seen by the relay)", cxxopts::value<std::string>(), "NAME=VALUE")
        ("ignore-environment,clear-env,i", "start PROGRAM with an empty environment, to "
         "which NAME=VALUE and --env add (also --clear-env)")
        ("unset,u", "remove a variable for PROGRAM (repeatable)",
         cxxopts::value<std::string>(), "NAME")
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
        ("argv0", "give PROGRAM this argument zero instead of its name",
         cxxopts::value<std::string>(), "TEXT")
        ("timeout", "end PROGRAM when it still runs after DURATION (0: no limit)",
         cxxopts::value<std::string>(), "DURATION")
        ("k,kill-after", "at --timeout, first ask PROGRAM to stop (see --signal); end it and "
         "everything it started only when it still runs DURATION later (exit status 137)",
         cxxopts::value<std::string>(), "DURATION")
        ("s,signal", "how --kill-after asks: BREAK, a Ctrl+Break to a console PROGRAM (started "
         "in a process group of its own), or CLOSE, a close of its windows",
         cxxopts::value<std::string>(), "BREAK|CLOSE")
        ("preserve-status", "when --timeout ends PROGRAM, exit with the status PROGRAM "
         "was ended with (143) instead of 124")
        ("direct", "start PROGRAM without a relay, as the library does (the default, "
         "but for --demo): one process start instead of two, by the same rules")
        ("relay", "start PROGRAM through a relay program: console, gui, or a path; console "
         "and gui are found next to this tool", cxxopts::value<std::string>(), "console|gui|PATH")
        ("v,verbose", "print the child's exact command line, and the relay program's with --relay")
        ("json", "print the outcome as one JSON object on stderr instead of a line")
        ("json-file", "write the outcome as one JSON object to FILE",
         cxxopts::value<std::string>(), "FILE")
        ("demo", "send a set of hard arguments to a copy of this tool and show how "
         "each arrived (honours --relay, --verbose and --timeout)")
        ("h,help", "print this help")
        ("version", "print the version");
    // clang-format on
}

static int parse(int argc, wchar_t **argv, run_options &run, bool *demo)
{
    cxxopts::Options options("procferry-run",
                             "Runs PROGRAM and says what happened.");
    options.custom_help("[OPTION...] [NAME=VALUE...] [--] PROGRAM [ARG...]");
    add_options(options);

    std::vector<std::string> narrow;
    int program_index = find_program(argc, argv, run, narrow);
    std::vector<const char *> narrow_argv;
    for (const std::string &arg : narrow)
        narrow_argv.push_back(arg.c_str());

    cxxopts::ParseResult parsed = options.parse((int)narrow_argv.size(), narrow_argv.data());
    if (!parsed.unmatched().empty())
        throw usage_error{"unexpected '" + parsed.unmatched()[0] + "'"};
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
    if (*demo && (parsed.count("json") || parsed.count("json-file")))
        throw usage_error{"--demo shows its result as text; --json cannot go with it"};
    if (!*demo && !has_program)
        throw usage_error{"no PROGRAM given (usage: procferry-run [OPTION...] [NAME=VALUE...] "
                          "[--] PROGRAM [ARG...])"};
    if (parsed.count("search-path") && parsed.count("no-search-path"))
        throw usage_error{"--search-path and --no-search-path cannot both be given"};

    relay_from(parsed.count("relay") ? parsed["relay"].as<std::string>() : "console", run);
    // PROGRAM starts as the library starts it, directly; --demo shows the
    // relay's own work, so it goes through one unless told --direct.
    if (parsed.count("direct") && parsed.count("relay"))
        throw usage_error{"--direct starts PROGRAM without a relay; leave out --relay"};
    run.direct = parsed.count("direct") > 0 || (!parsed.count("relay") && !*demo);
    run.clear_env = parsed.count("ignore-environment") > 0;
    run.wait = parsed.count("no-wait") == 0;
    run.search_path = parsed.count("no-search-path") == 0;
    if (parsed.count("chdir")) {
        run.dir = to_wide(parsed["chdir"].as<std::string>());
        if (run.dir.empty())
            throw usage_error{"-C (--chdir, --cwd) needs a directory"};
        run.has_dir = true;
        // The words name the directory's option as the person typed it.
        for (const std::string &option : narrow)
            if (option.rfind("--chdir", 0) == 0 || option.rfind("--cwd", 0) == 0 || option.rfind("-C", 0) == 0)
                run.dir_option = option.rfind("--chdir", 0) == 0 ? "--chdir"
                                 : option.rfind("--cwd", 0) == 0 ? "--cwd"
                                                                 : "-C";
    }
    run.tty = parsed.count("tty") > 0;
    if (run.tty && (parsed.count("stdin") || parsed.count("stdout") || parsed.count("stdout-append")))
        throw usage_error{"--tty gives PROGRAM the console's stdin and stdout; leave out --stdin and --stdout"};
    if (run.tty && (parsed.count("relay") || *demo))
        throw usage_error{"--tty starts PROGRAM directly: a relay cannot hand on a pseudo console"};
    if (run.tty && !run.wait)
        throw usage_error{"--tty passes PROGRAM's screen on until it ends; leave out --no-wait"};
    run.streams[0] = stream_from(parsed, "stdin", nullptr);
    run.streams[1] = stream_from(parsed, "stdout", "stdout-append");
    run.streams[2] = stream_from(parsed, "stderr", "stderr-append");
    run.stderr_to_stdout = parsed.count("stderr-to-stdout") > 0;
    if (run.stderr_to_stdout && (parsed.count("stderr") || parsed.count("stderr-append")))
        throw usage_error{"--stderr-to-stdout cannot go with --stderr or --stderr-append"};
    run.verbose = parsed.count("verbose") > 0;
    run.json = parsed.count("json") > 0;
    if (parsed.count("json-file")) {
        run.json_file = to_wide(parsed["json-file"].as<std::string>());
        if (run.json_file.empty())
            throw usage_error{"--json-file needs a file name"};
    }
    if (parsed.count("timeout")) {
        run.timeout_text = parsed["timeout"].as<std::string>();
        run.timeout_ms = duration_from("--timeout", run.timeout_text);
        if (isdigit((unsigned char)run.timeout_text.back()))
            run.timeout_text += "s";
    }
    run.preserve_status = parsed.count("preserve-status") > 0;
    if (parsed.count("kill-after")) {
        if (!run.timeout_ms)
            throw usage_error{"--kill-after needs a --timeout to follow"};
        run.has_kill_after = true;
        run.kill_after_text = parsed["kill-after"].as<std::string>();
        run.kill_after_ms = duration_from("--kill-after", run.kill_after_text);
        if (isdigit((unsigned char)run.kill_after_text.back()))
            run.kill_after_text += "s";
    }
    if (parsed.count("signal")) {
        std::string how = parsed["signal"].as<std::string>();
        for (char &letter : how)
            letter = (char)toupper((unsigned char)letter);
        if (how != "BREAK" && how != "CLOSE")
            throw usage_error{"--signal takes BREAK or CLOSE, not '" + parsed["signal"].as<std::string>() + "'"};
        if (!run.has_kill_after)
            throw usage_error{"--signal asks only before --kill-after ends PROGRAM; give --kill-after too"};
        run.close_windows = how == "CLOSE";
    }

    if (has_program) {
        run.program = argv[program_index];
        if (run.program.empty())
            throw usage_error{"PROGRAM is empty"};
        for (int i = program_index + 1; i < argc; ++i)
            run.args.push_back(argv[i]);
    }
    return -1;
}

int parse_command_line(int argc, wchar_t **argv, run_options &run, bool *demo)
{
    try {
        return parse(argc, argv, run, demo);
    } catch (const cxxopts::exceptions::exception &error) {
        say(std::string(error.what()) + "\nTry 'procferry-run --help'.");
    } catch (const usage_error &error) {
        say(error.text + "\nTry 'procferry-run --help'.");
    }
    return RUN_EXIT_OWN_FAILURE;
}
