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
// that is not UTF-8, and a text with a zero inside, is refused with
// PROCFERRY_INVALID_ARGUMENT, as is an environment change the library would
// read otherwise than given (see environment::set).
#ifndef PROCFERRY_PROCESS_HPP
#define PROCFERRY_PROCESS_HPP

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <system_error>
#if __cplusplus >= 202002L
#include <stop_token>
#endif
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "procferry/parent.h"

namespace procferry {

namespace detail {

// The library's converters end at a zero, so a text that holds one goes
// through piece by piece and keeps its zeros: a zero is refused where the
// text is used, never taken for the text's end.
template <class Out, class In>
Out convert(std::basic_string_view<In> text,
            size_t (*convert_piece)(const In *, typename Out::value_type *, size_t), bool *ok)
{
    Out out;
    bool converted = true;
    for (size_t begin = 0;;) {
        size_t end = text.find(In(0), begin);
        std::basic_string<In> piece(text.substr(begin, end == text.npos ? text.npos : end - begin));
        Out part(convert_piece(piece.c_str(), nullptr, 0) + 1, 0);
        part.resize(convert_piece(piece.c_str(), &part[0], part.size()));
        converted = converted && (!part.empty() || piece.empty());
        out += part;
        if (end == text.npos)
            break;
        out += typename Out::value_type(0);
        begin = end + 1;
    }
    if (!converted)
        out.clear();
    if (ok)
        *ok = converted;
    return out;
}

} // namespace detail

// UTF-8 as UTF-16 and back, by the library's rules: text that does not
// convert (not UTF-8, a lone surrogate) gives an empty result and *ok false.
inline std::wstring to_wide(std::string_view utf8, bool *ok = nullptr)
{
    return detail::convert<std::wstring>(utf8, procferry_utf8_to_wide, ok);
}
inline std::string to_utf8(std::wstring_view wide, bool *ok = nullptr)
{
    return detail::convert<std::string>(wide, procferry_wide_to_utf8, ok);
}

namespace detail {

// A text as it was given, UTF-16 or UTF-8, or none (a null pointer): the
// library checks it and converts it (procferry_texts), so that what it
// would read otherwise than given is refused with its words.
class given_text {
public:
    given_text() = default;
    given_text(std::wstring_view wide) : wide_(wide), form_(form::utf16) {}
    given_text(std::string_view utf8) : utf8_(utf8), form_(form::utf8) {}
    bool none() const { return form_ == form::none; }
    bool empty() const { return wide_.empty() && utf8_.empty(); }
    procferry_text c() const
    {
        if (form_ == form::utf16)
            return {wide_.c_str(), nullptr, wide_.size()};
        if (form_ == form::utf8)
            return {nullptr, utf8_.c_str(), utf8_.size()};
        return {nullptr, nullptr, 0};
    }
    // In UTF-16 (empty when UTF-8 that is not), and in UTF-8 as given.
    std::wstring wide() const { return form_ == form::utf8 ? to_wide(utf8_) : wide_; }
    std::string utf8() const { return form_ == form::utf8 ? utf8_ : to_utf8(wide_); }

private:
    enum class form { none, utf16, utf8 };
    std::wstring wide_;
    std::string utf8_;
    form form_ = form::none;
};

} // namespace detail

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
    // A name the library would read otherwise than given (empty, "=" alone,
    // an '=' past its first unit, a zero), a value with a zero, UTF-8 that
    // is not, or a null pointer as a value, makes every start with this
    // environment invalid (PROCFERRY_INVALID_ARGUMENT), with words naming
    // the change. A leading '=' is part of the name, as in "=C:".
    environment &set(std::wstring_view name, std::wstring_view value) { return add(name, value); }
    environment &set(std::string_view name, std::string_view value) { return add(name, value); }
    environment &set(std::wstring_view name, const wchar_t *value)
    {
        return value ? add(name, std::wstring_view(value)) : add(name, detail::given_text());
    }
    environment &set(std::string_view name, const char *value)
    {
        return value ? add(name, std::string_view(value)) : add(name, detail::given_text());
    }
    environment &unset(std::wstring_view name) { return add(name, detail::given_text(), true); }
    environment &unset(std::string_view name) { return add(name, detail::given_text(), true); }
    // The child starts from an empty environment; changes made so far stay.
    environment &clear()
    {
        cleared_ = true;
        return *this;
    }
    bool cleared() const { return cleared_; }
    // The changes, for procferry_texts; they point into this object.
    std::vector<procferry_env_change> changes() const
    {
        std::vector<procferry_env_change> out;
        for (const change &one : changes_)
            out.push_back({one.name.c(), one.value.c(), one.unset});
        return out;
    }

private:
    struct change {
        detail::given_text name, value;
        int unset;
    };
    environment &add(detail::given_text name, detail::given_text value, bool unset = false)
    {
        changes_.push_back({std::move(name), std::move(value), unset ? 1 : 0});
        return *this;
    }

    bool cleared_ = false;
    std::vector<change> changes_;
};

// Where a stream goes, by name: o.streams[1] = procferry::pipe(),
// o.streams[2] = procferry::merge_with_stdout(), o.extra_fds = {file(h)}.
inline procferry_stream inherit() { return {PROCFERRY_STREAM_INHERIT, 0, nullptr}; }
inline procferry_stream null() { return {PROCFERRY_STREAM_NULL, 0, nullptr}; }
// A pipe the library makes; started.pipes[n] is the caller's end.
inline procferry_stream pipe() { return {PROCFERRY_STREAM_PIPE, 0, nullptr}; }
// A file, pipe or device of the caller's, which the start borrows.
inline procferry_stream file(procferry_handle handle) { return {PROCFERRY_STREAM_HANDLE, 0, handle}; }
inline procferry_stream file(int fd) { return {PROCFERRY_STREAM_FD, fd, nullptr}; }
// stderr only: the same file or pipe as stdout.
inline procferry_stream merge_with_stdout() { return {PROCFERRY_STREAM_STDOUT, 0, nullptr}; }
// Extra descriptors only: none open at that number.
inline procferry_stream none() { return {PROCFERRY_STREAM_NONE, 0, nullptr}; }

// A path given in UTF-8 or in UTF-16, as every other text is:
// o.dir = "C:\\work" or o.dir = L"C:\\work". UTF-8 that is not UTF-8 makes the
// start invalid (PROCFERRY_INVALID_ARGUMENT), as for the other texts.
class path_text {
public:
    path_text() = default;
    path_text(std::wstring wide) : text_(std::wstring_view(wide)) {}
    path_text(std::wstring_view wide) : text_(wide) {}
    path_text(const wchar_t *wide) : text_(wide ? detail::given_text(std::wstring_view(wide)) : detail::given_text()) {}
    path_text(std::string_view utf8) : text_(utf8) {}
    path_text(const std::string &utf8) : text_(std::string_view(utf8)) {}
    path_text(const char *utf8) : text_(utf8 ? detail::given_text(std::string_view(utf8)) : detail::given_text()) {}
    // None given, or an empty text.
    bool empty() const { return text_.empty(); }
    // In UTF-16 (empty when UTF-8 that is not), and in UTF-8 as given.
    std::wstring wide() const { return text_.wide(); }
    std::string utf8() const { return text_.utf8(); }
    const detail::given_text &given() const { return text_; }

private:
    detail::given_text text_;
};

namespace detail {
template <class Range>
using text_of = std::decay_t<decltype(*std::begin(std::declval<const Range &>()))>;
template <class Range, class = void>
struct is_text_range : std::false_type {};
template <class Range>
struct is_text_range<Range, std::void_t<text_of<Range>>>
    : std::bool_constant<std::is_convertible_v<text_of<Range>, std::string_view> ||
                         std::is_convertible_v<text_of<Range>, std::wstring_view>> {};
} // namespace detail

// A program's arguments: a braced list, {"-n", "3"} or {L"-n", L"3"}, or any
// range of texts, UTF-8 or UTF-16 (a std::vector<std::string>, an array of
// const wchar_t *, a std::list<std::wstring_view>, ...). UTF-8 that is not
// UTF-8 makes the start invalid (PROCFERRY_INVALID_ARGUMENT), naming it.
namespace detail {

// One text of a braced list of arguments. A null pointer there stays one, to
// be refused with words, and is never read as a text.
template <class Char>
struct list_text {
    list_text(const Char *text) : pointer(text) {}
    list_text(std::basic_string_view<Char> text) : view(text), pointer(text.data() ? text.data() : empty()) {}
    list_text(const std::basic_string<Char> &text) : view(text), pointer(text.c_str()) {}
    // The text; nullptr for a null pointer.
    const Char *given() const { return pointer; }
    std::basic_string_view<Char> text() const
    {
        return view.data() || !pointer ? view : std::basic_string_view<Char>(pointer);
    }

private:
    static const Char *empty()
    {
        static const Char nothing[1] = {};
        return nothing;
    }
    std::basic_string_view<Char> view;
    const Char *pointer = nullptr;
};

} // namespace detail

class arguments {
public:
    arguments() = default;
    arguments(std::initializer_list<detail::list_text<char>> utf8) { add_all(utf8); }
    arguments(std::initializer_list<detail::list_text<wchar_t>> wide) { add_all(wide); }
    template <class Range, class = std::enable_if_t<detail::is_text_range<Range>::value>>
    arguments(const Range &texts)
    {
        add_all(texts);
    }
    // The texts, for procferry_texts; they point into this object.
    std::vector<procferry_text> texts() const
    {
        std::vector<procferry_text> out;
        for (const detail::given_text &text : texts_)
            out.push_back(text.c());
        return out;
    }

private:
    template <class Range>
    void add_all(const Range &texts)
    {
        for (const auto &text : texts)
            add(text);
    }
    // A null pointer in a range of pointers is no text, which the library
    // refuses with words: never a text read from nowhere.
    void add(const wchar_t *text) { text ? add(std::wstring_view(text)) : add_null(); }
    void add(const char *text) { text ? add(std::string_view(text)) : add_null(); }
    void add(wchar_t *text) { add((const wchar_t *)text); }
    void add(char *text) { add((const char *)text); }
    template <class Char>
    void add(const detail::list_text<Char> &item)
    {
        item.given() ? add(item.text()) : add_null();
    }
    void add_null() { texts_.emplace_back(); }
    void add(std::wstring_view text) { texts_.emplace_back(text); }
    void add(std::string_view text) { texts_.emplace_back(text); }
    std::vector<detail::given_text> texts_;
};

// A cancel that any thread may signal, shared by its copies: given to a
// capture (capture_options::cancel), a wait or a stop, it ends them at once
// (see procferry_cancel_make). Under C++20 one can follow a std::stop_token:
// canceller(token) is signalled once a stop is requested of the token.
class canceller {
public:
    canceller() : state_(std::make_shared<state>()) {}
#if defined(__cpp_lib_jthread)
    explicit canceller(std::stop_token token) : canceller()
    {
        state_->follow = std::make_shared<std::stop_callback<signaller>>(std::move(token), signaller{state_->held});
    }
#endif
    void cancel() const { procferry_cancel_signal(state_->held); }
    bool cancelled() const { return procferry_cancel_signalled(state_->held) != 0; }
    // The library's cancel, still this object's; NULL when none could be made.
    procferry_cancel *get() const { return state_->held; }

private:
    struct signaller {
        procferry_cancel *held;
        void operator()() const { procferry_cancel_signal(held); }
    };
    // The same layout in every language version, so that files built as
    // C++17 and as C++20 may share one.
    struct state {
        procferry_cancel *held = procferry_cancel_make();
        std::shared_ptr<void> follow; // a std::stop_callback, gone before held
        state() = default;
        state(const state &) = delete;
        state &operator=(const state &) = delete;
        ~state()
        {
            follow.reset();
            procferry_cancel_free(held);
        }
    };
    std::shared_ptr<state> state_;
};

struct options {
    path_text relay;          // empty: a direct start (PROCFERRY_RELAY: the default relay)
    path_text dir;            // empty: the caller's directory
    environment env;
    uint32_t timeout_ms = PROCFERRY_INFINITE; // run, capture: the whole run; start: until it runs
    uint32_t flags = 0;                       // PROCFERRY_* flags, as in C (a bare name is looked
                                              // up on PATH unless PROCFERRY_NO_SEARCH_PATH);
                                              // NO_WAIT is the call's to set:
                                              // run and capture wait, start does not, whatever
                                              // flags holds
    // stdin, stdout, stderr as in procferry_options; default: inherit (capture:
    // see procferry_capture, which refuses what it cannot honour).
    std::array<procferry_stream, 3> streams{};
    // The child's descriptors 3, 4, ... as in procferry_options.extra_fds: a
    // side channel (an end of make_pipe) or a file the child reads by number.
    std::vector<procferry_stream> extra_fds;
    // A pseudo console of this many columns and rows for the child, as in
    // procferry_options.console: started.pipes[1] is its screen and pipes[0]
    // its keyboard; {0, 0}: none.
    procferry_console_size console_size{};

    // The same choices made in line: start(p, {}, procferry::options().out(procferry::pipe())).
    options &in(procferry_stream stream) { return set(0, stream); }
    options &out(procferry_stream stream) { return set(1, stream); }
    options &err(procferry_stream stream) { return set(2, stream); }
    // start(p, {}, procferry::options().console({120, 30})); its ends are
    // overlapped, for read_for and read_until.
    options &console(procferry_console_size size)
    {
        console_size = size;
        flags |= PROCFERRY_OVERLAPPED_PIPES;
        return *this;
    }

private:
    options &set(int n, procferry_stream stream)
    {
        streams[n] = stream;
        return *this;
    }
};

// A capture's options: any start's, and how much of the output is kept.
struct capture_options : options {
    capture_options() = default;
    capture_options(const options &start) : options(start) {}
    size_t stdout_cap = 0;    // 0: the library's default (64 MiB)
    size_t stderr_cap = 0;
    bool stderr_to_stdout = false;
    std::optional<uint32_t> drain_ms; // see procferry_capture_options; none: the library's default
    // Once cancelled, the capture ends at once: kind PROCFERRY_CANCELLED,
    // out and err keep what was read, the tree is ended unless leave_running.
    std::optional<canceller> cancel;
    bool leave_running_when_cancelled = false;

    capture_options &in(procferry_stream stream) { return (options::in(stream), *this); }
    capture_options &err(procferry_stream stream) { return (options::err(stream), *this); }
    capture_options &console(procferry_console_size size) { return (options::console(size), *this); }
    capture_options &out(procferry_stream) = delete; // a capture keeps stdout
};

// The outcome kinds as std::error_code values: a failed call's code() is
// {kind, outcome_category()}, and its message is the kind's name.
inline const std::error_category &outcome_category()
{
    struct category : std::error_category {
        const char *name() const noexcept override { return "procferry"; }
        std::string message(int kind) const override { return procferry_kind_name(kind); }
    };
    static const category instance;
    return instance;
}

// The library's numbers by C++ names, each with its name:
//     if (r.kind == procferry::kind::timed_out) ...
//     o.flags |= procferry::flag::binary_streams;
//     if (c.stop(5000) != procferry::stopped::when_asked) ...
//     if (r.ended_by == procferry::ended::at_time_limit) ...
// A result's fields and a stop's return stay the C numbers, which compare
// with these as they are.
enum class kind : int {
    none = 0,
    exited = PROCFERRY_EXITED,
    started = PROCFERRY_STARTED,
    dir_failed = PROCFERRY_DIR_FAILED,
    launch_failed = PROCFERRY_LAUNCH_FAILED,
    invalid_argument = PROCFERRY_INVALID_ARGUMENT,
    relay_missing = PROCFERRY_RELAY_MISSING,
    relay_crashed = PROCFERRY_RELAY_CRASHED,
    check_report = PROCFERRY_CHECK_REPORT,
    timed_out = PROCFERRY_TIMED_OUT,
    bad_record = PROCFERRY_BAD_RECORD,
    system_error = PROCFERRY_SYSTEM_ERROR,
    cancelled = PROCFERRY_CANCELLED
};
// What the library did to the child (result::ended_by).
enum class ended : int {
    by_itself = PROCFERRY_ENDED_BY_ITSELF,
    at_time_limit = PROCFERRY_ENDED_AT_TIME_LIMIT,
    on_cancel = PROCFERRY_ENDED_ON_CANCEL,
    on_kill = PROCFERRY_ENDED_ON_KILL,
    on_stop = PROCFERRY_ENDED_ON_STOP,
    with_pipeline = PROCFERRY_ENDED_WITH_PIPELINE,
    left_running = PROCFERRY_LEFT_RUNNING
};
// What a stop did (child::stop).
enum class stopped : int {
    when_asked = PROCFERRY_STOPPED_WHEN_ASKED,
    by_kill = PROCFERRY_STOPPED_BY_KILL,
    unasked = PROCFERRY_STOPPED_UNASKED,
    cancelled = PROCFERRY_STOPPED_CANCELLED
};
// A start's flags (options::flags). No no_wait: run and capture wait, start
// does not.
enum class flag : uint32_t {
    argv0 = PROCFERRY_ARGV0,
    gui_relay = PROCFERRY_GUI_RELAY,
    no_job = PROCFERRY_NO_JOB,
    kill_on_close = PROCFERRY_KILL_ON_CLOSE,
    clear_env = PROCFERRY_CLEAR_ENV,
    binary_streams = PROCFERRY_BINARY_STREAMS,
    relay = PROCFERRY_RELAY,
    no_window = PROCFERRY_NO_WINDOW,
    new_process_group = PROCFERRY_NEW_PROCESS_GROUP,
    no_search_path = PROCFERRY_NO_SEARCH_PATH,
    overlapped_pipes = PROCFERRY_OVERLAPPED_PIPES
};
inline const char *name(kind value) { return procferry_kind_name((int)value); }
inline const char *name(ended value) { return procferry_ended_by_name((int)value); }
inline const char *name(stopped value) { return procferry_stopped_name((int)value); }
inline const char *name(flag value) { return procferry_flag_name((uint32_t)value); }

namespace detail {
template <class E>
struct is_number_name
    : std::integral_constant<bool, std::is_same<E, kind>::value || std::is_same<E, ended>::value ||
                                       std::is_same<E, stopped>::value> {};
} // namespace detail
template <class E, std::enable_if_t<detail::is_number_name<E>::value, int> = 0>
constexpr bool operator==(int number, E value) { return number == (int)value; }
template <class E, std::enable_if_t<detail::is_number_name<E>::value, int> = 0>
constexpr bool operator==(E value, int number) { return number == (int)value; }
template <class E, std::enable_if_t<detail::is_number_name<E>::value, int> = 0>
constexpr bool operator!=(int number, E value) { return number != (int)value; }
template <class E, std::enable_if_t<detail::is_number_name<E>::value, int> = 0>
constexpr bool operator!=(E value, int number) { return number != (int)value; }
constexpr uint32_t operator|(flag a, flag b) { return (uint32_t)a | (uint32_t)b; }
constexpr uint32_t operator|(uint32_t flags, flag one) { return flags | (uint32_t)one; }
inline uint32_t &operator|=(uint32_t &flags, flag one) { return flags |= (uint32_t)one; }

// What became of a call.
struct result {
    int kind = 0;             // enum procferry_kind
    int error = 0;            // errno, for the kinds that have one
    uint32_t exit_status = 0; // PROCFERRY_EXITED; read it only then (see status())
    uint32_t win32_error = 0;
    uint32_t pid = 0;         // once the program was launched
    int ended_by = PROCFERRY_ENDED_BY_ITSELF; // enum procferry_ended_by: what the library did
    std::string words;        // one line for a person (procferry_describe)
    bool exited() const { return kind == PROCFERRY_EXITED; }
    // The program ran to its end and exited with status 0.
    bool success() const { return kind == PROCFERRY_EXITED && exit_status == 0; }
    // The exit status, none when nothing exited.
    std::optional<uint32_t> status() const
    {
        return kind == PROCFERRY_EXITED ? std::optional<uint32_t>(exit_status) : std::nullopt;
    }
    bool timed_out() const { return kind == PROCFERRY_TIMED_OUT; }
    const char *kind_name() const { return procferry_kind_name(kind); }
    // No error once the program ran (exited or started); else the kind.
    std::error_code code() const
    {
        if (kind == PROCFERRY_EXITED || kind == PROCFERRY_STARTED)
            return {};
        return {kind, outcome_category()};
    }
};

// The caller's end of a pipe to or from a started child: closes itself when
// it goes; move-only. Reads block until bytes come.
class pipe_end {
public:
    pipe_end() = default;
    explicit pipe_end(procferry_handle handle) : handle_(handle) {}
    pipe_end(pipe_end &&other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), buffered_(std::move(other.buffered_))
    {
    }
    pipe_end &operator=(pipe_end &&other) noexcept
    {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
            buffered_ = std::move(other.buffered_);
        }
        return *this;
    }
    pipe_end(const pipe_end &) = delete;
    pipe_end &operator=(const pipe_end &) = delete;
    ~pipe_end() { close(); }

    bool valid() const { return handle_ != nullptr; }
    // The handle, to hand to another start as its stream; still this end's.
    procferry_handle handle() const { return handle_; }
    // Some bytes, as many as came at once (up to 64 KiB); empty at the end.
    std::string read()
    {
        if (!buffered_.empty())
            return std::exchange(buffered_, std::string());
        std::string bytes(65536, '\0');
        long count = handle_ ? procferry_pipe_read(handle_, &bytes[0], bytes.size()) : -1;
        bytes.resize(count > 0 ? (size_t)count : 0);
        return bytes;
    }
    // Some bytes as read() gives them, waiting at most timeout_ms on an
    // overlapped end (PROCFERRY_OVERLAPPED_PIPES): none when the time passed
    // first, empty at the end.
    std::optional<std::string> read_for(uint32_t timeout_ms)
    {
        if (!buffered_.empty())
            return std::exchange(buffered_, std::string());
        std::string bytes(65536, '\0');
        long count = handle_ ? procferry_pipe_read_timeout(handle_, &bytes[0], bytes.size(), timeout_ms) : -1;
        if (count == -2)
            return std::nullopt;
        bytes.resize(count > 0 ? (size_t)count : 0);
        return bytes;
    }
    // The handle becomes the caller's (to close with procferry_pipe_close or
    // hand to an event loop); what read_line had read ahead stays here.
    procferry_handle release() { return std::exchange(handle_, nullptr); }
    // From any thread: ends the reads and writes waiting on this end.
    void cancel() const { procferry_pipe_cancel(handle_); }
    // Everything up to the end.
    std::string read_all()
    {
        std::string all;
        for (std::string piece = read(); !piece.empty(); piece = read())
            all += piece;
        return all;
    }
    // The next line without its "\n" (or "\r\n"); the last one may lack
    // its newline; none at the end.
    std::optional<std::string> read_line()
    {
        for (;;) {
            size_t newline = buffered_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffered_.substr(0, newline);
                buffered_.erase(0, newline + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return line;
            }
            char bytes[4096];
            long count = handle_ ? procferry_pipe_read(handle_, bytes, sizeof bytes) : -1;
            if (count <= 0) {
                if (buffered_.empty())
                    return std::nullopt;
                return std::exchange(buffered_, std::string());
            }
            buffered_.append(bytes, (size_t)count);
        }
    }
    // Reads until text comes, waiting at most timeout_ms in all (on an
    // overlapped end; a synchronous one waits for each read): what was read
    // up to and including text, after which the next read goes on; none
    // when the end or the time came first, with what was read kept for the
    // next read. The prompt loop of an interactive program:
    //     if (s.pipes[1].read_until("name? ", 5000)) s.pipes[0].write("Ada\r");
    std::optional<std::string> read_until(std::string_view text, uint32_t timeout_ms)
    {
        return read_until_found(
            [text](const std::string &seen) {
                size_t at = seen.find(text);
                return at == std::string::npos ? at : at + text.size();
            },
            timeout_ms);
    }
    // The same until a match of pattern.
    std::optional<std::string> read_until(const std::regex &pattern, uint32_t timeout_ms)
    {
        return read_until_found(
            [&pattern](const std::string &seen) {
                std::smatch found;
                return std::regex_search(seen, found, pattern) ? (size_t)(found.position(0) + found.length(0))
                                                               : std::string::npos;
            },
            timeout_ms);
    }
    // All of data; false when the reader is gone.
    bool write(std::string_view data)
    {
        return handle_ && procferry_pipe_write(handle_, data.data(), data.size()) == 0;
    }
    // For stdin, lets the child see the end of its input.
    void close()
    {
        if (handle_)
            procferry_pipe_close(std::exchange(handle_, nullptr));
        buffered_.clear();
    }

private:
    // Reads until found(what was read) gives where the wanted text ends.
    template <class Found>
    std::optional<std::string> read_until_found(Found found, uint32_t timeout_ms)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t end = found(buffered_);
            if (end != std::string::npos) {
                std::string seen = buffered_.substr(0, end);
                buffered_.erase(0, end);
                return seen;
            }
            auto now = std::chrono::steady_clock::now();
            uint32_t left =
                timeout_ms == PROCFERRY_INFINITE ? PROCFERRY_INFINITE
                : now >= deadline                ? 0
                    : (uint32_t)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            char bytes[4096];
            long count = handle_ && left ? procferry_pipe_read_timeout(handle_, bytes, sizeof bytes, left) : -2;
            if (count <= 0)
                return std::nullopt;
            buffered_.append(bytes, (size_t)count);
        }
    }

    procferry_handle handle_ = nullptr;
    std::string buffered_;
};

// A pipe of the caller's: hand a child one end's handle() as a stream or an
// extra descriptor, and close that end once the child runs, so that the
// other end sees the child's end of it. Both ends are not valid when the
// pipe could not be made.
struct pipe_pair {
    pipe_end read, write;
};
// A pipe end as another start's stream: stdout of one child as stdin of the
// next (close this end once that child runs).
inline procferry_stream file(const pipe_end &end) { return file(end.handle()); }

inline pipe_pair make_pipe()
{
    procferry_handle read_end = nullptr, write_end = nullptr;
    pipe_pair made;
    if (procferry_pipe_make(&read_end, &write_end) == 0) {
        made.read = pipe_end(read_end);
        made.write = pipe_end(write_end);
    }
    return made;
}

namespace detail {
// The library's words for an outcome of program (UTF-8) that the library
// did not tell itself: an end seen by a wait, a run's timeout.
inline std::string outcome_words(const std::string &program, const result &outcome,
                                 uint32_t timeout_ms = PROCFERRY_INFINITE)
{
    procferry_options named;
    procferry_options_init(&named);
    named.program_utf8 = program.c_str();
    named.timeout_ms = timeout_ms;
    procferry_result told{};
    told.kind = outcome.kind;
    told.error = outcome.error;
    told.exit_status = outcome.exit_status;
    told.pid = outcome.pid;
    told.ended_by = outcome.ended_by;
    std::string words(procferry_describe(&named, &told, nullptr, 0) + 1, '\0');
    words.resize(procferry_describe(&named, &told, &words[0], words.size()));
    return words;
}
} // namespace detail

// A started child: closes it when it goes; move-only. Closing does not end
// the child (unless started with PROCFERRY_KILL_ON_CLOSE).
class child {
public:
    child() = default;
    // A child of the library's, with the words of its start; program (UTF-8)
    // names it in the words of a wait. Without one, kind and error are why:
    // the failed start's.
    explicit child(procferry_child *held, std::string words = {}, std::string program = {},
                   int kind = 0, int error = 0)
        : held_(held), words_(std::move(words)), program_(std::move(program)), kind_(kind), error_(error)
    {
    }
    child(child &&other) noexcept { *this = std::move(other); }
    child &operator=(child &&other) noexcept
    {
        if (this != &other) {
            close();
            held_ = std::exchange(other.held_, nullptr);
            words_ = std::move(other.words_);
            program_ = std::move(other.program_);
            kind_ = std::exchange(other.kind_, 0);
            error_ = std::exchange(other.error_, 0);
            ended_by_ = other.ended_by_.exchange(PROCFERRY_ENDED_BY_ITSELF);
            on_exit_ = std::move(other.on_exit_);
        }
        return *this;
    }
    child(const child &) = delete;
    child &operator=(const child &) = delete;
    ~child() { close(); }

    bool valid() const { return held_ != nullptr; }
    uint32_t pid() const { return procferry_child_pid(held_); }
    // The words of the start that made it ("... started as process N"), or
    // why there is no child; kept wherever the child is moved.
    const std::string &words() const { return words_; }
    // The process handle, to wait on beside other objects; the child's own.
    procferry_handle handle() const { return procferry_child_process(held_); }
    // The program's name as the start was given it (UTF-8); empty when not known.
    const std::string &program() const { return program_; }
    // How the wait ended: EXITED once the child ended (status(), success(),
    // and ended_by: ENDED_ON_KILL or _ON_STOP when this object's kill() or
    // stop() ended it);
    // TIMED_OUT when it still runs after timeout_ms (it is left running);
    // with no child, the failed start's kind and words, or INVALID_ARGUMENT
    // for a child closed, released or never started.
    // With a canceller: CANCELLED once it is cancelled first (the child left running).
    result wait(uint32_t timeout_ms, const canceller &cancel) const { return wait(timeout_ms, &cancel); }
    result wait(uint32_t timeout_ms = PROCFERRY_INFINITE, const canceller *cancel = nullptr) const
    {
        result told;
        if (!held_) {
            bool failed_start = kind_ != 0 && kind_ != PROCFERRY_STARTED;
            told.kind = failed_start ? kind_ : PROCFERRY_INVALID_ARGUMENT;
            told.error = failed_start ? error_ : EINVAL;
            told.words = failed_start ? words_ : "no child to wait for: none was started, or it was closed or released";
            return told;
        }
        told.pid = pid();
        uint32_t status = 0;
        int waited = procferry_child_wait_cancellable(held_, timeout_ms, cancel ? cancel->get() : nullptr, &status);
        if (waited == PROCFERRY_CANCELLED) {
            told.kind = PROCFERRY_CANCELLED;
            told.words = name() + " (process " + std::to_string(told.pid) +
                         "): the wait was cancelled; it is left running";
            return told;
        }
        if (waited == -1) {
            told.kind = PROCFERRY_SYSTEM_ERROR;
            told.words = "cannot wait for " + name() + " (process " + std::to_string(told.pid) + ")";
            return told;
        }
        if (waited != 0) {
            told.kind = PROCFERRY_TIMED_OUT;
            told.words = name() + " still runs after " + std::to_string(timeout_ms) +
                         " ms (process " + std::to_string(told.pid) + "); it is left running";
            return told;
        }
        told.kind = PROCFERRY_EXITED;
        told.exit_status = status;
        told.ended_by = ended_by_;
        told.words = detail::outcome_words(name(), told);
        return told;
    }
    // Ends the child and everything it started; true once ended (or when it
    // had ended already, which its wait still tells as its own end).
    bool kill(uint32_t exit_code = 1) const
    {
        if (!held_)
            return false;
        bool ran = runs();
        if (procferry_child_kill(held_, exit_code) != 0)
            return false;
        // One that ended by itself meanwhile kept its own status.
        uint32_t status = 0;
        if (ran && (procferry_child_wait(held_, 0, &status) != 0 || status == exit_code))
            ended_by_ = PROCFERRY_ENDED_ON_KILL;
        return true;
    }
    // A console child's new size (options::console); false with why in the
    // library's words, for a child without a console of its own or once its
    // console has closed.
    bool resize(uint16_t columns, uint16_t rows, std::string *why = nullptr) const
    {
        int resized = held_ ? procferry_child_resize(held_, columns, rows) : -1;
        if (resized != 0 && why) {
            const char *reason =
                !held_ ? "there is no child to resize (its start failed or it was moved or closed)"
                : resized == PROCFERRY_INVALID_ARGUMENT && (!columns || !rows)
                    ? "a console's size needs both columns and rows"
                : resized == PROCFERRY_INVALID_ARGUMENT
                    ? "it has no pseudo console to resize (start it with options().console({columns, rows}))"
                : resized == 1 ? "its console has closed: the child has ended"
                               : "the system refused the console's new size";
            *why = (program_.empty() ? std::string("the child") : program_) + ": its console was not resized: " + reason;
        }
        return resized == 0;
    }
    // Asks the child to stop, and ends its tree when it still runs after
    // grace_ms; PROCFERRY_STOPPED_WHEN_ASKED or _BY_KILL (procferry_child_stop).
    // A child it ended, asked or not, is told by its wait as stopped.
    // A canceller cuts the grace period short: PROCFERRY_STOPPED_CANCELLED,
    // the tree ended at once.
    int stop(uint32_t grace_ms, uint32_t exit_code, const canceller &cancel) const
    {
        return stop(grace_ms, exit_code, &cancel);
    }
    int stop(uint32_t grace_ms, uint32_t exit_code = 1, const canceller *cancel = nullptr) const
    {
        if (!held_)
            return -1;
        bool ran = runs();
        int stopped = procferry_child_stop_cancellable(held_, grace_ms, exit_code, cancel ? cancel->get() : nullptr);
        if (ran && stopped > 0)
            ended_by_ = PROCFERRY_ENDED_ON_STOP;
        return stopped;
    }
    // Calls done(exit status) once the child has ended, on a thread of the
    // system's pool (procferry_child_on_exit); false when it cannot. It
    // never runs once close() (or the destructor) has returned; an empty
    // function cancels it.
    bool on_exit(std::function<void(uint32_t)> done)
    {
        if (!held_)
            return false;
        procferry_child_on_exit(held_, nullptr, nullptr);
        on_exit_.reset();
        if (!done)
            return true;
        on_exit_ = std::make_unique<std::function<void(uint32_t)>>(std::move(done));
        return procferry_child_on_exit(held_, &call_on_exit, on_exit_.get()) == 0;
    }
    // The library's child, still this object's.
    procferry_child *get() const { return held_; }
    // The child becomes the caller's, for procferry_child_close; an exit
    // callback of this object's is cancelled first.
    procferry_child *release()
    {
        if (held_ && on_exit_)
            procferry_child_on_exit(held_, nullptr, nullptr);
        on_exit_.reset();
        return std::exchange(held_, nullptr);
    }
    void close()
    {
        if (held_)
            procferry_child_close(std::exchange(held_, nullptr));
        on_exit_.reset();
    }

private:
    static void call_on_exit(void *done, uint32_t status)
    {
        // A copy runs, so that the function may close its own child.
        std::function<void(uint32_t)> call = *(std::function<void(uint32_t)> *)done;
        call(status);
    }
    std::string name() const { return program_.empty() ? "the child" : program_; }
    bool runs() const { return procferry_child_wait(held_, 0, nullptr) == PROCFERRY_TIMED_OUT; }
    procferry_child *held_ = nullptr;
    std::string words_;
    std::string program_;
    int kind_ = 0, error_ = 0;
    // What this object's kill() or stop() did, for its wait to tell: either
    // may run on another thread than the wait.
    mutable std::atomic<int> ended_by_{PROCFERRY_ENDED_BY_ITSELF};
    std::unique_ptr<std::function<void(uint32_t)>> on_exit_;
};

// Waiting for many children at once, more than 64 too: the index of one
// that ended (the first in order of those ended), or none after timeout_ms;
// and whether all ended within timeout_ms. A child that is not valid (its
// start failed) is skipped; with none valid, none and false.
namespace detail {
template <class Children>
std::vector<size_t> valid_children(const Children &children, std::vector<procferry_child *> &held)
{
    std::vector<size_t> index;
    size_t at = 0;
    for (const child &one : children) {
        if (one.valid()) {
            held.push_back(one.get());
            index.push_back(at);
        }
        ++at;
    }
    return index;
}
template <class Children>
std::optional<size_t> wait_any(const Children &children, uint32_t timeout_ms)
{
    std::vector<procferry_child *> held;
    std::vector<size_t> index = valid_children(children, held);
    size_t ended = 0;
    if (held.empty() || procferry_children_wait_any(held.data(), held.size(), timeout_ms, &ended) != 0)
        return std::nullopt;
    return index[ended];
}
template <class Children>
bool wait_all(const Children &children, uint32_t timeout_ms)
{
    std::vector<procferry_child *> held;
    valid_children(children, held);
    return !held.empty() && procferry_children_wait_all(held.data(), held.size(), timeout_ms) == 0;
}
} // namespace detail

inline std::optional<size_t> wait_any(const std::vector<child> &children,
                                      uint32_t timeout_ms = PROCFERRY_INFINITE)
{
    return detail::wait_any(children, timeout_ms);
}
inline bool wait_all(const std::vector<child> &children, uint32_t timeout_ms = PROCFERRY_INFINITE)
{
    return detail::wait_all(children, timeout_ms);
}
// Children held elsewhere, by reference: wait_any({a, b, c}, 5000).
inline std::optional<size_t> wait_any(std::initializer_list<std::reference_wrapper<const child>> children,
                                      uint32_t timeout_ms = PROCFERRY_INFINITE)
{
    std::vector<std::reference_wrapper<const child>> list(children);
    return detail::wait_any(list, timeout_ms);
}
inline bool wait_all(std::initializer_list<std::reference_wrapper<const child>> children,
                     uint32_t timeout_ms = PROCFERRY_INFINITE)
{
    std::vector<std::reference_wrapper<const child>> list(children);
    return detail::wait_all(list, timeout_ms);
}

struct started : result {
    // The caller's ends of PROCFERRY_STREAM_PIPE streams (stdin: write; stdout,
    // stderr: read), else not valid. Before the child, so that its exit
    // callback is cancelled before they go.
    std::array<pipe_end, 3> pipes;
    child process;
};

struct captured : result {
    std::string out;          // stdout (and stderr, with stderr_to_stdout)
    std::string err;
    bool out_capped = false;  // more was written than kept
    bool err_capped = false;
};

namespace detail {

// The C options and counted texts of a call, over the caller's objects,
// which outlive it.
class start_request {
public:
    start_request(const path_text &program, const arguments &args, const options &choices, uint32_t extra_flags)
        : program_(program), relay_(choices.relay), args_(args.texts()), env_(choices.env.changes())
    {
        procferry_options_init(&c);
        for (int n = 0; n < 3; ++n)
            c.streams[n] = choices.streams[n];
        c.flags = (choices.flags & ~(uint32_t)PROCFERRY_NO_WAIT) | extra_flags |
                  (choices.env.cleared() ? (uint32_t)PROCFERRY_CLEAR_ENV : 0u);
        c.timeout_ms = choices.timeout_ms;
        c.extra_fds = choices.extra_fds.data();
        c.extra_fd_count = choices.extra_fds.size();
        c.console = choices.console_size;
        texts.size = sizeof texts;
        texts.relay = choices.relay.empty() ? procferry_text{} : choices.relay.given().c();
        texts.program = program.given().c();
        texts.dir = choices.dir.empty() ? procferry_text{} : choices.dir.given().c();
        texts.args = args_.data();
        texts.arg_count = args_.size();
        texts.env = env_.data();
        texts.env_count = env_.size();
    }
    start_request(const start_request &) = delete;
    start_request &operator=(const start_request &) = delete;

    // The program as words name it.
    std::string program_utf8() const { return program_.utf8(); }
    // The library's words for a call refused here, before it saw it.
    std::string refusal_words(const std::string &why) const
    {
        std::string program = program_utf8();
        for (size_t zero; (zero = program.find('\0')) != std::string::npos;)
            program.replace(zero, 1, "\\0");
        std::string words(procferry_describe_refusal(program.c_str(), why.c_str(), nullptr, 0) + 1, '\0');
        words.resize(procferry_describe_refusal(program.c_str(), why.c_str(), &words[0], words.size()));
        return words;
    }
    // The library's words for an outcome, as if the limit asked had been
    // timeout_ms (a pipeline gives each command what is left of its own).
    std::string words(const procferry_result &from, uint32_t timeout_ms) const
    {
        std::wstring program = program_.wide(), relay = relay_.wide();
        procferry_options named = c;
        named.program = program.c_str();
        named.relay = relay.empty() ? nullptr : relay.c_str();
        named.timeout_ms = timeout_ms;
        std::string out(procferry_describe(&named, &from, nullptr, 0) + 1, '\0');
        out.resize(procferry_describe(&named, &from, &out[0], out.size()));
        return out;
    }

    void fill(result &into, const procferry_result &from) const
    {
        into.kind = from.kind;
        into.error = from.error;
        into.exit_status = from.exit_status;
        into.win32_error = from.win32_error;
        into.pid = from.pid;
        into.ended_by = from.ended_by;
        // The words the library kept, unless they may have been cut to fit
        // the result (at a character, up to four bytes short); a refusal's
        // words always, since only they know what was refused.
        const void *end = memchr(from.words, 0, sizeof from.words);
        size_t kept = end ? (size_t)((const char *)end - from.words) : sizeof from.words;
        if (kept > 0 && (kept + 4 < sizeof from.words || from.kind == PROCFERRY_INVALID_ARGUMENT))
            into.words.assign(from.words, kept);
        else
            into.words = words(from, c.timeout_ms);
    }

    procferry_options c;
    procferry_texts texts{};

private:
    const path_text &program_;
    const path_text &relay_;
    std::vector<procferry_text> args_;
    std::vector<procferry_env_change> env_;
};

// The result of a call refused here for why, before the library saw it.
template <class Result>
Result refused(const start_request &request, const std::string &why)
{
    Result out;
    out.kind = PROCFERRY_INVALID_ARGUMENT;
    out.error = EINVAL;
    out.words = request.refusal_words(why);
    return out;
}

// The C++ layer's own refusal for a capture's options: stderr given twice;
// empty when none.
inline std::string capture_call_refusal(const capture_options &choices)
{
    return choices.stderr_to_stdout && choices.streams[2].kind != PROCFERRY_STREAM_INHERIT
               ? "stderr_to_stdout is set and stderr is chosen as well; give one"
               : "";
}

// What a capture would refuse, told before anything starts (for a capture
// run another way): the C++ layer's refusal, then the library's
// (procferry_capture_check_texts); none when it may go on.
template <class Result>
std::optional<Result> capture_refused(const path_text &program, const arguments &args,
                                      const capture_options &choices, bool has_input)
{
    start_request request(program, args, choices, 0);
    std::string why = capture_call_refusal(choices);
    if (!why.empty())
        return refused<Result>(request, why);
    if (choices.stderr_to_stdout)
        request.c.streams[2].kind = PROCFERRY_STREAM_STDOUT;
    procferry_capture_options capture;
    procferry_capture_options_init(&capture);
    capture.input = has_input ? "" : nullptr;
    procferry_result told;
    if (procferry_capture_check_texts(&request.c, &request.texts, &capture, &told) == 0)
        return std::nullopt;
    Result refused;
    request.fill(refused, told);
    return refused;
}

} // namespace detail

// A capture's options hold a cancel, caps and a drain that only a capture
// honours: run() and start() refuse them at compile time rather than drop
// them (use capture(), or give a procferry::options).
template <class Options, std::enable_if_t<std::is_base_of<capture_options, Options>::value, int> = 0>
result run(const path_text &program, const arguments &args, const Options &choices) = delete;
template <class Options, std::enable_if_t<std::is_base_of<capture_options, Options>::value, int> = 0>
started start(const path_text &program, const arguments &args, const Options &choices) = delete;

// Runs program to its end (options.timeout_ms bounds the whole run; past it
// the tree is ended and the kind is PROCFERRY_TIMED_OUT). The program and
// its arguments are UTF-8 or UTF-16: run("cmd", {"/c", "exit 3"}).
inline result run(const path_text &program, const arguments &args = {}, const options &choices = {})
{
    detail::start_request request(program, args, choices, 0);
    procferry_result out;
    procferry_start_texts(&request.c, &request.texts, nullptr, &out);
    result told;
    request.fill(told, out);
    return told;
}

// Starts program and returns once it runs, with its child; a start that
// failed has a child that is not valid, which keeps why.
namespace detail {

// A start that a cancel ends while the relay has not answered
// (procferry_start_cancellable); the words of a time limit's end name
// asked_ms, the limit the caller asked for (a pipeline gives each command
// what is left of its own).
inline started start_cancellable(const path_text &program, const arguments &args, const options &choices,
                                 const procferry_cancel *cancel, uint32_t asked_ms);
// A capture, told as capture() tells it, with the limit its words name.
inline captured capture_asked(const path_text &program, const arguments &args, const capture_options &choices,
                              std::string_view input, uint32_t asked_ms);
// The result of a start or a capture, with a time limit's words naming the
// limit asked for.
inline void fill_asked(const start_request &request, uint32_t asked_ms, result &into, const procferry_result &from);

} // namespace detail

inline started start(const path_text &program, const arguments &args = {}, const options &choices = {})
{
    return detail::start_cancellable(program, args, choices, nullptr, choices.timeout_ms);
}

inline started detail::start_cancellable(const path_text &program, const arguments &args, const options &choices,
                                         const procferry_cancel *cancel, uint32_t asked_ms)
{
    detail::start_request request(program, args, choices, PROCFERRY_NO_WAIT);
    procferry_result out;
    started told;
    bool launched = procferry_start_texts(&request.c, &request.texts, cancel, &out) == PROCFERRY_STARTED;
    for (int n = 0; n < 3; ++n)
        told.pipes[n] = pipe_end(out.pipes[n]);
    try {
        fill_asked(request, asked_ms, told, out);
        told.process = child(launched ? out.child : nullptr, told.words, request.program_utf8(), told.kind, told.error);
    } catch (...) { // memory ran out: a child nobody holds is not left to run
        if (launched && !told.process.valid()) {
            procferry_child_kill(out.child, 1);
            procferry_child_close(out.child);
        }
        throw;
    }
    return told;
}

// Runs program to its end with input on its stdin and its stdout and stderr
// kept in memory; never deadlocks, whatever the child reads or writes.
inline captured capture(const path_text &program, const arguments &args = {},
                        const capture_options &choices = {}, std::string_view input = {})
{
    return detail::capture_asked(program, args, choices, input, choices.timeout_ms);
}

inline captured detail::capture_asked(const path_text &program, const arguments &args,
                                      const capture_options &choices, std::string_view input, uint32_t asked_ms)
{
    detail::start_request request(program, args, choices, 0);
    std::string why = detail::capture_call_refusal(choices);
    if (!why.empty())
        return detail::refused<captured>(request, why);
    if (choices.stderr_to_stdout)
        request.c.streams[2].kind = PROCFERRY_STREAM_STDOUT;
    procferry_capture_options capture;
    procferry_capture_options_init(&capture);
    capture.input = input.empty() ? nullptr : input.data();
    capture.input_size = input.size();
    if (choices.stdout_cap)
        capture.stdout_cap = choices.stdout_cap;
    if (choices.stderr_cap)
        capture.stderr_cap = choices.stderr_cap;
    if (choices.drain_ms)
        capture.drain_ms = *choices.drain_ms;
    capture.cancel = choices.cancel ? choices.cancel->get() : nullptr;
    capture.leave_running_when_cancelled = choices.leave_running_when_cancelled;
    procferry_capture_result out;
    procferry_capture_texts(&request.c, &request.texts, &capture, &out);
    captured told;
    fill_asked(request, asked_ms, told, out.result);
    if (out.out)
        told.out.assign(out.out, out.out_size);
    if (out.err)
        told.err.assign(out.err, out.err_size);
    told.out_capped = out.out_capped != 0;
    told.err_capped = out.err_capped != 0;
    procferry_capture_free(&out);
    return told;
}

// One stage of a pipeline: a program and its arguments, {"sort", {"/r"}}.
struct command {
    command(path_text program_, arguments args_ = {}) : program(std::move(program_)), args(std::move(args_)) {}
    path_text program;
    arguments args;
};

// A pipeline's outcome: the last command's capture (its kind, status, out
// and err), and what became of each command, in order.
struct piped : captured {
    std::vector<result> stages;
    // Every command exited with status 0.
    bool all_succeeded() const
    {
        for (const result &stage : stages)
            if (!stage.success())
                return false;
        return !stages.empty();
    }
};

namespace detail {

// A pipeline gives each command what is left of its time limit; the words
// of a time limit's end name the limit asked for all the same.
inline void fill_asked(const start_request &request, uint32_t asked_ms, result &into, const procferry_result &from)
{
    request.fill(into, from);
    if (from.kind == PROCFERRY_TIMED_OUT && asked_ms != request.c.timeout_ms)
        into.words = request.words(from, asked_ms);
}

// Why the pipeline ends the commands still running once this one failed.
inline int ended_after(const result &failed)
{
    if (failed.kind == PROCFERRY_TIMED_OUT)
        return PROCFERRY_ENDED_AT_TIME_LIMIT;
    if (failed.kind == PROCFERRY_CANCELLED)
        return PROCFERRY_ENDED_ON_CANCEL;
    return PROCFERRY_ENDED_WITH_PIPELINE;
}

// Ends a command the pipeline no longer waits for, and tells its end: one
// that had ended by itself tells its own; one this ended says why (ended_by,
// the kind of a time limit's or a cancel's end, the library's words).
inline result end_stage(const child &process, int why, uint32_t limit_ms)
{
    process.kill();
    result ended = process.wait(5000);
    if (ended.ended_by != PROCFERRY_ENDED_ON_KILL)
        return ended;
    ended.ended_by = why;
    if (why != PROCFERRY_ENDED_WITH_PIPELINE) {
        ended.kind = why == PROCFERRY_ENDED_AT_TIME_LIMIT ? PROCFERRY_TIMED_OUT : PROCFERRY_CANCELLED;
        ended.exit_status = 0;
    }
    ended.words = outcome_words(process.program(), ended, limit_ms);
    return ended;
}

} // namespace detail

// Runs the commands with each one's stdout as the next one's stdin, as a
// shell's "a | b | c" does, and captures the last one's output. Each command
// gets the options (directory, environment, flags, stderr; stderr_to_stdout
// is the last one's); the first one's stdin is options.streams[0], by default
// the null device, as a capture's is: never the caller's stdin. timeout_ms
// bounds the whole pipeline and a cancel ends it: every command still
// running is ended. A command that cannot start ends the ones started
// before it, and is the pipeline's outcome. A command the pipeline ended
// says why: ended_by PROCFERRY_ENDED_WITH_PIPELINE (kind EXITED), or
// _AT_TIME_LIMIT (TIMED_OUT) or _ON_CANCEL (CANCELLED).
inline piped pipeline(const std::vector<command> &commands, const capture_options &choices = {})
{
    piped told;
    if (commands.empty()) {
        told.kind = PROCFERRY_INVALID_ARGUMENT;
        told.error = EINVAL;
        told.words.assign(procferry_describe_refusal("the pipeline", "it has no commands", nullptr, 0) + 1, '\0');
        told.words.resize(procferry_describe_refusal("the pipeline", "it has no commands", &told.words[0], told.words.size()));
        return told;
    }
    // The last command is a capture: what a capture refuses, nothing starts for.
    if (std::optional<piped> refused =
            detail::capture_refused<piped>(commands.back().program, commands.back().args, choices, false))
        return std::move(*refused);
    auto began = std::chrono::steady_clock::now();
    auto remaining = [&]() -> uint32_t {
        if (choices.timeout_ms == PROCFERRY_INFINITE)
            return PROCFERRY_INFINITE;
        auto spent = (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - began).count();
        return spent >= choices.timeout_ms ? 0 : (uint32_t)(choices.timeout_ms - spent);
    };
    // Ends the commands started so far, once failed could not run.
    auto end_all = [&](std::vector<started> &running, const result &failed) {
        std::vector<result> ended;
        for (started &each : running)
            ended.push_back(each.process.valid()
                                ? detail::end_stage(each.process, detail::ended_after(failed), choices.timeout_ms)
                                : static_cast<result>(each));
        return ended;
    };
    std::vector<started> running;
    pipe_end previous;
    bool cancelled_first = choices.cancel && choices.cancel->cancelled();
    for (size_t i = 0; i + 1 < commands.size() && !cancelled_first; ++i) {
        options stage = choices;
        stage.timeout_ms = remaining();
        if (i > 0)
            stage.streams[0] = file(previous);
        else if (stage.streams[0].kind == PROCFERRY_STREAM_INHERIT)
            stage.streams[0] = null();
        stage.streams[1] = pipe();
        running.push_back(detail::start_cancellable(commands[i].program, commands[i].args, stage,
                                                    choices.cancel ? choices.cancel->get() : nullptr,
                                                    choices.timeout_ms));
        previous.close(); // the child holds its own copy
        if (!running.back().process.valid()) {
            static_cast<result &>(told) = running.back();
            told.stages = end_all(running, told);
            return told;
        }
        previous = std::move(running.back().pipes[1]);
    }
    capture_options last = choices;
    last.timeout_ms = remaining();
    if (!running.empty())
        last.streams[0] = file(previous);
    static_cast<captured &>(told) = detail::capture_asked(commands.back().program, commands.back().args, last, {},
                                                          choices.timeout_ms);
    // Once the last one ended, a writer before it sees its reader gone.
    previous.close();
    bool last_ran = told.pid != 0 || told.kind == PROCFERRY_EXITED;
    if (!last_ran) {
        told.stages = end_all(running, told);
    } else {
        for (started &each : running) {
            result waited = each.process.wait(remaining(), choices.cancel ? &*choices.cancel : nullptr);
            if (waited.timed_out() || waited.kind == PROCFERRY_CANCELLED)
                waited = detail::end_stage(each.process, detail::ended_after(waited), choices.timeout_ms);
            told.stages.push_back(waited);
        }
    }
    told.stages.push_back(told);
    if (told.kind == PROCFERRY_EXITED)
        for (const result &stage : told.stages)
            if (stage.timed_out() || stage.kind == PROCFERRY_CANCELLED) {
                static_cast<result &>(told) = stage;
                break;
            }
    return told;
}

} // namespace procferry

#endif
