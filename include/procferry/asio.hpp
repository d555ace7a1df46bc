// procferry on an Asio event loop: a child's end awaited, pipe ends read and
// written, and a whole capture run on the caller's io_context, with no thread
// of the library's. Optional: it needs standalone Asio (<asio.hpp>, 1.22 or
// later; not Boost's), _WIN32_WINNT 0x0601 or later, and ws2_32 and mswsock
// at link time. Include it before <windows.h>, or define WIN32_LEAN_AND_MEAN,
// as Asio asks.
//
//     asio::io_context io;
//     procferry::started s = procferry::start("cmd", {"/c", "exit 3"});
//     procferry::async_wait(io, s.process, [](procferry::result ended) {
//         std::cout << ended.words << "\n";   // cmd exited with status 3
//     });
//     procferry::async_capture(io, "cmd", {"/c", "dir"}, {}, [](procferry::captured c) {...});
//     io.run();
//
// The completion tokens are Asio's: a function, asio::use_future, or, with
// C++20 coroutines, asio::use_awaitable:
//     procferry::result ended = co_await procferry::async_wait(io, child, asio::use_awaitable);
// Failures are results here too: each operation completes with one value.
#ifndef PROCFERRY_ASIO_HPP
#define PROCFERRY_ASIO_HPP

#include <asio.hpp>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "procferry/process.hpp"

namespace procferry {

namespace detail {

inline asio::io_context::executor_type executor_of(asio::io_context &io) { return io.get_executor(); }
template <class Executor>
Executor executor_of(const Executor &executor)
{
    return executor;
}

// Calls handler with value on the handler's own executor: at once when an
// operation has ended (done), or, for an operation that ends as it begins,
// posted, as an initiating function never calls its handler itself.
template <class Handler, class Executor, class Value>
void complete(Handler handler, const Executor &fallback, Value value, bool done = true)
{
    auto executor = asio::get_associated_executor(handler, fallback);
    auto call = [handler = std::move(handler), value = std::move(value)]() mutable { handler(std::move(value)); };
    if (done)
        asio::dispatch(executor, std::move(call));
    else
        asio::post(executor, std::move(call));
}

// A handle of the operation's own, closed unless handed on.
class owned_handle {
public:
    explicit owned_handle(HANDLE handle = nullptr) : handle_(handle) {}
    owned_handle(owned_handle &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    owned_handle &operator=(owned_handle &&) = delete;
    ~owned_handle()
    {
        if (handle_)
            CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, nullptr); }

private:
    HANDLE handle_;
};

// A copy of a handle for waiting on, the operation's own: a child's process
// may then go (or be closed) before the wait ends. NULL, with the system's
// error in *error, when none could be made.
inline HANDLE waitable_copy(HANDLE handle, DWORD access, DWORD *error)
{
    HANDLE copy = nullptr;
    if (!handle || !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, access, FALSE, 0)) {
        *error = handle ? GetLastError() : ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return copy;
}

// What became of a process whose end a wait saw; a wait that failed
// (error) is a system error, never an end.
inline result ended(const std::string &program, uint32_t pid, HANDLE process, std::error_code error)
{
    result told;
    told.pid = pid;
    DWORD status = 0;
    if (!error && WaitForSingleObject(process, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &status)) {
        told.kind = PROCFERRY_EXITED;
        told.exit_status = status;
        told.words = outcome_words(program.empty() ? "the child" : program, told);
    } else {
        told.kind = PROCFERRY_SYSTEM_ERROR;
        told.win32_error = error ? (uint32_t)error.value() : GetLastError();
        told.words = "cannot wait for " + (program.empty() ? std::string("the child") : program) +
                     " (process " + std::to_string(pid) + "): Windows error " + std::to_string(told.win32_error);
    }
    return told;
}

} // namespace detail

// Completes with the child's end (a result as child::wait gives it) once the
// child has ended; with no child, with why (the failed start's kind and
// words). The child object may go before the wait ends; the child is not
// ended by it.
template <class Where, class Token>
auto async_wait(Where &&where, const child &waited, Token &&token)
{
    auto executor = detail::executor_of(where);
    DWORD error = 0;
    detail::owned_handle copy(waited.valid() ? detail::waitable_copy((HANDLE)waited.handle(),
                                                                     SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, &error)
                                             : nullptr);
    result no_child = waited.valid() ? result() : waited.wait(0);
    if (waited.valid() && !copy.get()) {
        no_child.kind = PROCFERRY_SYSTEM_ERROR;
        no_child.win32_error = error;
        no_child.words = "cannot wait for " + waited.program() + ": its process handle could not be copied";
    }
    return asio::async_initiate<Token, void(result)>(
        [executor, copy = std::move(copy), pid = waited.pid(), program = waited.program(), no_child](auto handler) mutable {
            if (!copy.get()) {
                detail::complete(std::move(handler), executor, std::move(no_child), false);
                return;
            }
            auto process = std::make_shared<asio::windows::object_handle>(executor, copy.release());
            process->async_wait([process, executor, pid, program, handler = std::move(handler)](std::error_code error) mutable {
                detail::complete(std::move(handler), executor, detail::ended(program, pid, process->native_handle(), error));
            });
        },
        token);
}

// A pipe end as an Asio stream: an overlapped end (PROCFERRY_OVERLAPPED_PIPES,
// procferry_pipe_make_overlapped) only, as a completion port needs one. The
// stream owns the handle from then on. Its end (every writer gone) comes as
// the system's ERROR_BROKEN_PIPE, which Asio passes on as the error.
template <class Where>
asio::windows::stream_handle as_stream(Where &&where, pipe_end &&end)
{
    return asio::windows::stream_handle(detail::executor_of(where), (HANDLE)end.release());
}

namespace detail {

// One capture on an event loop: both outputs read, the input written, the
// end, the time limit and the cancel awaited, all as completions on a strand
// of the caller's executor (so any number of threads may run it); done once
// the end, both outputs and the input have come to theirs.
template <class Handler, class Executor>
class async_capture_run : public std::enable_shared_from_this<async_capture_run<Handler, Executor>> {
public:
    async_capture_run(Handler handler, const Executor &executor, started &&run, std::string input,
                      const capture_options &choices, std::string program)
        : handler_(std::move(handler)), executor_(executor), strand_(asio::make_strand(executor)),
          child_(std::move(run.process)), input_(std::move(input)), choices_(choices),
          program_(std::move(program)), timer_(strand_)
    {
        told_.pid = run.pid;
        for (int n = 0; n < 3; ++n)
            if (run.pipes[n].valid())
                streams_[n].emplace(strand_, (HANDLE)run.pipes[n].release());
        DWORD error = 0;
        if (HANDLE copy = waitable_copy((HANDLE)child_.handle(), SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, &error))
            process_.emplace(strand_, copy);
        else
            copy_error_ = error;
        HANDLE event = choices.cancel ? (HANDLE)procferry_cancel_handle(choices.cancel->get()) : nullptr;
        if (event && (event = waitable_copy(event, SYNCHRONIZE, &error)))
            cancel_.emplace(strand_, event);
        if (choices.timeout_ms != PROCFERRY_INFINITE)
            deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(choices.timeout_ms);
    }

    void begin()
    {
        auto self = this->shared_from_this();
        asio::dispatch(strand_, [self] { self->begin_on_strand(); });
    }

private:
    void begin_on_strand()
    {
        auto self = this->shared_from_this();
        if (!process_) {
            child_.kill();
            told_.kind = PROCFERRY_SYSTEM_ERROR;
            told_.win32_error = copy_error_;
            told_.words = "cannot capture " + program_ + ": its process handle could not be copied";
            for (auto &stream : streams_)
                stream.reset();
            complete(std::move(handler_), executor_, std::move(told_), false);
            return;
        }
        pending_ = 1;
        process_->async_wait([self](std::error_code error) {
            self->wait_error_ = error && error != asio::error::operation_aborted ? error : std::error_code();
            self->child_ended();
        });
        for (int n = 1; n < 3; ++n)
            if (streams_[n]) {
                ++pending_;
                read(n);
            }
        if (streams_[0]) {
            ++pending_;
            asio::async_write(*streams_[0], asio::buffer(input_), [self](std::error_code, size_t) {
                self->streams_[0].reset(); // the child sees the end of its input
                self->piece_done();
            });
        }
        if (cancel_)
            cancel_->async_wait([self](std::error_code error) {
                if (error || self->finished_)
                    return;
                if (self->ended_) { // the child's end came first: the drain ends now
                    self->stop_reading();
                    return;
                }
                self->cancelled_ = true;
                if (!self->choices_.leave_running_when_cancelled)
                    self->child_.kill();
                self->child_ended(); // the run ends now, with what was read
            });
        if (deadline_) {
            timer_.expires_at(*deadline_);
            timer_.async_wait([self](std::error_code error) {
                if (error || self->ended_)
                    return;
                self->timed_out_ = true;
                self->child_.kill(); // the tree: the pipes close with it
            });
        }
    }

    void read(int n)
    {
        auto self = this->shared_from_this();
        streams_[n]->async_read_some(asio::buffer(buffers_[n]), [self, n](std::error_code error, size_t count) {
            std::string &kept = n == 1 ? self->told_.out : self->told_.err;
            size_t cap = n == 1 ? self->choices_.stdout_cap : self->choices_.stderr_cap;
            if (cap == 0)
                cap = (size_t)64 << 20;
            size_t room = kept.size() < cap ? cap - kept.size() : 0;
            kept.append(self->buffers_[n].data(), count < room ? count : room);
            if (count > room)
                (n == 1 ? self->told_.out_capped : self->told_.err_capped) = true;
            if (error) { // the end, or the drain over
                self->streams_[n].reset();
                self->piece_done();
                return;
            }
            self->read(n);
        });
    }

    void stop_reading()
    {
        for (auto &stream : streams_)
            if (stream)
                stream->cancel();
    }

    // The child has ended (or the run was cancelled): what it left running
    // may hold its pipes open, so they get drain_ms, within the run's time,
    // as a capture's do, and no more.
    void child_ended()
    {
        if (ended_)
            return;
        ended_ = true;
        timer_.cancel();
        if (streams_[0] || streams_[1] || streams_[2]) {
            auto drain = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(timed_out_ || cancelled_ ? 0 : choices_.drain_ms.value_or(1000));
            auto self = this->shared_from_this();
            timer_.expires_at(deadline_ && *deadline_ < drain ? *deadline_ : drain);
            timer_.async_wait([self](std::error_code error) {
                if (!error)
                    self->stop_reading();
            });
        }
        piece_done();
    }

    void piece_done()
    {
        if (--pending_ > 0)
            return;
        finished_ = true;
        timer_.cancel();
        if (cancel_)
            cancel_->cancel();
        if (cancelled_) {
            process_->cancel(); // a child left running is not waited for
            told_.kind = PROCFERRY_CANCELLED;
            told_.words = outcome_words(program_, told_);
        } else {
            result end = ended(program_, told_.pid, process_->native_handle(), wait_error_);
            if (end.kind != PROCFERRY_EXITED)
                child_.kill();
            told_.kind = timed_out_ ? PROCFERRY_TIMED_OUT : end.kind;
            told_.exit_status = timed_out_ ? 0 : end.exit_status;
            told_.win32_error = end.win32_error;
            told_.words = timed_out_ ? outcome_words(program_, told_, choices_.timeout_ms) : end.words;
            if (told_.kind == PROCFERRY_EXITED)
                told_.pid = 0;
        }
        complete(std::move(handler_), executor_, std::move(told_));
    }

    Handler handler_;
    Executor executor_;
    asio::strand<Executor> strand_;
    child child_;
    std::string input_;
    capture_options choices_;
    std::string program_;
    asio::steady_timer timer_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::optional<asio::windows::object_handle> process_, cancel_;
    std::array<std::optional<asio::windows::stream_handle>, 3> streams_;
    std::array<std::array<char, 65536>, 3> buffers_;
    captured told_;
    std::error_code wait_error_;
    DWORD copy_error_ = 0;
    int pending_ = 0;
    bool ended_ = false, timed_out_ = false, cancelled_ = false, finished_ = false;
};

// Starts a capture's child with overlapped pipe ends and the streams chosen
// as procferry::capture chooses them, refusing what it refuses (the
// library's own check).
inline started async_capture_start(const path_text &program, const arguments &args,
                                   const capture_options &choices, bool has_input)
{
    if (std::optional<started> refused = capture_refused<started>(program, args, choices, has_input))
        return std::move(*refused);
    options run = choices;
    run.flags |= PROCFERRY_OVERLAPPED_PIPES;
    const procferry_stream *given = choices.streams.data();
    if (choices.cancel && choices.cancel->cancelled()) { // nothing starts
        started none;
        none.kind = PROCFERRY_CANCELLED;
        none.words = outcome_words(program.utf8_ok() ? to_utf8(program.wide()) : program.given(), none);
        return none;
    }
    if (given[0].kind == PROCFERRY_STREAM_INHERIT)
        run.streams[0] = has_input ? pipe() : null();
    run.streams[1] = pipe();
    if (choices.stderr_to_stdout)
        run.streams[2] = merge_with_stdout();
    else if (given[2].kind == PROCFERRY_STREAM_INHERIT)
        run.streams[2] = pipe();
    return start(program, args, run);
}

} // namespace detail

// A capture (see procferry::capture) run on the caller's event loop: stdout
// and stderr are read together as they come, the input written, and the end
// awaited, with no thread of the library's. The child starts when the
// operation is initiated (at once for a function or use_future; at the
// co_await for use_awaitable). Completes with the captured run: EXITED with
// the status, TIMED_OUT past options.timeout_ms (the tree ended), CANCELLED
// once options.cancel is (the tree ended unless
// leave_running_when_cancelled), or why nothing ran.
template <class Where, class Token>
auto async_capture(Where &&where, const path_text &program, const arguments &args,
                   const capture_options &choices, std::string_view input, Token &&token)
{
    auto executor = detail::executor_of(where);
    return asio::async_initiate<Token, void(captured)>(
        [executor, program, args, choices, input = std::string(input)](auto handler) mutable {
            using handler_type = decltype(handler);
            started run = detail::async_capture_start(program, args, choices, !input.empty());
            if (!run.process.valid()) {
                captured refused;
                static_cast<result &>(refused) = run;
                detail::complete(std::move(handler), executor, std::move(refused), false);
                return;
            }
            std::string name = program.utf8_ok() ? to_utf8(program.wide()) : program.given();
            auto capture = std::make_shared<detail::async_capture_run<handler_type, decltype(executor)>>(
                std::move(handler), executor, std::move(run), std::move(input), choices, std::move(name));
            capture->begin();
        },
        token);
}
template <class Where, class Token>
auto async_capture(Where &&where, const path_text &program, const arguments &args,
                   const capture_options &choices, Token &&token)
{
    return async_capture(std::forward<Where>(where), program, args, choices, std::string_view(),
                         std::forward<Token>(token));
}

} // namespace procferry

#endif
