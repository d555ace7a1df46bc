// procferry on an Asio event loop: a child's end awaited, pipe ends read and
// written, and a whole capture run on the caller's io_context, with no thread
// of the library's (a capture's start runs on the system's thread pool).
// Optional: it needs standalone Asio (<asio.hpp>, 1.22 or later; not
// Boost's), _WIN32_WINNT 0x0601 or later, and ws2_32 and mswsock at link
// time. Include it before <windows.h>, or define WIN32_LEAN_AND_MEAN,
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

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "procferry/process.hpp"
#include "procferry/run_machine.h"

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

// The run machine's clock: milliseconds of the steady clock.
inline uint64_t run_clock_ms()
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One capture on an event loop, as an engine of the run machine
// (procferry/run_machine.h): each completion (a read, a write, the child's
// end, the timer, the cancel) is told to the machine, and its answer carried
// out; the rules are all the machine's. Completions run on a strand of the
// caller's executor, so any number of threads may run the loop.
template <class Handler, class Executor>
class async_capture_run : public std::enable_shared_from_this<async_capture_run<Handler, Executor>> {
public:
    async_capture_run(Handler handler, const Executor &executor, const capture_options &choices,
                      std::string input, std::string program)
        : handler_(std::move(handler)), executor_(executor), strand_(asio::make_strand(executor)),
          input_(std::move(input)), program_(std::move(program)), cancel_signal_(choices.cancel),
          timer_(strand_)
    {
        pf_run_init(&run_, choices.timeout_ms, choices.drain_ms.value_or(PF_RUN_DEFAULT_DRAIN_MS),
                    choices.stdout_cap ? choices.stdout_cap : PF_RUN_DEFAULT_CAP,
                    choices.stderr_cap ? choices.stderr_cap : PF_RUN_DEFAULT_CAP, input_.size(),
                    choices.leave_running_when_cancelled);
        run_.keep_input = choices.console_size.columns != 0;
    }

    // Its handlers went before the run's end (their io_context was destroyed
    // with the run pending): nothing watches the tree any more, so it goes
    // too, unless a cancel left it running as asked.
    ~async_capture_run()
    {
        if (run_.phase != PF_RUN_DONE && !(run_.cancelled && run_.leave_running))
            child_.kill();
    }

    // The time limit counts from here, before the start. False when nothing
    // is to start: the run is over already (cancelled) and completes so.
    bool begin()
    {
        begun_ = pf_run_begin(&run_, run_clock_ms(), cancel_signal_ && cancel_signal_->cancelled());
        if (begun_.finish)
            deliver(false);
        return begun_.start;
    }

    // A start made on another thread: its outcome goes to the run's strand;
    // one whose loop is gone before it is carried out ends the child there.
    void start_made(started &&run)
    {
        struct handed {
            started run;
            handed(started &&made) : run(std::move(made)) {}
            handed(handed &&) = default;
            ~handed()
            {
                if (run.process.valid())
                    run.process.kill();
            }
        };
        asio::post(strand_, [self = this->shared_from_this(), made = handed(std::move(run))]() mutable {
            self->run_started(std::move(made.run));
        });
    }

    void run_started(started &&run)
    {
        DWORD error = 0;
        HANDLE copy = run.process.valid() ? waitable_copy((HANDLE)run.process.handle(),
                                                          SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, &error)
                                          : nullptr;
        if (!copy) {
            pf_run_start_failed(&run_);
            captured failed;
            static_cast<result &>(failed) = run;
            if (run.process.valid()) { // a child that cannot be waited for is not left to run unseen
                run.process.kill();
                failed.kind = PROCFERRY_SYSTEM_ERROR;
                failed.win32_error = error;
                failed.words = "cannot capture " + program_ + ": its process handle could not be copied";
            }
            complete(std::move(handler_), executor_, std::move(failed), false);
            return;
        }
        process_.emplace(strand_, copy);
        child_ = std::move(run.process);
        told_.pid = run.pid;
        for (int n = 0; n < 3; ++n)
            if (run.pipes[n].valid())
                streams_[n].emplace(strand_, (HANDLE)run.pipes[n].release());
        HANDLE event = cancel_signal_ ? (HANDLE)procferry_cancel_handle(cancel_signal_->get()) : nullptr;
        if (event && (event = waitable_copy(event, SYNCHRONIZE, &error)))
            cancel_.emplace(strand_, event);
        auto self = this->shared_from_this();
        asio::dispatch(strand_, [self] { self->on_started(); });
    }

private:
    void on_started()
    {
        auto self = this->shared_from_this();
        ++pending_;
        process_->async_wait([self](std::error_code error) {
            --self->pending_;
            DWORD status = 0;
            if (!error && GetExitCodeProcess(self->process_->native_handle(), &status))
                self->carry_out(pf_run_child_end(&self->run_, run_clock_ms(), status));
            self->settled();
        });
        if (cancel_) {
            ++pending_;
            cancel_->async_wait([self](std::error_code error) {
                --self->pending_;
                if (!error)
                    self->carry_out(pf_run_cancel(&self->run_, run_clock_ms()));
                self->settled();
            });
        }
        carry_out(begun_);
        carry_out(pf_run_started(&run_, run_clock_ms(), streams_[0].has_value(), streams_[1].has_value(),
                                 streams_[2].has_value()));
    }

    void carry_out(const pf_run_actions &act)
    {
        for (int n = 0; n < 3; ++n)
            if (act.close[n])
                close(n);
        for (int n = 1; n < 3; ++n)
            if (act.read[n])
                read(n);
        if (act.write)
            write();
        if (act.end_tree)
            child_.kill();
        if (act.arm_timer)
            arm_timer(act.timer_at);
        if (act.finish)
            finish();
    }

    void read(int n)
    {
        if (!streams_[n] || busy_[n])
            return;
        busy_[n] = true;
        ++pending_;
        auto self = this->shared_from_this();
        streams_[n]->async_read_some(asio::buffer(buffers_[n]), [self, n](std::error_code error, size_t count) {
            self->busy_[n] = false;
            --self->pending_;
            if (count) {
                size_t keep = 0;
                pf_run_actions act = pf_run_read(&self->run_, n, count, &keep);
                (n == 1 ? self->told_.out : self->told_.err).append(self->buffers_[n].data(), keep);
                self->carry_out(act);
            }
            // The end (ERROR_BROKEN_PIPE: every writer gone), a failure, or
            // the read cancelled by a close.
            if (error)
                self->carry_out(pf_run_stream_end(&self->run_, n));
            self->stream_returned(n, error);
        });
    }

    void write()
    {
        if (!streams_[0] || busy_[0])
            return;
        busy_[0] = true;
        ++pending_;
        auto self = this->shared_from_this();
        asio::const_buffer rest(input_.data() + run_.written, input_.size() - run_.written);
        streams_[0]->async_write_some(rest, [self](std::error_code error, size_t count) {
            self->busy_[0] = false;
            --self->pending_;
            if (count || !error)
                self->carry_out(pf_run_written(&self->run_, count));
            if (error)
                self->carry_out(pf_run_stream_end(&self->run_, 0));
            self->stream_returned(0, error);
        });
    }

    // A stream is closed only once no operation of its is out, so that each
    // handler finds its stream still there.
    void close(int n)
    {
        if (!streams_[n])
            return;
        closing_[n] = true;
        if (busy_[n])
            streams_[n]->cancel();
        else
            streams_[n].reset();
    }

    void stream_returned(int n, std::error_code error)
    {
        if (streams_[n] && !busy_[n] && (error || closing_[n]))
            streams_[n].reset();
        settled();
    }

    // The one timer: a new time replaces the wait for the earlier one, and a
    // wait that came due just before it was replaced is not told.
    void arm_timer(uint64_t at)
    {
        timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::milliseconds((int64_t)at)));
        unsigned armed = ++timer_armed_;
        ++pending_;
        auto self = this->shared_from_this();
        timer_.async_wait([self, armed](std::error_code error) {
            --self->pending_;
            if (!error && armed == self->timer_armed_)
                self->carry_out(pf_run_timer(&self->run_, run_clock_ms()));
            self->settled();
        });
    }

    // The machine closed what it had open; every other operation still out
    // is called back, so that the handler comes last.
    void finish()
    {
        for (int n = 0; n < 3; ++n)
            close(n);
        ++timer_armed_;
        timer_.cancel();
        if (process_)
            process_->cancel();
        if (cancel_)
            cancel_->cancel();
        settled();
    }

    void settled()
    {
        if (run_.phase == PF_RUN_DONE && pending_ == 0 && !delivered_)
            deliver(true);
    }

    // The captured run, as the machine's end tells it.
    void deliver(bool done)
    {
        delivered_ = true;
        const pf_run_end &end = run_.end;
        told_.kind = end.kind;
        told_.ended_by = end.ended_by;
        told_.out_capped = run_.capped[1] != 0;
        told_.err_capped = run_.capped[2] != 0;
        if (end.kind == PROCFERRY_EXITED)
            told_.exit_status = end.exit_status;
        told_.words = end.kind == PROCFERRY_TIMED_OUT ? outcome_words(program_, told_, end.timeout_ms)
                                                      : outcome_words(program_, told_);
        if (end.kind == PROCFERRY_EXITED) // the pid is kept for a tree that may still be there
            told_.pid = 0;
        complete(std::move(handler_), executor_, std::move(told_), done);
    }

    Handler handler_;
    Executor executor_;
    asio::strand<Executor> strand_;
    std::string input_;
    std::string program_;
    std::optional<canceller> cancel_signal_;
    pf_run run_;
    pf_run_actions begun_ = pf_run_none();
    child child_;
    asio::steady_timer timer_;
    std::optional<asio::windows::object_handle> process_, cancel_;
    std::array<std::optional<asio::windows::stream_handle>, 3> streams_;
    std::array<std::array<char, 65536>, 3> buffers_;
    std::array<bool, 3> busy_{}, closing_{};
    captured told_;
    unsigned timer_armed_ = 0;
    int pending_ = 0;
    bool delivered_ = false;
};

// Starts a capture's child with overlapped pipe ends and the streams chosen
// as procferry::capture chooses them, once async_capture has found nothing
// a capture refuses.
inline started async_capture_start(const path_text &program, const arguments &args,
                                   const capture_options &choices, bool has_input, const procferry_cancel *cancel)
{
    options run = choices;
    run.flags |= PROCFERRY_OVERLAPPED_PIPES;
    if (choices.cancel && choices.cancel->cancelled()) { // nothing starts
        started none;
        none.kind = PROCFERRY_CANCELLED;
        none.words = outcome_words(program.utf8(), none);
        return none;
    }
    if (choices.stderr_to_stdout)
        run.streams[2] = merge_with_stdout();
    procferry_stream given[3] = {run.streams[0], run.streams[1], run.streams[2]};
    pf_run_streams(given, choices.console_size.columns != 0, has_input, run.streams.data());
    // A cancel ends the wait for a relay's answer, as a capture's does.
    return start_cancellable(program, args, run, cancel, run.timeout_ms);
}

// The starts of the captures on one execution context, made off its loop:
// a start waits for the new process to come up (through the relay, for its
// answer too), tens of milliseconds under load, which on the loop would
// hold every other completion and make a batch of children start one by
// one. They run on the system's thread pool instead, side by side. Each
// holds a cancel of its own, which the caller's cancel sets; a context
// going away sets them all, waits for the starts still out, and ends what
// they started.
struct starts_out {
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<procferry_cancel *> cancels;
    bool closing = false;

    // Counts a start in; false once the context is going.
    bool enter(procferry_cancel *own)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closing)
            return false;
        cancels.push_back(own);
        return true;
    }

    // Runs hand_on unless the context is going, and says whether it ran:
    // under the lock, so that nothing is posted to a context past its
    // shutdown.
    template <class HandOn>
    bool hand_on(HandOn &&hand_on)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!closing)
            hand_on();
        return !closing;
    }

    // Counts a start out, once nothing of its touches the context any more.
    void leave(procferry_cancel *own)
    {
        std::lock_guard<std::mutex> lock(mutex);
        cancels.erase(std::find(cancels.begin(), cancels.end(), own));
        procferry_cancel_free(own);
        if (cancels.empty())
            idle.notify_all();
    }
};

// The count kept with the context; each start holds it too, so that it
// outlives the last start's leave, which may still be unlocking as the
// context goes.
class start_service : public asio::execution_context::service {
public:
    inline static asio::execution_context::id id;

    explicit start_service(asio::execution_context &context) : asio::execution_context::service(context) {}

    const std::shared_ptr<starts_out> out = std::make_shared<starts_out>();

private:
    void shutdown() override
    {
        std::unique_lock<std::mutex> lock(out->mutex);
        out->closing = true;
        for (procferry_cancel *own : out->cancels)
            procferry_cancel_signal(own);
        out->idle.wait(lock, [this] { return out->cancels.empty(); });
    }
};

// One start on the thread pool. The loop's work stays counted until the
// last of it is gone (it is the first member, so the last to go).
template <class Run, class Work>
struct pooled_start {
    Work work;
    std::shared_ptr<starts_out> out;
    std::shared_ptr<Run> run;
    procferry_cancel *own;
    path_text program;
    arguments args;
    capture_options choices;
    bool has_input;
    started failure; // told when memory runs out on the pool's thread
    HANDLE follow = nullptr; // the caller's cancel, passed on to own

    ~pooled_start()
    {
        if (follow)
            UnregisterWaitEx(follow, INVALID_HANDLE_VALUE);
    }

    static void CALLBACK follow_cancel(void *own, BOOLEAN) { procferry_cancel_signal((procferry_cancel *)own); }

    static void CALLBACK run_start(PTP_CALLBACK_INSTANCE instance, void *context)
    {
        CallbackMayRunLong(instance); // a relay's answer may be long in coming
        pooled_start *task = (pooled_start *)context;
        std::shared_ptr<starts_out> out = task->out;
        procferry_cancel *own = task->own;
        {
            std::unique_ptr<pooled_start> held(task);
            // Nothing may leave the pool's thread: memory running out is
            // told as the failure made beforehand.
            started made = std::move(held->failure);
            try {
                made = async_capture_start(held->program, held->args, held->choices, held->has_input, own);
            } catch (...) {
            }
            try {
                out->hand_on([&] { held->run->start_made(std::move(made)); });
            } catch (...) {
            }
            if (made.process.valid()) // not handed on: its loop is gone
                made.process.kill();
        } // the run, the texts and then the work go before the start is counted out
        out->leave(own);
    }
};

// Starts a capture's child off the loop, or on the caller's thread when the
// pool cannot take it.
template <class Run, class Executor>
void start_off_loop(const Executor &executor, const std::shared_ptr<Run> &run, const path_text &program,
                    const arguments &args, const capture_options &choices, bool has_input)
{
    std::shared_ptr<starts_out> out =
        asio::use_service<start_service>(asio::query(executor, asio::execution::context)).out;
    using task_type = pooled_start<Run, decltype(asio::prefer(executor, asio::execution::outstanding_work.tracked))>;
    started failure;
    failure.kind = PROCFERRY_SYSTEM_ERROR;
    failure.win32_error = ERROR_NOT_ENOUGH_MEMORY;
    failure.words = "cannot capture " + program.utf8() + ": memory ran out before the start";
    procferry_cancel *own = procferry_cancel_make();
    std::unique_ptr<task_type> task;
    try {
        if (own)
            task.reset(new task_type{asio::prefer(executor, asio::execution::outstanding_work.tracked), out, run,
                                     own, program, args, choices, has_input, std::move(failure)});
    } catch (...) {
        procferry_cancel_free(own);
        throw;
    }
    if (task && out->enter(own)) {
        HANDLE given = choices.cancel ? (HANDLE)procferry_cancel_handle(choices.cancel->get()) : nullptr;
        if ((!given || RegisterWaitForSingleObject(&task->follow, given, task->follow_cancel, own, INFINITE,
                                                   WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD)) &&
            TrySubmitThreadpoolCallback(task->run_start, task.get(), nullptr)) {
            task.release();
            return;
        }
        task.reset();
        out->leave(own);
    } else {
        task.reset();
        procferry_cancel_free(own);
    }
    run->run_started(async_capture_start(program, args, choices, has_input,
                                         choices.cancel ? choices.cancel->get() : nullptr));
}

} // namespace detail

// A capture (see procferry::capture) run on the caller's event loop: stdout
// and stderr are read together as they come, the input written, and the end
// awaited, with no thread of the library's. The child is started when the
// operation is initiated (at once for a function or use_future; at the
// co_await for use_awaitable), on the system's thread pool, so that the
// loop never waits for a start and many start side by side (the start's
// outcome is posted to the loop from there, so a loop made with
// ASIO_CONCURRENCY_HINT_UNSAFE will not do). Completes with
// the captured run: EXITED with the status, TIMED_OUT past
// options.timeout_ms (the tree ended), CANCELLED once options.cancel is (the
// tree ended unless
// leave_running_when_cancelled), or why nothing ran; ended_by says what the
// library did. An io_context destroyed with the capture pending ends the
// tree too, unless a cancel left it running.
template <class Where, class Token>
auto async_capture(Where &&where, const path_text &program, const arguments &args,
                   const capture_options &choices, std::string_view input, Token &&token)
{
    auto executor = detail::executor_of(where);
    return asio::async_initiate<Token, void(captured)>(
        [executor, program, args, choices, input = std::string(input)](auto handler) mutable {
            using handler_type = decltype(handler);
            bool has_input = !input.empty();
            // What a capture refuses comes first, a cancel after it, as in a capture.
            if (std::optional<captured> refused = detail::capture_refused<captured>(program, args, choices, has_input)) {
                detail::complete(std::move(handler), executor, std::move(*refused), false);
                return;
            }
            std::string name = program.utf8();
            auto capture = std::make_shared<detail::async_capture_run<handler_type, decltype(executor)>>(
                std::move(handler), executor, choices, std::move(input), std::move(name));
            if (capture->begin())
                detail::start_off_loop(executor, capture, program, args, choices, has_input);
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
