// Captures a child's output and its end with one co_await on an Asio event
// loop (C++20 coroutines, standalone Asio). The arguments are declared before
// the co_await: GCC 12 refuses a braced list of them written inside it
// ("array used as initializer").
#include <procferry/asio.hpp>

#include <future>
#include <iostream>

asio::awaitable<int> capture_cmd()
{
    auto io = co_await asio::this_coro::executor;
    procferry::arguments a{"/c", "echo one& echo two& exit 3"};
    procferry::captured c = co_await procferry::async_capture(io, "cmd", a, {}, asio::use_awaitable);
    std::cout << c.out << c.words << "\n"; // one, two, then: cmd exited with status 3
    co_return c.status().value_or(1);
}

int main()
{
    asio::io_context io;
    std::future<int> status = asio::co_spawn(io, capture_cmd(), asio::use_future);
    io.run();
    return status.get();
}
