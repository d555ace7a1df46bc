// A run's outcome in words, as the tool's exit status, and as JSON. The
// words are the library's, in the tool's terms (procferry_describe_in_terms):
// where a next step names an option, it is the tool's command-line option.
#include <stdio.h>
#include <string.h>

#include "print.h"

namespace {

// The outcome as the tool tells it.
struct verdict {
    const char *kind = "relay_failed"; // the JSON "outcome"
    int status = RUN_EXIT_OWN_FAILURE;
    int error = 0;
    std::string message;
};

verdict told_as(const char *kind, int status, int error = 0)
{
    verdict told;
    told.kind = kind;
    told.status = status;
    told.error = error;
    return told;
}

// The tool's status when the time ran out, as timeout(1) gives it. Only here,
// so that each way of ending a child past its time gets its status in one place.
int status_at_timeout(const run_options &options, const launch_outcome &outcome)
{
    if (outcome.killed)
        return RUN_EXIT_KILLED;
    if (options.preserve_status && outcome.ended)
        return outcome.exit_status;
    return RUN_EXIT_TIMED_OUT;
}

// The library's words, with the tool's own options named in its next steps.
std::string library_words(const run_options &options, const procferry_result &result)
{
    std::vector<const wchar_t *> args, env;
    procferry_options start = start_options(options, args, env);
    procferry_terms terms = {sizeof terms, "drop --no-search-path", "procferry-run.exe", "with --relay",
                             "with --env", "PROGRAM", options.dir_option.c_str()};
    std::string words(procferry_describe_in_terms(&start, &result, &terms, nullptr, 0) + 1, '\0');
    words.resize(procferry_describe_in_terms(&start, &result, &terms, &words[0], words.size()));
    return words;
}

// The directory or file as typed, and in full when it was relative.
std::string named_path(const std::wstring &path)
{
    std::wstring full = full_path(path);
    std::string text = to_utf8(path);
    if (_wcsicmp(full.c_str(), path.c_str()) != 0)
        text += " (" + to_utf8(full) + ")";
    return text;
}

verdict stream_failed(const run_options &options, const launch_outcome &outcome)
{
    static const char *const plain[3] = {"--stdin", "--stdout", "--stderr"};
    static const char *const append[3] = {"--stdin", "--stdout-append", "--stderr-append"};
    const stream_choice &choice = options.streams[outcome.failed_stream];
    verdict told;
    told.kind = "stream_failed";
    told.error = outcome.error;
    told.message = std::string(choice.append ? append[outcome.failed_stream]
                                             : plain[outcome.failed_stream]) +
                   " " + named_path(choice.path) + ": cannot open it: " +
                   errno_words(outcome.error) + "; nothing was run";
    return told;
}

verdict judge(const run_options &options, const launch_outcome &outcome)
{
    if (outcome.failed_stream >= 0)
        return stream_failed(options, outcome);
    procferry_result result = outcome.result;
    verdict told;
    switch (result.kind) {
    case PROCFERRY_STARTED:
        if (outcome.timed_out) {
            told = told_as("timed_out", status_at_timeout(options, outcome));
            result.kind = PROCFERRY_TIMED_OUT; // the child ran, and past the time
        } else if (outcome.ended) {
            told = told_as("exited", outcome.exit_status);
            result.kind = PROCFERRY_EXITED;
            result.exit_status = (uint32_t)outcome.exit_status;
        } else {
            told = told_as("started", 0);
        }
        break;
    case PROCFERRY_DIR_FAILED:
        told = told_as("directory_failed", RUN_EXIT_OWN_FAILURE, result.error);
        break;
    case PROCFERRY_LAUNCH_FAILED:
        told = result.error == ENOENT
                   ? told_as("not_found", RUN_EXIT_NOT_FOUND, result.error)
                   : told_as("cannot_run", RUN_EXIT_CANNOT_RUN, result.error);
        break;
    case PROCFERRY_INVALID_ARGUMENT:
        told = result.error == E2BIG
                   ? told_as("cannot_run", RUN_EXIT_CANNOT_RUN, result.error)
                   : told_as("relay_failed", RUN_EXIT_OWN_FAILURE, result.error);
        break;
    case PROCFERRY_TIMED_OUT:
        told = told_as("timed_out", status_at_timeout(options, outcome));
        break;
    case PROCFERRY_RELAY_MISSING:
        told.error = result.error;
        break;
    }
    told.message = library_words(options, result);
    if (outcome.timed_out && options.has_kill_after) {
        // The library ended nothing: this tool asked first, then maybe ended
        // it; the words say which of these happened.
        std::string how = options.close_windows ? "a close of its windows" : "Ctrl+Break";
        std::string what =
            outcome.stopped == PROCFERRY_STOPPED_WHEN_ASKED
                ? "asked it to stop (" + how + "), and it ended"
            : outcome.stopped == PROCFERRY_STOPPED_BY_KILL
                ? "asked it to stop (" + how + "), and as it still ran " + options.kill_after_text +
                      " later, ended it and everything it started"
            : outcome.stopped < 0
                ? "asked it to stop (" + how + "), and could not end it"
                : "could not ask it to stop (" +
                      std::string(options.close_windows ? "it had no window to close"
                                                        : "the system refused Ctrl+Break") +
                      "), so ended it and everything it started at once";
        told.message = to_utf8(options.program) + " still ran after " + options.timeout_text + "; " + what;
    }
    if (outcome.timed_out)
        told.message += " (process " + std::to_string(result.pid) + ")";
    if (!strcmp(told.kind, "started") && options.timeout_ms)
        told.message += "; it will be ended if it still runs after " + options.timeout_text;
    return told;
}

// The inside of a JSON string, for UTF-8 text.
std::string json_escaped(const std::string &text)
{
    std::string out;
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
    return out;
}

std::string json_string(const std::string &text)
{
    return "\"" + json_escaped(text) + "\"";
}

// Wide text as a JSON string: UTF-8 where it has a UTF-8 form, and a lone
// surrogate, which has none, as its \udXXX escape, so that what the child
// got reads back exactly.
std::string json_string(const std::wstring &text)
{
    std::string out = "\"";
    size_t plain = 0; // where the text not yet written starts
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned unit = (unsigned short)text[i];
        unsigned next = i + 1 < text.size() ? (unsigned short)text[i + 1] : 0;
        if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", unit);
            out += json_escaped(to_utf8(text.substr(plain, i - plain))) + escaped;
            plain = i + 1;
        }
    }
    return out + json_escaped(to_utf8(text.substr(plain))) + "\"";
}

std::string json_or_null(bool known, const std::string &value)
{
    return known ? value : "null";
}

// One object, every field in every outcome (null where it does not apply),
// each field with one meaning.
std::string json_object(const run_options &options, const launch_outcome &outcome,
                        const verdict &told)
{
    std::string arguments = "[";
    for (const std::wstring &arg : options.args)
        arguments += (arguments.size() > 1 ? "," : "") + json_string(arg);
    arguments += "]";
    const char *known = procferry_program_architecture(outcome.relay.c_str());
    std::string architecture = known ? known : "";
    const char *errno_name = procferry_errno_name(told.error);
    uint32_t pid = outcome.result.kind == PROCFERRY_STARTED ? outcome.result.pid : 0;
    std::string json = "{\"outcome\":" + json_string(told.kind);
    json += ",\"message\":" + json_string(told.message);
    json += ",\"program\":" + json_string(outcome.program);
    json += ",\"arguments\":" + arguments;
    json += ",\"pid\":" + json_or_null(pid != 0, std::to_string(pid));
    json += ",\"exit_status\":" + json_or_null(outcome.ended, std::to_string(outcome.exit_status));
    json += ",\"errno\":" + json_or_null(told.error != 0, std::to_string(told.error));
    json += ",\"errno_name\":" + json_or_null(told.error && errno_name, json_string(errno_name ? errno_name : ""));
    json += ",\"elapsed_ms\":" + std::to_string(outcome.elapsed_ms);
    // How a stop at the timeout went: asked and ended, killed after the
    // grace period, or killed at once as it could not be asked.
    const char *stop = outcome.stopped == PROCFERRY_STOPPED_WHEN_ASKED ? "ended_when_asked"
                       : outcome.stopped == PROCFERRY_STOPPED_BY_KILL  ? "killed_after_grace"
                       : outcome.stopped == PROCFERRY_STOPPED_UNASKED  ? "killed_unasked"
                       : outcome.stopped < 0                           ? "failed"
                                                                        : nullptr;
    json += ",\"stop\":" + json_or_null(stop != nullptr, json_string(stop ? stop : ""));
    json += ",\"relay\":" + json_or_null(!outcome.relay.empty(), json_string(outcome.relay));
    json += ",\"relay_architecture\":" + json_or_null(!architecture.empty(), json_string(architecture));
    json += ",\"tool_status\":" + std::to_string(told.status) + "}\n";
    return json;
}

} // namespace

std::string errno_words(int error)
{
    const char *name = procferry_errno_name(error);
    std::string meaning = strerror(error);
    if (!meaning.empty())
        meaning[0] = (char)tolower((unsigned char)meaning[0]);
    return (name ? name : "errno " + std::to_string(error)) + ": " + meaning;
}

int print_outcome(const run_options &options, const launch_outcome &outcome, FILE *json_file)
{
    verdict told = judge(options, outcome);
    if (json_file) {
        std::string json = json_object(options, outcome, told);
        fwrite(json.data(), 1, json.size(), json_file);
        fflush(json_file);
    }
    if (options.json) {
        std::string json = json_object(options, outcome, told);
        fwrite(json.data(), 1, json.size(), stderr);
        fflush(stderr);
    } else {
        say(told.message);
    }
    return told.status;
}

void say_ended_at_timeout(const run_options &options, const launch_outcome &outcome)
{
    procferry_result result = outcome.result;
    result.kind = PROCFERRY_TIMED_OUT;
    say(library_words(options, result) + " (process " +
        std::to_string(outcome.result.pid) + ")");
}
