// A child in a pseudo console: what it shows, what it is typed, its size,
// its end, and a console that never waits on its reader. wine connects no
// standard handle to a pseudo console, so the child (console_child) opens
// CONOUT$ and CONIN$ itself; wine does not pass a new size on to the child
// either, so a resize is held to its result alone.
#include <windows.h>

#include <chrono>
#include <regex>
#include <thread>

#include "procferry/process.hpp"
#include "relay_fixture.h"

namespace {

std::wstring console_child()
{
    return parent::own_directory() + L"console_child.exe";
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// What the console showed until its end, within the tests' limit.
std::string screen_to_end(procferry::pipe_end &screen)
{
    std::string shown;
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(parent::wait_limit_ms(30000));
    while (std::chrono::steady_clock::now() < limit) {
        std::optional<std::string> piece = screen.read_for(parent::wait_limit_ms(1000));
        if (piece && piece->empty())
            return shown;
        if (piece)
            shown += *piece;
    }
    ADD_FAILURE() << "the console's output did not end";
    return shown;
}

procferry::options in_console() { return procferry::options().console({100, 30}); }

} // namespace

// What the child shows comes as VT text, its end follows the child's, and
// its status is its own; what is typed reaches it; the read-until helper
// waits for a prompt.
TEST(Console, ShowsTheChildsScreenTakesItsKeysAndEndsAfterIt)
{
    procferry::started shown = procferry::start(console_child(), {L"size", L"exit", L"3"}, in_console());
    ASSERT_EQ(shown.kind, PROCFERRY_STARTED) << shown.words;
    std::string screen = screen_to_end(shown.pipes[1]);
    EXPECT_TRUE(contains(screen, "size ")) << screen;
    EXPECT_TRUE(contains(screen, "\x1b[")) << "VT sequences: " << screen;
    EXPECT_EQ(shown.process.wait(parent::wait_limit_ms(10000)).status(), std::optional<uint32_t>(3));
    // stderr kept apart from the screen, in a pipe of its own.
    procferry::started apart = procferry::start(console_child(), {L"err", L"lines", L"1"}, in_console().err(procferry::pipe()));
    ASSERT_EQ(apart.kind, PROCFERRY_STARTED) << apart.words;
    EXPECT_EQ(apart.pipes[2].read_all(), "to stderr\r\n");
    std::string beside = screen_to_end(apart.pipes[1]);
    EXPECT_TRUE(contains(beside, "line 1 of 1 ") && !contains(beside, "to stderr")) << beside;
    EXPECT_TRUE(apart.process.wait(parent::wait_limit_ms(10000)).success());

    procferry::started typed = procferry::start(console_child(), {L"echo"}, in_console());
    ASSERT_EQ(typed.kind, PROCFERRY_STARTED) << typed.words;
    // The console shows a prompt's last blank as a move of the cursor.
    ASSERT_TRUE(typed.pipes[1].read_until("ready>", parent::wait_limit_ms(10000)));
    ASSERT_TRUE(typed.pipes[0].write("hello\r"));
    EXPECT_TRUE(typed.pipes[1].read_until(std::regex("got: hel+o"), parent::wait_limit_ms(10000)));
    EXPECT_TRUE(typed.pipes[1].read_until("ready>", parent::wait_limit_ms(10000)));
    typed.pipes[0].write("quit\r");
    EXPECT_TRUE(typed.process.wait(parent::wait_limit_ms(10000)).success());
    // A prompt that never comes: none, within the time.
    procferry::started silent = procferry::start(console_child(), {L"hold", L"60000"}, in_console());
    EXPECT_FALSE(silent.pipes[1].read_until("never shown", 300));
    EXPECT_TRUE(silent.process.kill());
}

// 200 KB of lines all come through, the last one included, before the end.
TEST(Console, EveryLineComesThroughTheLastIncluded)
{
    procferry::started s = procferry::start(console_child(), {L"lines", L"2000"}, in_console());
    ASSERT_EQ(s.kind, PROCFERRY_STARTED) << s.words;
    std::string screen = screen_to_end(s.pipes[1]);
    size_t at = 0;
    int missing = 0;
    for (int n = 1; n <= 2000; ++n) {
        size_t found = screen.find("line " + std::to_string(n) + " of 2000 ", at);
        if (found == std::string::npos)
            ++missing;
        else
            at = found;
    }
    EXPECT_EQ(missing, 0) << screen.size() << " bytes shown";
    EXPECT_TRUE(contains(screen, "line 2000 of 2000 ")) << "the last line";
    EXPECT_TRUE(s.process.wait(parent::wait_limit_ms(10000)).success());
}

// Nobody reads: a kill and the close of everything still return at once,
// the tree ends, and the output's end follows.
TEST(Console, AKillNeverWaitsOnTheReaderAndEndsTheTree)
{
    procferry::started s =
        procferry::start(console_child(), {L"spawn", L"lines", L"3000", L"hold", L"60000"}, in_console());
    ASSERT_EQ(s.kind, PROCFERRY_STARTED) << s.words;
    Sleep(parent::wait_limit_ms(1000)); // it has written more than a pipe holds
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(s.process.kill(7));
    EXPECT_EQ(s.process.wait(parent::wait_limit_ms(5000)).status(), std::optional<uint32_t>(7));
    s.process.close();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(parent::wait_limit_ms(2000)))
        << "kill and close waited";
    std::string screen = screen_to_end(s.pipes[1]);
    std::smatch grandchild;
    ASSERT_TRUE(std::regex_search(screen, grandchild, std::regex("grandchild ([0-9]+)"))) << screen.substr(0, 400);
    HANDLE held = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)std::stoul(grandchild[1]));
    if (held) {
        EXPECT_EQ(WaitForSingleObject(held, parent::wait_limit_ms(5000)), WAIT_OBJECT_0) << "the grandchild runs on";
        CloseHandle(held);
    }
    // A stop: a console child in a console of its own has no window and no
    // group to ask, so its tree is ended at once.
    procferry::started stopped = procferry::start(console_child(), {L"hold", L"60000"}, in_console());
    ASSERT_EQ(stopped.kind, PROCFERRY_STARTED) << stopped.words;
    EXPECT_EQ(stopped.process.stop(parent::wait_limit_ms(500), 9), PROCFERRY_STOPPED_UNASKED);
    EXPECT_EQ(stopped.process.wait(parent::wait_limit_ms(5000)).ended_by, PROCFERRY_ENDED_ON_STOP);
    screen_to_end(stopped.pipes[1]);
    // The caller drops its ends unread: nothing waits on them.
    procferry::started dropped = procferry::start(console_child(), {L"lines", L"3000"}, in_console());
    ASSERT_EQ(dropped.kind, PROCFERRY_STARTED);
    dropped.pipes[1].close();
    EXPECT_TRUE(dropped.process.wait(parent::wait_limit_ms(20000)).success()) << "it wrote on to its end";
}

// A capture in a console keeps what it showed, with the time limit and the
// cancel of any capture.
TEST(Console, ACaptureKeepsTheScreenWithItsLimitAndCancel)
{
    procferry::capture_options o;
    o.console({80, 25});
    procferry::captured ran = procferry::capture(console_child(), {L"lines", L"5", L"exit", L"4"}, o);
    EXPECT_TRUE(ran.exited()) << ran.words;
    EXPECT_EQ(ran.status(), std::optional<uint32_t>(4));
    EXPECT_TRUE(contains(ran.out, "line 5 of 5 ")) << ran.out;

    o.timeout_ms = parent::wait_limit_ms(2000);
    procferry::captured late = procferry::capture(console_child(), {L"lines", L"5", L"hold", L"60000"}, o);
    EXPECT_TRUE(late.timed_out()) << late.words;
    EXPECT_TRUE(contains(late.out, "line 5 of 5 ")) << late.out;

    procferry::canceller cancel;
    o.timeout_ms = PROCFERRY_INFINITE;
    o.cancel = cancel;
    std::thread later([&] {
        Sleep(parent::wait_limit_ms(1000));
        cancel.cancel();
    });
    procferry::captured cancelled = procferry::capture(console_child(), {L"lines", L"5", L"hold", L"60000"}, o);
    later.join();
    EXPECT_EQ(cancelled.kind, PROCFERRY_CANCELLED) << cancelled.words;
    EXPECT_EQ(cancelled.ended_by, PROCFERRY_ENDED_ON_CANCEL);
}

// A resize gives its result (wine does not pass the size on to the child);
// what cannot be, is refused with words: a child without a console, a
// console through the relay, a console on a start that waits, stdout chosen.
TEST(Console, AResizeAndWhatAConsoleStartRefuses)
{
    procferry::started s = procferry::start(console_child(), {L"hold", L"60000"}, in_console());
    ASSERT_EQ(s.kind, PROCFERRY_STARTED) << s.words;
    // wine 8 has no resize (E_NOTIMPL): the refusal is told.
    std::string why;
    if (!s.process.resize(120, 40, &why)) {
        EXPECT_TRUE(contains(why, "the system refused the console's new size")) << why;
    }
    EXPECT_FALSE(s.process.resize(0, 40, &why));
    EXPECT_TRUE(contains(why, "both columns and rows")) << why;
    s.process.kill();
    s.process.wait(parent::wait_limit_ms(5000));

    procferry::started plain = procferry::start(console_child(), {L"hold", L"60000"});
    EXPECT_FALSE(plain.process.resize(120, 40, &why));
    EXPECT_TRUE(contains(why, "it has no pseudo console to resize")) << why;
    EXPECT_EQ(procferry_child_resize(nullptr, 1, 1), -1);
    plain.process.kill();

    struct row {
        procferry::options choices;
        const char *words;
    } rows[] = {
        {in_console(), "a console start hands over its console's ends"},
        {[] {
             procferry::options o = in_console();
             o.flags |= PROCFERRY_RELAY;
             return o;
         }(),
         "a pseudo console is given by a direct start only"},
        {in_console().out(procferry::null()), "stdout is the console's in a console start"},
        {procferry::options().console({80, 0}), "the console's size needs both columns and rows"},
    };
    for (const row &r : rows) {
        procferry::result refused = procferry::run(console_child(), {L"exit", L"5"}, r.choices);
        EXPECT_EQ(refused.kind, PROCFERRY_INVALID_ARGUMENT) << refused.words;
        EXPECT_TRUE(contains(refused.words, r.words)) << refused.words;
    }
}
