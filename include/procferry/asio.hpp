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

// Calls handler with value on the handler's own executor.
template <class Handler, class Executor, class Value>
void complete(Handler handler, const Executor &fallback, Value value)
{
    auto executor = asio::get_associated_executor(handler, fallback);
    asio::dispatch(executor, [handler = std::move(handler), value = std::move(value)]() mutable {
        handler(std::move(value));
    });
}

// A copy of a child's process handle of the wait's own, so that the child
// object may go (or be closed) before the wait ends; NULL without a child.
inline HANDLE own_process_copy(const child &waited)
{
    HANDLE copy = nullptr;
    if (waited.valid() &&
        !DuplicateHandle(GetCurrentProcess(), (HANDLE)waited.handle(), GetCurrentProcess(), &copy,
                         SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0))
        copy = nullptr;
    return copy;
}

// What became of a process whose end a wait saw.
inline result ended(const std::string &program, uint32_t pid, HANDLE process)
{
    result told;
    told.pid = pid;
    DWORD status = 0;
    if (GetExitCodeProcess(process, &status)) {
        told.kind = PROCFERRY_EXITED;
        told.exit_status = status;
    } else {
        told.kind = PROCFERRY_SYSTEM_ERROR;
        told.win32_error = GetLastError();
    }
    told.words = outcome_words(program.empty() ? "the child" : program, told);
    return told;
}

} // namespace detail

// Completes with the child's end (a result as child::wait gives it) once the
// child has ended; with no child, at once with why (the failed start's kind
// and words). The child object may go before the wait ends; the child is
// not ended by it.
template <class Where, class Token>
auto async_wait(Where &&where, const child &waited, Token &&token)
{
    auto executor = detail::executor_of(where);
    HANDLE copy = detail::own_process_copy(waited);
    result no_child = copy ? result() : waited.wait(0);
    if (waited.valid() && !copy) {
        no_child.kind = PROCFERRY_SYSTEM_ERROR;
        no_child.win32_error = GetLastError();
        no_child.words = "cannot wait for " + waited.program() + ": its process handle could not be copied";
    }
    return asio::async_initiate<Token, void(result)>(
        [executor, copy, pid = waited.pid(), program = waited.program(), no_child](auto handler) mutable {
            if (!copy) {
                detail::complete(std::move(handler), executor, std::move(no_child));
                return;
            }
            auto process = std::make_shared<asio::windows::object_handle>(executor, copy);
            process->async_wait([process, executor, pid, program, handler = std::move(handler)](std::error_code) mutable {
                detail::complete(std::move(handler), executor, detail::ended(program, pid, process->native_handle()));
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
// end and the time limit awaited, all as completions; done once each has.
template <class Handler, class Executor>
class async_capture_run : public std::enable_shared_from_this<async_capture_run<Handler, Executor>> {
public:
    async_capture_run(Handler handler, const Executor &executor, started &&run, std::string input,
                      const capture_options &choices, std::string program)
        : handler_(std::move(handler)), executor_(executor), child_(std::move(run.process)),
          input_(std::move(input)), choices_(choices), program_(std::move(program)), timer_(executor)
    {
        told_.pid = run.pid;
        for (int n = 0; n < 3; ++n)
            if (run.pipes[n].valid())
                streams_[n].emplace(executor, (HANDLE)run.pipes[n].release());
        HANDLE copy = own_process_copy(child_);
        if (copy)
            process_.emplace(executor, copy);
        HANDLE event = choices.cancel ? (HANDLE)procferry_cancel_handle(choices.cancel->get()) : nullptr;
        if (event && DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &event, SYNCHRONIZE, FALSE, 0))
            cancel_.emplace(executor, event);
    }

    void begin()
    {
        auto self = this->shared_from_this();
        if (!process_) {
            child_.kill();
            told_.kind = PROCFERRY_SYSTEM_ERROR;
            told_.win32_error = GetLastError();
            told_.words = "cannot capture " + program_ + ": its process handle could not be copied";
            for (auto &stream : streams_)
                stream.reset();
            complete(std::move(handler_), executor_, std::move(told_));
            return;
        }
        pending_ = 1;
        process_->async_wait([self](std::error_code) { self->child_ended(); });
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
                if (error || self->ended_)
                    return;
                self->cancelled_ = true;
                if (!self->choices_.leave_running_when_cancelled)
                    self->child_.kill();
                self->stop_reading(); // the run ends now, with what was read
                self->child_ended();
            });
        if (choices_.timeout_ms != PROCFERRY_INFINITE) {
            timer_.expires_after(std::chrono::milliseconds(choices_.timeout_ms));
            timer_.async_wait([self](std::error_code error) {
                if (error || self->ended_)
                    return;
                self->timed_out_ = true;
                self->child_.kill(); // the tree: the pipes close with it
            });
        }
    }

private:
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
            if (error) { // the end, or the drain time over
                self->streams_[n].reset();
                self->piece_done();
                return;
            }
            self->read(n);
        });
    }

    void child_ended()
    {
        if (ended_)
            return; // a cancel ended the run first
        ended_ = true;
        timer_.cancel();
        if (cancel_)
            cancel_->cancel();
        // What the child left running may hold its outputs open: they get
        // drain_ms, as a capture's do, and no more.
        if (streams_[1] || streams_[2]) {
            auto self = this->shared_from_this();
            timer_.expires_after(std::chrono::milliseconds(timed_out_ || cancelled_ ? 0 : choices_.drain_ms.value_or(1000)));
            timer_.async_wait([self](std::error_code error) {
                if (!error)
                    self->stop_reading();
            });
        }
        piece_done();
    }

    void stop_reading()
    {
        for (int n = 0; n < 3; ++n)
            if (streams_[n])
                streams_[n]->cancel();
    }

    void piece_done()
    {
        if (--pending_ > 0)
            return;
        timer_.cancel();
        if (cancelled_) {
            process_->cancel();
            told_.kind = PROCFERRY_CANCELLED;
            told_.words = outcome_words(program_, told_);
        } else {
            result end = ended(program_, told_.pid, process_->native_handle());
            told_.kind = timed_out_ ? PROCFERRY_TIMED_OUT : end.kind;
            told_.exit_status = timed_out_ ? 0 : end.exit_status;
            told_.win32_error = end.win32_error;
            told_.words = timed_out_ ? outcome_words(program_, told_, choices_.timeout_ms) : end.words;
            if (!timed_out_ && end.kind == PROCFERRY_EXITED)
                told_.pid = 0;
        }
        complete(std::move(handler_), executor_, std::move(told_));
    }

    Handler handler_;
    Executor executor_;
    child child_;
    std::string input_;
    capture_options choices_;
    std::string program_;
    asio::steady_timer timer_;
    std::optional<asio::windows::object_handle> process_, cancel_;
    std::array<std::optional<asio::windows::stream_handle>, 3> streams_;
    std::array<std::array<char, 65536>, 3> buffers_;
    captured told_;
    int pending_ = 0;
    bool ended_ = false, timed_out_ = false, cancelled_ = false;
};

// Starts a capture's child with overlapped pipe ends, the streams chosen as
// procferry::capture chooses them, and what it refuses refused.
inline started async_capture_start(const path_text &program, const arguments &args,
                                   const capture_options &choices, bool has_input)
{
    options run = choices;
    run.flags |= PROCFERRY_OVERLAPPED_PIPES;
    const procferry_stream *given = choices.streams.data();
    const char *why = given[1].kind != PROCFERRY_STREAM_INHERIT ? "a capture keeps stdout; choose no stream for it"
                      : choices.stderr_to_stdout && given[2].kind != PROCFERRY_STREAM_INHERIT
                          ? "stderr_to_stdout is set and stderr is chosen as well; give one"
                      : has_input && given[0].kind != PROCFERRY_STREAM_INHERIT
                          ? "input is given and stdin is chosen as well; give one"
                          : nullptr;
    if (why) {
        start_request request(program.wide(), args.wide(), run, PROCFERRY_NO_WAIT);
        return refused<started>(request, why);
    }
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
// awaited, with no thread of the library's. Completes with the captured run:
// EXITED with the status, TIMED_OUT past options.timeout_ms (the tree
// ended), CANCELLED once options.cancel is (the tree ended unless
// leave_running_when_cancelled), or why nothing ran.
template <class Where, class Token>
auto async_capture(Where &&where, const path_text &program, const arguments &args,
                   const capture_options &choices, std::string_view input, Token &&token)
{
    auto executor = detail::executor_of(where);
    return asio::async_initiate<Token, void(captured)>(
        [executor, choices](auto handler, started run, std::string input, std::string name) {
            using handler_type = decltype(handler);
            if (!run.process.valid()) {
                captured refused;
                static_cast<result &>(refused) = run;
                detail::complete(std::move(handler), executor, std::move(refused));
                return;
            }
            auto capture = std::make_shared<detail::async_capture_run<handler_type, decltype(executor)>>(
                std::move(handler), executor, std::move(run), std::move(input), choices, std::move(name));
            capture->begin();
        },
        token, detail::async_capture_start(program, args, choices, !input.empty()), std::string(input),
        program.utf8_ok() ? to_utf8(program.wide()) : program.given());
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
