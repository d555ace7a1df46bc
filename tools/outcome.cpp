// A launch's outcome for a person and for a script: the line that says what
// happened and what to do about it, the tool's exit status, and the JSON
// object.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "procferry/parent.h"
#include "procferry_run.h"

std::string errno_name(int error)
{
    static const struct {
        int number;
        const char *name;
    } names[] = {
#define NAME(e) {e, #e}
        NAME(EPERM),  NAME(ENOENT),  NAME(ESRCH),   NAME(EINTR),  NAME(EIO),
        NAME(ENXIO),  NAME(E2BIG),   NAME(ENOEXEC), NAME(EBADF),  NAME(ECHILD),
        NAME(EAGAIN), NAME(ENOMEM),  NAME(EACCES),  NAME(EFAULT), NAME(EBUSY),
        NAME(EEXIST), NAME(EXDEV),   NAME(ENODEV),  NAME(ENOTDIR), NAME(EISDIR),
        NAME(EINVAL), NAME(ENFILE),  NAME(EMFILE),  NAME(ENOTTY), NAME(EFBIG),
        NAME(ENOSPC), NAME(ESPIPE),  NAME(EROFS),   NAME(EMLINK), NAME(EPIPE),
        NAME(EDOM),   NAME(ERANGE),  NAME(EDEADLK), NAME(ENAMETOOLONG),
        NAME(ENOLCK), NAME(ENOSYS),  NAME(ENOTEMPTY), NAME(EILSEQ),
#undef NAME
    };
    for (const auto &entry : names)
        if (entry.number == error)
            return entry.name;
    return "E" + std::to_string(error);
}

std::string errno_words(int error)
{
    return std::string(strerror(error)) + " (" + errno_name(error) + ")";
}

static std::string status_words(int32_t status)
{
    std::string text = std::to_string(status);
    // Exception codes such as 0xC0000005 read better in hex.
    if (status < 0) {
        char hex[16];
        snprintf(hex, sizeof hex, "0x%08X", (unsigned)status);
        text += std::string(" (") + hex + ")";
    }
    return text;
}

// The directory as typed, and in full when it was relative, since a relative
// one is taken from wherever the tool was started.
static std::string named_path(const std::wstring &path)
{
    std::wstring full = full_path(path);
    std::string text = to_utf8(path);
    if (_wcsicmp(full.c_str(), path.c_str()) != 0)
        text += " (" + to_utf8(full) + ")";
    return text;
}

static std::string where_it_starts(const run_options &options)
{
    return options.has_dir ? "the --cwd directory " + named_path(options.dir)
                           : "the current directory";
}

static std::string not_found_words(const run_options &options, const program_lookup &lookup,
                                   int error)
{
    std::string name = to_utf8(options.program);
    if (!lookup.bare)
        return name + ": not found" +
               (options.has_dir ? " (a relative PROGRAM is taken from " +
                                      where_it_starts(options) + ")"
                                : "") +
               ": " + errno_words(error);
    if (!options.search_path)
        return name + ": not found in " + where_it_starts(options) + ": " + errno_words(error) +
               "; PATH was not searched: drop --no-search-path to search it";
    std::string text = name + ": not found on PATH: " + errno_words(error);
    switch (lookup.here) {
    case program_lookup::program:
        return text + "; a bare name is looked for on PATH only: to run the one in " +
               where_it_starts(options) + ", give its path, .\\" + name;
    case program_lookup::directory:
        return text + "; " + name + " in " + where_it_starts(options) +
               " is a directory, not a program";
    case program_lookup::other_file:
        return text + "; " + name + " in " + where_it_starts(options) + " is not a program";
    default:
        return text + "; check the name, or give the program's path";
    }
}

static std::string cannot_run_words(const run_options &options, const program_lookup &lookup,
                                    int error)
{
    std::string name = to_utf8(options.program);
    if (error == E2BIG)
        return name + ": the command line is too long: " + errno_words(error) +
               "; the platform takes " + std::to_string(RELAY_COMMAND_TEXT_LIMIT - 1) +
               " characters at most";
    if (!lookup.found && lookup.here == program_lookup::directory)
        return name + ": is a directory (" + to_utf8(lookup.here_path) +
               "), not a program; the launch failed: " + errno_words(error);
    std::string found = lookup.found && lookup.path != options.program
                            ? " (found as " + to_utf8(lookup.path) + ")"
                            : "";
    std::string hint = error == EINVAL || error == ENOEXEC
                           ? "; only programs (.exe, .com) and batch files (.bat, .cmd) run"
                           : "";
    return name + found + ": cannot be run: " + errno_words(error) + hint;
}

static std::string directory_words(const run_options &options, int error)
{
    DWORD attributes = GetFileAttributesW(full_path(options.dir).c_str());
    std::string what = attributes == INVALID_FILE_ATTRIBUTES ? "no such directory"
                       : attributes & FILE_ATTRIBUTE_DIRECTORY
                           ? "cannot change into it"
                           : "is a file, not a directory";
    return "--cwd " + named_path(options.dir) + ": " + what + ": " + errno_words(error) +
           "; nothing was run";
}

static std::string relay_words(const run_options &options, const procferry_result &result)
{
    std::string relay = "relay " + to_utf8(options.relay);
    switch (result.kind) {
    case PROCFERRY_RELAY_MISSING:
        return relay + ": cannot be started: " + errno_words(result.error) +
               "; procferry-console.exe and procferry.exe belong beside procferry-run.exe, "
               "or name one with --relay";
    case PROCFERRY_RELAY_CRASHED:
        return relay + " ended without a report (exit status " +
               status_words((int32_t)result.relay_exit_status) + ")";
    case PROCFERRY_CHECK_REPORT: {
        std::string report = result.check_report;
        while (!report.empty() && (report.back() == '\n' || report.back() == '\r'))
            report.pop_back();
        return relay + " refused its command line: " + report;
    }
    case PROCFERRY_BAD_RECORD:
        if (result.record_bytes < RELAY_RECORD_SIZE)
            return relay + " sent " + std::to_string(result.record_bytes) + " of the " +
                   std::to_string(RELAY_RECORD_SIZE) + " bytes of its report";
        if (result.record_code == RELAY_OK)
            return relay + " started the child but its process could not be taken over "
                           "(Windows error " + std::to_string(result.win32_error) + ")";
        return relay + " sent an unknown report: code " + std::to_string(result.record_code) +
               ", value " + std::to_string(result.record_value);
    case PROCFERRY_SYSTEM_ERROR:
        return "cannot make the relay's channels (Windows error " +
               std::to_string(result.win32_error) + ")";
    }
    return "the start was refused: " + errno_words(result.error);
}

void describe_outcome(const run_options &options, const program_lookup &lookup,
                      int failed_stream, const procferry_result *result,
                      launch_outcome &outcome)
{
    std::string name = to_utf8(options.program);
    if (failed_stream >= 0) {
        static const char *const plain[3] = {"--stdin", "--stdout", "--stderr"};
        static const char *const append[3] = {"--stdin", "--stdout-append", "--stderr-append"};
        const stream_choice &choice = options.streams[failed_stream];
        outcome.kind = outcome_kind::stream_failed;
        outcome.status = RUN_EXIT_OWN_FAILURE;
        outcome.message = std::string(choice.append ? append[failed_stream]
                                                    : plain[failed_stream]) +
                          " " + named_path(choice.path) + ": cannot open it: " +
                          errno_words(outcome.error) + "; nothing was run";
        return;
    }
    switch (result->kind) {
    case PROCFERRY_STARTED:
        break; // the child's own fate, in outcome.kind already
    case PROCFERRY_DIR_FAILED:
        outcome.kind = outcome_kind::directory_failed;
        outcome.error = result->error;
        break;
    case PROCFERRY_LAUNCH_FAILED:
        outcome.kind = result->error == ENOENT ? outcome_kind::not_found
                                               : outcome_kind::cannot_run;
        outcome.error = result->error;
        break;
    case PROCFERRY_INVALID_ARGUMENT:
        outcome.kind = result->error == E2BIG ? outcome_kind::cannot_run
                                              : outcome_kind::relay_failed;
        outcome.error = result->error;
        break;
    case PROCFERRY_TIMED_OUT:
        outcome.kind = outcome_kind::timed_out;
        break;
    default:
        outcome.kind = outcome_kind::relay_failed;
        outcome.error = result->kind == PROCFERRY_RELAY_MISSING ? result->error : 0;
    }

    switch (outcome.kind) {
    case outcome_kind::exited:
        outcome.status = outcome.exit_status;
        outcome.message = name + " exited with status " + status_words(outcome.exit_status);
        break;
    case outcome_kind::started:
        outcome.status = 0;
        outcome.message = name + " started as process " + std::to_string(outcome.pid);
        if (options.timeout_ms)
            outcome.message += "; it will be ended if it still runs after " + options.timeout_text;
        break;
    case outcome_kind::timed_out:
        outcome.status = RUN_EXIT_TIMED_OUT;
        if (outcome.pid)
            outcome.message = name + " still ran after " + options.timeout_text +
                              "; ended it (process " + std::to_string(outcome.pid) + ")";
        else
            outcome.message = "relay " + to_utf8(options.relay) + " did not report within " +
                              options.timeout_text + "; ended it";
        break;
    case outcome_kind::not_found:
        outcome.status = RUN_EXIT_NOT_FOUND;
        outcome.message = not_found_words(options, lookup, outcome.error);
        break;
    case outcome_kind::cannot_run:
        outcome.status = RUN_EXIT_CANNOT_RUN;
        outcome.message = cannot_run_words(options, lookup, outcome.error);
        break;
    case outcome_kind::directory_failed:
        outcome.status = RUN_EXIT_OWN_FAILURE;
        outcome.message = directory_words(options, outcome.error);
        break;
    case outcome_kind::stream_failed:
    case outcome_kind::relay_failed:
        outcome.status = RUN_EXIT_OWN_FAILURE;
        outcome.message = relay_words(options, *result);
        break;
    }
}

static std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

static const char *kind_name(outcome_kind kind)
{
    switch (kind) {
    case outcome_kind::exited: return "exited";
    case outcome_kind::started: return "started";
    case outcome_kind::timed_out: return "timed_out";
    case outcome_kind::not_found: return "not_found";
    case outcome_kind::cannot_run: return "cannot_run";
    case outcome_kind::directory_failed: return "directory_failed";
    case outcome_kind::stream_failed: return "stream_failed";
    case outcome_kind::relay_failed: return "relay_failed";
    }
    return "?";
}

// One object, every field in every outcome (null where it does not apply),
// each field with one meaning.
static std::string json_object(const run_options &options, const launch_outcome &outcome)
{
    std::string arguments = "[";
    for (const std::wstring &arg : options.args)
        arguments += (arguments.size() > 1 ? "," : "") + json_string(to_utf8(arg));
    arguments += "]";
    std::string architecture = program_architecture(options.relay);
    std::string json = "{\"outcome\":" + json_string(kind_name(outcome.kind));
    json += ",\"message\":" + json_string(outcome.message);
    json += ",\"program\":" + json_string(to_utf8(outcome.program));
    json += ",\"arguments\":" + arguments;
    json += ",\"pid\":" + (outcome.pid ? std::to_string(outcome.pid) : "null");
    json += ",\"exit_status\":" + (outcome.ended ? std::to_string(outcome.exit_status) : "null");
    json += ",\"errno\":" + (outcome.error ? std::to_string(outcome.error) : "null");
    json += ",\"errno_name\":" + (outcome.error ? json_string(errno_name(outcome.error)) : "null");
    json += ",\"elapsed_ms\":" + std::to_string(outcome.elapsed_ms);
    json += ",\"relay\":" + json_string(to_utf8(full_path(options.relay)));
    json += ",\"relay_architecture\":" + (architecture.empty() ? "null" : json_string(architecture));
    json += ",\"tool_status\":" + std::to_string(outcome.status) + "}\n";
    return json;
}

void print_outcome(const run_options &options, const launch_outcome &outcome, FILE *json_file)
{
    if (json_file) {
        std::string json = json_object(options, outcome);
        fwrite(json.data(), 1, json.size(), json_file);
        fflush(json_file);
    }
    if (options.json) {
        std::string json = json_object(options, outcome);
        fwrite(json.data(), 1, json.size(), stderr);
        fflush(stderr);
        return;
    }
    say(outcome.message);
}
