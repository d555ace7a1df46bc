// Starts a program, prints its output line by line as it comes, then its
// end, all on one Asio thread (C++20 coroutines, standalone Asio).
// Usage: asio_lines PROGRAM [ARGUMENTS...]
#include <procferry/asio.hpp>

#include <future>
#include <iostream>

asio::awaitable<int> run(std::string program, std::vector<std::string> args)
{
    auto io = co_await asio::this_coro::executor;
    procferry::options o;
    o.flags = PROCFERRY_OVERLAPPED_PIPES; // an end a completion port can take
    procferry::started s = procferry::start(program, args, o.out(procferry::pipe()));
    if (!s.process.valid())
        co_return (std::cerr << s.words << "\n", 127);
    asio::windows::stream_handle out = procferry::as_stream(io, std::move(s.pipes[1]));
    std::string text;
    try {
        for (;;) {
            size_t line = co_await asio::async_read_until(out, asio::dynamic_buffer(text), '\n', asio::use_awaitable);
            std::cout << "> " << text.substr(0, line);
            text.erase(0, line);
        }
    } catch (const std::system_error &) { // the end of its output
    }
    procferry::result ended = co_await procferry::async_wait(io, s.process, asio::use_awaitable);
    std::cout << ended.words << "\n";
    co_return ended.status().value_or(1);
}

int main(int argc, char **argv)
{
    asio::io_context io;
    std::vector<std::string> args(argv + (argc > 2 ? 2 : argc), argv + argc);
    std::future<int> status = asio::co_spawn(io, run(argc > 1 ? argv[1] : "", args), asio::use_future);
    io.run();
    return status.get();
}
