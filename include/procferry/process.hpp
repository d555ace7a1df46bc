// C++17 over the parent library (procferry/parent.h), header-only.
//
//     procferry::captured out = procferry::capture(L"cmd", {L"/c", L"echo hi"});
//     if (out.exited())
//         std::cout << out.out;          // "hi\r\n"
//     else
//         std::cerr << out.words << "\n"; // "nosuch: not found on PATH: ENOENT: ..."
//
//     procferry::options options;
//     options.env.set(L"GREETING", L"hello").unset(L"TEMP");
//     procferry::started job = procferry::start(L"cmd", {L"/c", L"ping -n 9 127.0.0.1"}, options);
//     job.process.kill();                // the child and everything it started
//
// Ordinary failures are results, not exceptions: every result carries the
// library's kind, the errno, and the words of procferry_describe. Only
// memory running out throws (std::bad_alloc), as the standard containers do.
// Texts are UTF-16 (std::wstring_view) or UTF-8 (std::string_view); UTF-8
// that is not UTF-8 is refused with PROCFERRY_INVALID_ARGUMENT.
#ifndef PROCFERRY_PROCESS_HPP
#define PROCFERRY_PROCESS_HPP

#include <errno.h>
#include <stdint.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "procferry/parent.h"

namespace procferry {

// UTF-8 as UTF-16 and back, by the library's rules: text that does not
// convert (not UTF-8, a lone surrogate) gives an empty result and *ok false.
inline std::wstring to_wide(std::string_view utf8, bool *ok = nullptr)
{
    std::string text(utf8);
    std::wstring out(procferry_utf8_to_wide(text.c_str(), nullptr, 0) + 1, L'\0');
    out.resize(procferry_utf8_to_wide(text.c_str(), &out[0], out.size()));
    if (ok)
        *ok = !out.empty() || text.empty();
    return out;
}
inline std::string to_utf8(std::wstring_view wide, bool *ok = nullptr)
{
    std::wstring text(wide);
    std::string out(procferry_wide_to_utf8(text.c_str(), nullptr, 0) + 1, '\0');
    out.resize(procferry_wide_to_utf8(text.c_str(), &out[0], out.size()));
    if (ok)
        *ok = !out.empty() || text.empty();
    return out;
}

// Changes to the child's environment, applied in the order made: to a copy of
// the caller's, or, after clear(), to an empty one. The caller's own
// environment never changes.
class environment {
public:
    environment() = default;
    // Each variable of the map set, in the map's order.
    environment(const std::map<std::wstring, std::wstring> &variables)
    {
        for (const auto &variable : variables)
            set(variable.first, variable.second);
    }
    environment(const std::map<std::string, std::string> &variables)
    {
        for (const auto &variable : variables)
            set(variable.first, variable.second);
    }
    environment &set(std::wstring_view name, std::wstring_view value)
    {
        entries_.push_back(std::wstring(name) + L"=" + std::wstring(value));
        return *this;
    }
    environment &set(std::string_view name, std::string_view value)
    {
        bool name_ok = true, value_ok = true;
        std::wstring entry = to_wide(name, &name_ok) + L"=" + to_wide(value, &value_ok);
        entries_.push_back(name_ok && value_ok ? entry : std::wstring());
        return *this;
    }
    environment &unset(std::wstring_view name)
    {
        entries_.push_back(std::wstring(name));
        return *this;
    }
    environment &unset(std::string_view name)
    {
        bool ok = true;
        std::wstring entry = to_wide(name, &ok);
        entries_.push_back(ok ? entry : std::wstring());
        return *this;
    }
    // The child starts from an empty environment; changes made so far stay.
    environment &clear()
    {
        cleared_ = true;
        return *this;
    }
    bool cleared() const { return cleared_; }
    const std::vector<std::wstring> &entries() const { return entries_; }

private:
    bool cleared_ = false;
    std::vector<std::wstring> entries_; // "NAME=VALUE" sets, "NAME" unsets
};

struct options {
    std::wstring relay;       // empty: a direct start (PROCFERRY_RELAY: the default relay)
    std::wstring dir;         // empty: the caller's directory
    environment env;
    uint32_t timeout_ms = PROCFERRY_INFINITE; // run, capture: the whole run; start: until it runs
    uint32_t flags = PROCFERRY_SEARCH_PATH;   // PROCFERRY_* flags; NO_WAIT is the call's to set
    // stdin, stdout, stderr as in procferry_options; default: inherit (capture: its pipes).
    std::array<procferry_stream, 3> streams{};
    // capture only
    size_t stdout_cap = 0;    // 0: the library's default (64 MiB)
    size_t stderr_cap = 0;
    bool stderr_to_stdout = false;
};

// What became of a call.
struct result {
    int kind = 0;             // enum procferry_kind
    int error = 0;            // errno, for the kinds that have one
    uint32_t exit_status = 0; // PROCFERRY_EXITED
    uint32_t win32_error = 0;
    std::string words;        // one line for a person (procferry_describe)
    bool exited() const { return kind == PROCFERRY_EXITED; }
    const char *kind_name() const { return procferry_kind_name(kind); }
};

// A started child: closes it when it goes; move-only. Closing does not end
// the child (unless started with PROCFERRY_KILL_ON_CLOSE).
class child {
public:
    child() = default;
    explicit child(procferry_child *held) : held_(held) {}
    child(child &&other) noexcept : held_(std::exchange(other.held_, nullptr)) {}
    child &operator=(child &&other) noexcept
    {
        if (this != &other) {
            close();
            held_ = std::exchange(other.held_, nullptr);
        }
        return *this;
    }
    child(const child &) = delete;
    child &operator=(const child &) = delete;
    ~child() { close(); }

    bool valid() const { return held_ != nullptr; }
    uint32_t pid() const { return procferry_child_pid(held_); }
    // The process handle, to wait on beside other objects; the child's own.
    procferry_handle handle() const { return procferry_child_process(held_); }
    // The exit status once the child ended; none when it still runs after
    // timeout_ms (it is left running) or there is no child.
    std::optional<uint32_t> wait(uint32_t timeout_ms = PROCFERRY_INFINITE) const
    {
        uint32_t status = 0;
        if (!held_ || procferry_child_wait(held_, timeout_ms, &status) != 0)
            return std::nullopt;
        return status;
    }
    // Ends the child and everything it started; true once ended (or when it
    // had ended already).
    bool kill(uint32_t exit_code = 1) const
    {
        return held_ && procferry_child_kill(held_, exit_code) == 0;
    }
    // The child becomes the caller's, for procferry_child_close.
    procferry_child *release() { return std::exchange(held_, nullptr); }
    void close()
    {
        if (held_)
            procferry_child_close(std::exchange(held_, nullptr));
    }

private:
    procferry_child *held_ = nullptr;
};

struct started : result {
    child process;
    // The caller's ends of PROCFERRY_STREAM_PIPE streams (CloseHandle them), else NULL.
    std::array<procferry_handle, 3> pipes{};
};

struct captured : result {
    std::string out;          // stdout (and stderr, with stderr_to_stdout)
    std::string err;
    bool out_capped = false;  // more was written than kept
    bool err_capped = false;
};

namespace detail {

// The C options over storage that lives as long as this object.
class start_request {
public:
    start_request(std::wstring_view program, const std::vector<std::wstring> &args,
                  const options &choices, uint32_t extra_flags)
        : program_(program), args_(args), relay_(choices.relay), dir_(choices.dir)
    {
        for (const std::wstring &arg : args_)
            arg_pointers_.push_back(arg.c_str());
        for (const std::wstring &entry : choices.env.entries())
            env_pointers_.push_back(entry.c_str());
        procferry_options_init(&c);
        c.relay = relay_.empty() ? nullptr : relay_.c_str();
        c.program = program_.c_str();
        c.args = arg_pointers_.data();
        c.arg_count = arg_pointers_.size();
        c.dir = dir_.empty() ? nullptr : dir_.c_str();
        for (int n = 0; n < 3; ++n)
            c.streams[n] = choices.streams[n];
        c.flags = choices.flags | extra_flags |
                  (choices.env.cleared() ? (uint32_t)PROCFERRY_CLEAR_ENV : 0u);
        c.timeout_ms = choices.timeout_ms;
        c.env = env_pointers_.data();
        c.env_count = env_pointers_.size();
    }
    start_request(const start_request &) = delete;
    start_request &operator=(const start_request &) = delete;

    void fill(result &into, const procferry_result &from) const
    {
        into.kind = from.kind;
        into.error = from.error;
        into.exit_status = from.exit_status;
        into.win32_error = from.win32_error;
        into.words.assign(procferry_describe(&c, &from, nullptr, 0) + 1, '\0');
        into.words.resize(procferry_describe(&c, &from, &into.words[0], into.words.size()));
    }

    procferry_options c;

private:
    std::wstring program_;
    std::vector<std::wstring> args_;
    std::wstring relay_, dir_;
    std::vector<const wchar_t *> arg_pointers_, env_pointers_;
};

inline std::vector<std::wstring> wide_list(std::initializer_list<std::wstring_view> args)
{
    return std::vector<std::wstring>(args.begin(), args.end());
}

// UTF-8 arguments; one that does not convert makes the start invalid.
inline std::vector<std::wstring> wide_list(std::initializer_list<std::string_view> args,
                                           bool *ok)
{
    std::vector<std::wstring> out;
    for (std::string_view arg : args) {
        bool converted = true;
        out.push_back(to_wide(arg, &converted));
        *ok = *ok && converted;
    }
    return out;
}

// The result of a start refused before the library saw it.
template <class Result>
Result refused(const start_request &request)
{
    procferry_result invalid{};
    invalid.kind = PROCFERRY_INVALID_ARGUMENT;
    invalid.error = EINVAL;
    Result out;
    request.fill(out, invalid);
    return out;
}

inline result run(std::wstring_view program, const std::vector<std::wstring> &args,
                  const options &choices, bool ok)
{
    start_request request(program, args, choices, 0);
    if (!ok)
        return refused<result>(request);
    procferry_result out;
    procferry_start(&request.c, &out);
    result told;
    request.fill(told, out);
    return told;
}

inline started start(std::wstring_view program, const std::vector<std::wstring> &args,
                     const options &choices, bool ok)
{
    start_request request(program, args, choices, PROCFERRY_NO_WAIT);
    if (!ok)
        return refused<started>(request);
    procferry_result out;
    started told;
    if (procferry_start(&request.c, &out) == PROCFERRY_STARTED)
        told.process = child(out.child);
    for (int n = 0; n < 3; ++n)
        told.pipes[n] = out.pipes[n];
    request.fill(told, out);
    return told;
}

inline captured capture(std::wstring_view program, const std::vector<std::wstring> &args,
                        const options &choices, std::string_view input, bool ok)
{
    start_request request(program, args, choices, 0);
    if (choices.stderr_to_stdout)
        request.c.streams[2].kind = PROCFERRY_STREAM_STDOUT;
    if (!ok)
        return refused<captured>(request);
    procferry_capture_options capture;
    procferry_capture_options_init(&capture);
    capture.input = input.data();
    capture.input_size = input.size();
    if (choices.stdout_cap)
        capture.stdout_cap = choices.stdout_cap;
    if (choices.stderr_cap)
        capture.stderr_cap = choices.stderr_cap;
    procferry_capture_result out;
    procferry_capture(&request.c, &capture, &out);
    captured told;
    request.fill(told, out.result);
    if (out.out)
        told.out.assign(out.out, out.out_size);
    if (out.err)
        told.err.assign(out.err, out.err_size);
    told.out_capped = out.out_capped != 0;
    told.err_capped = out.err_capped != 0;
    procferry_capture_free(&out);
    return told;
}

} // namespace detail

// Runs program to its end (options.timeout_ms bounds the whole run; past it
// the tree is ended and the kind is PROCFERRY_TIMED_OUT).
inline result run(std::wstring_view program, std::initializer_list<std::wstring_view> args = {},
                  const options &choices = {})
{
    return detail::run(program, detail::wide_list(args), choices, true);
}
inline result run(std::string_view program, std::initializer_list<std::string_view> args = {},
                  const options &choices = {})
{
    bool ok = true;
    std::vector<std::wstring> wide_args = detail::wide_list(args, &ok);
    return detail::run(to_wide(program, &ok), wide_args, choices, ok);
}
inline result run(std::wstring_view program, const std::vector<std::wstring> &args,
                  const options &choices = {})
{
    return detail::run(program, args, choices, true);
}

// Starts program and returns once it runs, with its child.
inline started start(std::wstring_view program, std::initializer_list<std::wstring_view> args = {},
                     const options &choices = {})
{
    return detail::start(program, detail::wide_list(args), choices, true);
}
inline started start(std::string_view program, std::initializer_list<std::string_view> args = {},
                     const options &choices = {})
{
    bool ok = true;
    std::vector<std::wstring> wide_args = detail::wide_list(args, &ok);
    return detail::start(to_wide(program, &ok), wide_args, choices, ok);
}
inline started start(std::wstring_view program, const std::vector<std::wstring> &args,
                     const options &choices = {})
{
    return detail::start(program, args, choices, true);
}

// Runs program to its end with input on its stdin and its stdout and stderr
// kept in memory; never deadlocks, whatever the child reads or writes.
inline captured capture(std::wstring_view program,
                        std::initializer_list<std::wstring_view> args = {},
                        const options &choices = {}, std::string_view input = {})
{
    return detail::capture(program, detail::wide_list(args), choices, input, true);
}
inline captured capture(std::string_view program, std::initializer_list<std::string_view> args = {},
                        const options &choices = {}, std::string_view input = {})
{
    bool ok = true;
    std::vector<std::wstring> wide_args = detail::wide_list(args, &ok);
    return detail::capture(to_wide(program, &ok), wide_args, choices, input, ok);
}
inline captured capture(std::wstring_view program, const std::vector<std::wstring> &args,
                        const options &choices = {}, std::string_view input = {})
{
    return detail::capture(program, args, choices, input, true);
}

} // namespace procferry

#endif
