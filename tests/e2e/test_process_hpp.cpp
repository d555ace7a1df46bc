// The C++ layer (procferry/process.hpp) over real starts.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <future>
#include <list>
#include <set>
#include <thread>
#include <type_traits>

#include "procferry/process.hpp"
#include "relay_fixture.h"

namespace {

std::wstring probe()
{
    return parent::own_directory() + L"probe_child.exe";
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

// run, start and capture through the C++ layer: environment maps, input,
// both outputs, the child's handle owned and moved, failures as results.
TEST(ProcessHpp, RunStartAndCaptureGiveResultsWithWords)
{
    parent::clear_probe_env();
    procferry::options options;
    options.env = std::map<std::wstring, std::wstring>{{L"PROBE_EXIT", L"7"}};
    procferry::result ran = procferry::run(probe(), {L"a b"}, options);
    EXPECT_TRUE(ran.exited()) << ran.words;
    EXPECT_EQ(ran.exit_status, 7u);
    EXPECT_TRUE(contains(ran.words, "exited with status 7")) << ran.words;
    // run waits, whatever the flags say: no child is left behind unclosed.
    options.flags |= PROCFERRY_NO_WAIT;
    ran = procferry::run(probe(), {}, options);
    EXPECT_TRUE(ran.exited()) << ran.words;
    EXPECT_EQ(ran.exit_status, 7u);

    procferry::options echo;
    echo.env.set("PROBE_ECHO", "1").set("PROBE_WRITE", "1").unset("PROBE_EXIT");
    procferry::captured captured =
        procferry::capture(procferry::to_utf8(probe()), {}, echo, "typed in\n");
    EXPECT_TRUE(captured.exited()) << captured.words;
    EXPECT_EQ(captured.out, "probe-stdout\r\ntyped in\r\n");
    EXPECT_EQ(captured.err, "probe-stderr\r\n");
    EXPECT_FALSE(captured.out_capped);

    procferry::options sleeping;
    sleeping.env.set(L"PROBE_SLEEP_MS", L"20000");
    procferry::started started = procferry::start(probe(), {}, sleeping);
    ASSERT_EQ(started.kind, PROCFERRY_STARTED) << started.words;
    procferry::child child = std::move(started.process);
    EXPECT_FALSE(started.process.valid());
    EXPECT_NE(child.pid(), 0u);
    EXPECT_FALSE(child.wait(0).status().has_value()) << "still running";
    // Its end reported to a function of the caller's, on the system's pool.
    std::promise<uint32_t> ended;
    std::future<uint32_t> status = ended.get_future();
    ASSERT_TRUE(child.on_exit([&ended](uint32_t code) { ended.set_value(code); }));
    EXPECT_TRUE(child.kill(9));
    ASSERT_EQ(status.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(status.get(), 9u);
    EXPECT_EQ(child.wait(10000).status(), std::optional<uint32_t>(9));

    // Many children: the first to end, then all.
    std::vector<procferry::child> children;
    children.push_back(std::move(procferry::start(probe(), {}, sleeping).process));
    children.push_back(std::move(procferry::start(probe(), {}, {}).process));
    EXPECT_EQ(procferry::wait_any(children, 10000), std::optional<size_t>(1));
    EXPECT_FALSE(procferry::wait_all(children, 50));
    EXPECT_EQ(children[0].stop(100, 9), PROCFERRY_STOPPED_UNASKED) << "no one to ask";
    EXPECT_TRUE(procferry::wait_all(children, 10000));

    procferry::result missing = procferry::run("procferry-no-such-program", {"x"});
    EXPECT_EQ(missing.kind, PROCFERRY_LAUNCH_FAILED);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_TRUE(contains(missing.words, "procferry-no-such-program: not found on PATH"))
        << missing.words;

    // UTF-8 that is not UTF-8 is refused, never passed on changed.
    procferry::result invalid = procferry::run(procferry::to_utf8(probe()), {"\xff"});
    EXPECT_EQ(invalid.kind, PROCFERRY_INVALID_ARGUMENT);
    EXPECT_EQ(invalid.error, EINVAL);
    EXPECT_EQ(invalid.code(), std::error_code(PROCFERRY_INVALID_ARGUMENT, procferry::outcome_category()));
    EXPECT_EQ(invalid.code().message(), "invalid_argument");
    EXPECT_FALSE(ran.code());

    // Arguments from a vector of UTF-8 strings or views.
    std::vector<std::string> texts = {"x", "PROBE_EXIT"};
    ran = procferry::run(procferry::to_utf8(probe()), texts);
    EXPECT_TRUE(ran.exited()) << ran.words;
    std::vector<std::string_view> views(texts.begin(), texts.end());
    procferry::options brief;
    brief.env.set(L"PROBE_SLEEP_MS", L"20000");
    brief.timeout_ms = 300;
    ran = procferry::run(procferry::to_utf8(probe()), views, brief);
    EXPECT_TRUE(ran.timed_out()) << ran.words;
    procferry::captured late = procferry::capture(probe(), {}, brief);
    EXPECT_TRUE(late.timed_out()) << late.words;
    EXPECT_TRUE(contains(late.words, "still ran after 300ms")) << late.words;
    // The same numbers by C++ names, which compare with the C ones.
    EXPECT_TRUE(late.kind == procferry::kind::timed_out && late.ended_by == procferry::ended::at_time_limit);
    EXPECT_TRUE(ran.kind != procferry::kind::exited);
    EXPECT_STREQ(procferry::name(procferry::kind(late.kind)), "timed_out");
    EXPECT_STREQ(procferry::name(procferry::ended(late.ended_by)), "at_time_limit");
    EXPECT_STREQ(procferry::name(procferry::stopped::when_asked), "when_asked");
    EXPECT_STREQ(procferry::name(procferry::flag::overlapped_pipes), "overlapped_pipes");
    uint32_t flags = 0;
    flags |= procferry::flag::binary_streams;
    EXPECT_EQ(flags | procferry::flag::argv0, (uint32_t)(PROCFERRY_BINARY_STREAMS | PROCFERRY_ARGV0));
    std::set<std::string> flag_names;
    for (uint32_t bit = 1; bit <= PROCFERRY_OVERLAPPED_PIPES; bit <<= 1)
        flag_names.insert(procferry_flag_name(bit));
    EXPECT_EQ(flag_names.size(), 12u) << "a name of its own for each flag";
    EXPECT_EQ(flag_names.count("unknown"), 0u);
    EXPECT_STREQ(procferry_flag_name(PROCFERRY_ARGV0 | PROCFERRY_RELAY), "unknown");
    EXPECT_STREQ(procferry_stopped_name(0), "unknown");
    // A program name that is not UTF-8 is refused, whatever holds the arguments.
    EXPECT_EQ(procferry::run(std::string("\xff"), {"x"}).kind, PROCFERRY_INVALID_ARGUMENT);
    procferry::result bad_program = procferry::run(std::string("\xff"), texts);
    EXPECT_EQ(bad_program.kind, PROCFERRY_INVALID_ARGUMENT);
    EXPECT_TRUE(contains(bad_program.words, "the program's name is not UTF-8")) << bad_program.words;

    // A capture's own options are a type of their own (run and start do not
    // take them); two choices for one stream are refused, never one ignored.
    procferry::capture_options merged;
    merged.stderr_to_stdout = true;
    merged.streams[2] = procferry::null();
    procferry::captured twice = procferry::capture(probe(), {}, merged);
    EXPECT_EQ(twice.kind, PROCFERRY_INVALID_ARGUMENT) << "merged, and sent to the null device";
    EXPECT_TRUE(contains(twice.words, "stderr is chosen as well")) << twice.words;
    // What run() refuses points to the C++ call that takes it.
    procferry::options killing;
    killing.flags |= PROCFERRY_KILL_ON_CLOSE;
    for (const procferry::options &waited : {killing, procferry::options().out(procferry::pipe())}) {
        procferry::result refused = procferry::run(probe(), {}, waited);
        EXPECT_EQ(refused.kind, PROCFERRY_INVALID_ARGUMENT);
        EXPECT_TRUE(contains(refused.words, "in C++, procferry::start")) << refused.words;
    }
    procferry::options elsewhere;
    elsewhere.streams[1].kind = PROCFERRY_STREAM_NULL;
    EXPECT_EQ(procferry::capture(probe(), {}, elsewhere).kind, PROCFERRY_INVALID_ARGUMENT)
        << "a capture keeps stdout";
    // A choice a capture can honour: stderr to the null device.
    procferry::options quiet;
    quiet.env.set(L"PROBE_WRITE", L"1");
    quiet.streams[2].kind = PROCFERRY_STREAM_NULL;
    procferry::captured kept = procferry::capture(probe(), {}, quiet);
    EXPECT_TRUE(kept.exited()) << kept.words;
    EXPECT_EQ(kept.out, "probe-stdout\r\n");
    EXPECT_EQ(kept.err, "");
}

// A child's output line by line as it comes, and a pipeline: the first
// child's stdout is the second's stdin.
TEST(ProcessHpp, PipeEndsReadLinesAndJoinChildren)
{
    parent::clear_probe_env();
    procferry::options writer;
    writer.env.set(L"PROBE_WRITE", L"1");
    writer.streams[1].kind = PROCFERRY_STREAM_PIPE;
    procferry::started first = procferry::start(probe(), {}, writer);
    ASSERT_EQ(first.kind, PROCFERRY_STARTED) << first.words;

    procferry::options echo;
    echo.env.set(L"PROBE_ECHO", L"1");
    echo.streams[0] = {PROCFERRY_STREAM_HANDLE, 0, first.pipes[1].handle()};
    echo.streams[1].kind = PROCFERRY_STREAM_PIPE;
    procferry::started second = procferry::start(probe(), {}, echo);
    ASSERT_EQ(second.kind, PROCFERRY_STARTED) << second.words;
    first.pipes[1].close(); // the second child holds its own copy

    std::vector<std::string> lines;
    while (std::optional<std::string> line = second.pipes[1].read_line())
        lines.push_back(*line);
    EXPECT_EQ(lines, std::vector<std::string>{"probe-stdout"});
    EXPECT_EQ(first.process.wait(10000).status(), std::optional<uint32_t>(0));
    EXPECT_EQ(second.process.wait(10000).status(), std::optional<uint32_t>(0));

    // Written to a child's stdin, read back whole.
    procferry::options both;
    both.env.set(L"PROBE_ECHO", L"1");
    both.streams[0].kind = PROCFERRY_STREAM_PIPE;
    both.streams[1].kind = PROCFERRY_STREAM_PIPE;
    procferry::started echoing = procferry::start(probe(), {}, both);
    ASSERT_EQ(echoing.kind, PROCFERRY_STARTED) << echoing.words;
    EXPECT_TRUE(echoing.pipes[0].write("one\ntwo"));
    echoing.pipes[0].close();
    EXPECT_EQ(echoing.pipes[1].read_all(), "one\r\ntwo");
    EXPECT_EQ(echoing.process.wait(10000).status(), std::optional<uint32_t>(0));

    // A side channel of the caller's making, as the child's descriptor 3.
    procferry::pipe_pair side = procferry::make_pipe();
    ASSERT_TRUE(side.read.valid() && side.write.valid());
    procferry::options with_side;
    with_side.env.set(L"PROBE_FD_WRITE", L"3");
    with_side.extra_fds = {{PROCFERRY_STREAM_HANDLE, 0, side.write.handle()}};
    procferry::started sider = procferry::start(probe(), {}, with_side);
    ASSERT_EQ(sider.kind, PROCFERRY_STARTED) << sider.words;
    side.write.close();
    EXPECT_EQ(side.read.read_line(), std::optional<std::string>("fd 3"));
    EXPECT_EQ(side.read.read_line(), std::nullopt);
    EXPECT_EQ(sider.process.wait(10000).status(), std::optional<uint32_t>(0));
}

// Texts the library would take otherwise than given (cut at a zero, a name
// read up to an '=') are refused by every call, wide and UTF-8, before
// anything starts; the probe would leave its report at PROBE_OUT.
TEST(ProcessHpp, TextsTheLibraryWouldChangeAreRefused)
{
    parent::clear_probe_env();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring report = std::wstring(temp) + L"procferry-hpp-refused-" +
                                std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(report.c_str());
    const std::wstring zero_x(L"\0x", 2);
    const std::string zero_x8("\0x", 2);
    using env_change = std::function<void(procferry::environment &)>;
    struct row {
        const char *name;
        bool utf8;
        env_change change;
        std::wstring arg = L"ok", dir = L"";
        std::string arg8 = "ok";
        std::wstring program_tail = L""; // after the probe's path
        const char *words = ""; // what every call's words hold
    } rows[] = {
        {"a value not UTF-8", true, [](procferry::environment &e) { e.set("V", "bad\xff"); }, L"ok",
         L"", "ok", L"", "environment entry 2 is not UTF-8"},
        {"a name not UTF-8, unset", true, [](procferry::environment &e) { e.unset("\xc0\xaf"); },
         L"ok", L"", "ok", L"", "environment entry 2 is not UTF-8"},
        {"an argument not UTF-8", true, {}, L"ok", L"", "\xed\xa0\x80", L"",
         "argument 1 is not UTF-8"},
        {"an argument not UTF-8 past a zero", true, {}, L"ok", L"", zero_x8 + "\xc3" + zero_x8, L"",
         "argument 1 is not UTF-8"},
        {"a value not UTF-8 past a zero", true,
         [&](procferry::environment &e) { e.set("V", "a" + zero_x8 + "\xff"); }, L"ok", L"", "ok", L"",
         "environment entry 2 is not UTF-8"},
        {"empty name", false, [](procferry::environment &e) { e.set(L"", L"v"); }, L"ok", L"", "ok",
         L"", "environment entry 2 has a name the library would read otherwise"},
        {"'=' in a name", false, [](procferry::environment &e) { e.set(L"A=B", L"v"); }, L"ok", L"",
         "ok", L"", "environment entry 2 has a name the library would read otherwise"},
        {"'=' in a name unset", false, [](procferry::environment &e) { e.unset(L"KEEP=evil"); }, L"ok",
         L"", "ok", L"", "environment entry 2 has a name the library would read otherwise"},
        {"zero in a name", false, [&](procferry::environment &e) { e.set(L"KEEP" + zero_x, L"v"); },
         L"ok", L"", "ok", L"", "environment entry 2 has a name the library would read otherwise"},
        {"zero in a value", false, [&](procferry::environment &e) { e.set(L"V", L"a" + zero_x); },
         L"ok", L"", "ok", L"", "environment entry 2 holds a zero in its value"},
        {"zero in an argument", false, {}, L"a" + zero_x, L"", "ok", L"", "argument 1 holds a zero"},
        {"zero in the directory", false, {}, L"ok", parent::own_directory() + zero_x, "ok", L"",
         "the directory holds a zero"},
        {"zero in the program", false, {}, L"ok", L"", "ok", zero_x, "the program's name holds a zero"},
        {"empty name, UTF-8", true, [](procferry::environment &e) { e.set("", "v"); }, L"ok", L"", "ok",
         L"", "environment entry 2 has a name the library would read otherwise"},
        {"'=' in a name, UTF-8", true, [](procferry::environment &e) { e.set("A=B", "v"); }, L"ok", L"",
         "ok", L"", "environment entry 2 has a name the library would read otherwise"},
        {"'=' in a name unset, UTF-8", true, [](procferry::environment &e) { e.unset("KEEP=evil"); },
         L"ok", L"", "ok", L"", "environment entry 2 has a name the library would read otherwise"},
        {"zero in a name, UTF-8", true,
         [&](procferry::environment &e) { e.set("KEEP" + zero_x8, "v"); }, L"ok", L"", "ok", L"", "environment entry 2 has a name the library would read otherwise"},
        {"zero in a value, UTF-8", true, [&](procferry::environment &e) { e.set("V", "a" + zero_x8); },
         L"ok", L"", "ok", L"", "environment entry 2 holds a zero in its value"},
        {"zero in an argument, UTF-8", true, {}, L"ok", L"", "a" + zero_x8, L"",
         "argument 1 holds a zero"},
        {"zero in the program, UTF-8", true, {}, L"ok", L"", "ok", zero_x,
         "the program's name holds a zero"},
        {"a null value", true, [](procferry::environment &e) { e.set("V", NULL); }, L"ok", L"", "ok",
         L"", "environment entry 2 has a null pointer as its value"},
        {"a null value, UTF-16", false, [](procferry::environment &e) { e.set(L"V", (const wchar_t *)NULL); },
         L"ok", L"", "ok", L"", "environment entry 2 has a null pointer as its value"},
        // The first change refused is the one named, whatever came after it.
        {"a bad name, then a value not UTF-8", true,
         [](procferry::environment &e) { e.set("A=B", "v").set("V", "bad\xff"); }, L"ok", L"", "ok",
         L"", "environment entry 2 has a name the library would read otherwise"},
    };
    for (const row &r : rows) {
        procferry::options options;
        options.timeout_ms = 15000;
        options.dir = r.dir;
        options.env.set(L"PROBE_OUT", report);
        if (r.change)
            r.change(options.env);
        const std::wstring program = probe() + r.program_tail;
        const std::string program8 = procferry::to_utf8(program);
        procferry::result outcomes[3];
        procferry::started started;
        if (r.utf8) {
            outcomes[0] = procferry::run(program8, {r.arg8}, options);
            started = procferry::start(program8, {r.arg8}, options);
            outcomes[2] = procferry::capture(program8, {r.arg8}, options);
        } else {
            outcomes[0] = procferry::run(program, {r.arg}, options);
            started = procferry::start(program, {r.arg}, options);
            outcomes[2] = procferry::capture(program, {r.arg}, options);
        }
        outcomes[1] = started;
        if (started.process.valid())
            started.process.wait(15000);
        for (const procferry::result &outcome : outcomes) {
            EXPECT_EQ(outcome.kind, PROCFERRY_INVALID_ARGUMENT) << r.name << ": " << outcome.words;
            EXPECT_EQ(outcome.error, EINVAL) << r.name;
            EXPECT_TRUE(contains(outcome.words, r.words)) << r.name << ": " << outcome.words;
            EXPECT_EQ(outcome.words.find('\0'), std::string::npos) << r.name << ": a zero in the words";
        }
        EXPECT_EQ(GetFileAttributesW(report.c_str()), INVALID_FILE_ATTRIBUTES)
            << r.name << ": the child ran";
        DeleteFileW(report.c_str());
    }

    // A name that starts with '=' (a drive's directory) is a name like any other.
    procferry::options options;
    options.env.set(L"=C:", L"C:\\").set(L"PROBE_EXIT", L"5");
    procferry::result ran = procferry::run(probe(), {}, options);
    EXPECT_TRUE(ran.exited()) << ran.words;
    EXPECT_EQ(ran.exit_status, 5u);
}

// Streams by name, a pipeline, and what a result and a child tell: success,
// the pid, no status where nothing exited, a child's words wherever it goes,
// and a failed start skipped by the waits.
TEST(ProcessHpp, NamedStreamsAPipelineAndWhatResultsTell)
{
    procferry::result ok = procferry::run(probe());
    EXPECT_TRUE(ok.success()) << ok.words;
    EXPECT_NE(ok.pid, 0u);
    EXPECT_EQ(ok.status(), std::optional<uint32_t>(0));
    procferry::result missing = procferry::run("procferry-no-such-program");
    EXPECT_FALSE(missing.success());
    EXPECT_FALSE(missing.status().has_value()) << "nothing exited";

    procferry::options first;
    first.env.set("PROBE_WRITE", "1");
    first.streams[1] = procferry::pipe();
    first.streams[2] = procferry::merge_with_stdout();
    procferry::started a = procferry::start(probe(), {}, first);
    ASSERT_TRUE(a.process.valid()) << a.words;
    procferry::options second;
    second.env.set("PROBE_ECHO", "1");
    second.streams[0] = procferry::file(a.pipes[1]);
    second.streams[1] = procferry::pipe();
    procferry::started b = procferry::start(probe(), {}, second);
    a.pipes[1].close();
    ASSERT_TRUE(b.process.valid()) << b.words;
    EXPECT_EQ(b.pipes[1].read_all(), "probe-stdout\r\nprobe-stderr\r\n");
    procferry::child kept = std::move(b.process);
    EXPECT_TRUE(contains(kept.words(), "started as process")) << kept.words();

    // A directory in UTF-8, as every other text; one that is not UTF-8 is refused.
    procferry::options in_dir;
    in_dir.dir = procferry::to_utf8(parent::own_directory());
    EXPECT_TRUE(procferry::run(probe(), {}, in_dir).success());
    procferry::options bad_dir;
    bad_dir.dir = "bad\xff";
    procferry::result refused = procferry::run(probe(), {}, bad_dir);
    EXPECT_EQ(refused.kind, PROCFERRY_INVALID_ARGUMENT);
    EXPECT_TRUE(contains(refused.words, "the directory is not UTF-8")) << refused.words;

    procferry::started none = procferry::start("procferry-no-such-program");
    EXPECT_FALSE(none.process.valid());
    EXPECT_EQ(none.process.words(), none.words);
    EXPECT_TRUE(procferry::wait_all({a.process, none.process, kept}, 10000)) << "the failed start is skipped";
    std::optional<size_t> first_ended = procferry::wait_any({none.process, kept}, 0);
    EXPECT_EQ(first_ended, std::optional<size_t>(1));

    // A wait tells an end, a time that passed and a child that is not there apart.
    procferry::result ended = kept.wait(10000);
    EXPECT_TRUE(ended.success()) << ended.words;
    EXPECT_TRUE(contains(ended.words, "exited with status 0")) << ended.words;
    procferry::result never = none.process.wait();
    EXPECT_EQ(never.kind, PROCFERRY_LAUNCH_FAILED);
    EXPECT_EQ(never.words, none.words);
    procferry::child moved = std::move(kept);
    EXPECT_EQ(kept.wait().kind, PROCFERRY_INVALID_ARGUMENT);
    procferry::options sleeping;
    sleeping.env.set("PROBE_SLEEP_MS", "20000");
    procferry::child slow = std::move(procferry::start(probe(), {}, sleeping).process);
    procferry::result waited = slow.wait(0);
    EXPECT_TRUE(waited.timed_out()) << waited.words;
    EXPECT_FALSE(waited.status().has_value());
    EXPECT_TRUE(contains(waited.words, "still runs after 0 ms")) << waited.words;
    slow.kill();
}

// Arguments come as any range of texts, UTF-8 or UTF-16, and reach the child as given.
TEST(ProcessHpp, ArgumentsFromAnyRangeOfTexts)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring report = std::wstring(temp) + L"procferry-hpp-ranges.txt";
    procferry::options options;
    options.env.set(L"PROBE_OUT", report);
    auto argv_of = [&](procferry::result ran) {
        EXPECT_TRUE(ran.success()) << ran.words;
        std::vector<std::wstring> argv = parent::read_probe_report(report).argv;
        DeleteFileW(report.c_str());
        return std::vector<std::wstring>(argv.begin() + (argv.empty() ? 0 : 1), argv.end());
    };
    const std::vector<std::wstring> expected{L"a b", L"\u00e9\"", L""};
    EXPECT_EQ(argv_of(procferry::run(probe(), {"a b", "\xc3\xa9\"", ""}, options)), expected);
    EXPECT_EQ(argv_of(procferry::run(probe(), std::vector<std::string>{"a b", "\xc3\xa9\"", ""}, options)), expected);
    EXPECT_EQ(argv_of(procferry::run(probe(), std::list<std::wstring>(expected.begin(), expected.end()), options)), expected);
    const wchar_t *pointers[] = {L"a b", L"\u00e9\"", L""};
    EXPECT_EQ(argv_of(procferry::run(probe(), pointers, options)), expected);
    std::string_view views[] = {"a b", "\xc3\xa9\"", ""};
    EXPECT_EQ(argv_of(procferry::run(procferry::to_utf8(probe()), views, options)), expected);
    // One that is not UTF-8 is named, from any range.
    procferry::result refused = procferry::run(probe(), std::vector<std::string>{"ok", "bad\xff"}, options);
    EXPECT_EQ(refused.kind, PROCFERRY_INVALID_ARGUMENT);
    EXPECT_TRUE(contains(refused.words, "argument 2")) << refused.words;
    const char *with_null[] = {"a", nullptr};
    refused = procferry::run(probe(), with_null, options);
    EXPECT_EQ(refused.kind, PROCFERRY_INVALID_ARGUMENT);
    EXPECT_TRUE(contains(refused.words, "argument 2 is a null pointer")) << refused.words;
    // The same in a braced list, UTF-8 or UTF-16: refused, never read.
    for (procferry::result braced : {procferry::run(probe(), {"a", NULL}, options),
                                     procferry::run(probe(), {L"a", L"b", NULL}, options)}) {
        EXPECT_EQ(braced.kind, PROCFERRY_INVALID_ARGUMENT) << braced.words;
        EXPECT_TRUE(contains(braced.words, "is a null pointer")) << braced.words;
    }
}

// A capture's options hold what only a capture honours (a cancel, caps, the
// drain): run() and start() do not take them, rather than drop them.
template <class Options, class = void>
struct run_takes : std::false_type {};
template <class Options>
struct run_takes<Options, std::void_t<decltype(procferry::run("x", {}, std::declval<const Options &>()))>>
    : std::true_type {};
template <class Options, class = void>
struct start_takes : std::false_type {};
template <class Options>
struct start_takes<Options, std::void_t<decltype(procferry::start("x", {}, std::declval<const Options &>()))>>
    : std::true_type {};
static_assert(run_takes<procferry::options>::value && start_takes<procferry::options>::value);
static_assert(!run_takes<procferry::capture_options>::value && !start_takes<procferry::capture_options>::value,
              "a capture's options given to run() or start() would lose their cancel, caps and drain");

// A pipeline: each stdout the next one's stdin, the last one captured, each stage told.
TEST(ProcessHpp, PipelinesRunEachStageAndTellEach)
{
    procferry::capture_options options;
    options.env.set("PROBE_WRITE", "1").set("PROBE_ECHO", "1");
    options.streams[0] = procferry::null();
    options.streams[2] = procferry::null();
    options.timeout_ms = 20000;
    procferry::piped three = procferry::pipeline({{probe()}, {probe()}, {probe(), {L"x"}}}, options);
    EXPECT_TRUE(three.success()) << three.words;
    EXPECT_TRUE(three.all_succeeded());
    EXPECT_EQ(three.out, "probe-stdout\r\nprobe-stdout\r\nprobe-stdout\r\n");
    ASSERT_EQ(three.stages.size(), 3u);
    for (const procferry::result &stage : three.stages)
        EXPECT_EQ(stage.status(), std::optional<uint32_t>(0)) << stage.words;

    procferry::piped broken = procferry::pipeline({{probe()}, {"procferry-no-such-program"}, {probe()}}, options);
    EXPECT_EQ(broken.kind, PROCFERRY_LAUNCH_FAILED) << broken.words;
    EXPECT_TRUE(contains(broken.words, "procferry-no-such-program")) << broken.words;
    EXPECT_EQ(broken.stages.size(), 2u);

    // The last one ends first: the stage before it, still writing, is not left hanging.
    options.env.set("PROBE_WRITE_BYTES", "4000000").unset("PROBE_ECHO");
    procferry::piped early = procferry::pipeline({{probe()}, {probe()}}, options);
    EXPECT_EQ(early.kind, PROCFERRY_EXITED) << early.words;
    ASSERT_EQ(early.stages.size(), 2u);
    EXPECT_TRUE(early.stages[0].exited()) << early.stages[0].words;
    EXPECT_FALSE(procferry::pipeline({}).success());

    // A last command that cannot start ends those before it, which are not waited for.
    procferry::capture_options sleeping = options;
    sleeping.env.set("PROBE_SLEEP_MS", "60000");
    sleeping.timeout_ms = 30000;
    procferry::piped no_last = procferry::pipeline({{probe()}, {"procferry-no-such-program"}}, sleeping);
    EXPECT_EQ(no_last.kind, PROCFERRY_LAUNCH_FAILED) << no_last.words;
    ASSERT_EQ(no_last.stages.size(), 2u);
    EXPECT_TRUE(no_last.stages[0].exited()) << "ended, not timed out: " << no_last.stages[0].words;
    // What a pipeline cannot honour is refused before anything starts.
    procferry::capture_options chosen = options;
    chosen.streams[1] = procferry::null();
    EXPECT_EQ(procferry::pipeline({{probe()}, {probe()}}, chosen).kind, PROCFERRY_INVALID_ARGUMENT);
}

// A first command given no input reads the null device, as a capture's
// command does, never the caller's stdin: with this process's stdin a pipe
// whose writer stays open, the pipeline still ends at once.
TEST(ProcessHpp, APipelinesFirstCommandNeverReadsTheCallersStdin)
{
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
    // A start hands on the runtime's descriptor 0, not the process's
    // standard handle: both become the pipe.
    HANDLE own_stdin = GetStdHandle(STD_INPUT_HANDLE);
    int own_fd = _dup(0);
    int piped_fd = _open_osfhandle((intptr_t)read_end, _O_RDONLY);
    ASSERT_GE(piped_fd, 0);
    ASSERT_EQ(_dup2(piped_fd, 0), 0);
    SetStdHandle(STD_INPUT_HANDLE, (HANDLE)_get_osfhandle(0));
    procferry::capture_options options;
    options.env.set("PROBE_ECHO", "1");
    options.timeout_ms = parent::wait_limit_ms(5000);
    procferry::piped two = procferry::pipeline({{probe()}, {probe()}}, options);
    procferry::piped one = procferry::pipeline({{probe()}}, options);
    SetStdHandle(STD_INPUT_HANDLE, own_stdin);
    if (own_fd >= 0) {
        _dup2(own_fd, 0);
        _close(own_fd);
    } else {
        _close(0);
    }
    _close(piped_fd);
    CloseHandle(write_end);
    EXPECT_TRUE(two.all_succeeded()) << two.words;
    EXPECT_EQ(two.out, "");
    EXPECT_TRUE(one.all_succeeded()) << one.words;
    EXPECT_EQ(one.out, "");
}

// A command the pipeline ended says so, and why, in the library's words: a
// command after it could not start, the time limit passed, or a cancel came.
TEST(ProcessHpp, APipelinesStagesSayWhatEndedThem)
{
    procferry::capture_options sleeping;
    sleeping.env.set("PROBE_SLEEP_MS", "60000");
    sleeping.timeout_ms = 30000;
    const std::string ended_with_pipeline = "was ended because another command of its pipeline failed (status 1)";
    procferry::piped no_last = procferry::pipeline({{probe()}, {"procferry-no-such-program"}}, sleeping);
    EXPECT_EQ(no_last.kind, PROCFERRY_LAUNCH_FAILED) << no_last.words;
    ASSERT_EQ(no_last.stages.size(), 2u);
    EXPECT_EQ(no_last.stages[0].kind, PROCFERRY_EXITED) << no_last.stages[0].words;
    EXPECT_EQ(no_last.stages[0].ended_by, PROCFERRY_ENDED_WITH_PIPELINE);
    EXPECT_TRUE(contains(no_last.stages[0].words, ended_with_pipeline)) << no_last.stages[0].words;
    EXPECT_EQ(no_last.stages[1].ended_by, PROCFERRY_ENDED_BY_ITSELF) << "it never ran";

    procferry::piped no_middle =
        procferry::pipeline({{probe()}, {"procferry-no-such-program"}, {probe()}}, sleeping);
    EXPECT_EQ(no_middle.kind, PROCFERRY_LAUNCH_FAILED) << no_middle.words;
    ASSERT_EQ(no_middle.stages.size(), 2u);
    EXPECT_EQ(no_middle.stages[0].ended_by, PROCFERRY_ENDED_WITH_PIPELINE) << no_middle.stages[0].words;
    EXPECT_TRUE(contains(no_middle.stages[0].words, ended_with_pipeline)) << no_middle.stages[0].words;

    // The time limit's words name the limit asked for, in every stage and in
    // the outcome, though the last command was given what was left of it.
    procferry::capture_options brief = sleeping;
    brief.timeout_ms = 1000;
    procferry::piped late = procferry::pipeline({{probe()}, {probe()}}, brief);
    EXPECT_EQ(late.kind, PROCFERRY_TIMED_OUT) << late.words;
    EXPECT_TRUE(contains(late.words, "still ran after 1s;")) << late.words;
    ASSERT_EQ(late.stages.size(), 2u);
    for (const procferry::result &stage : late.stages) {
        EXPECT_EQ(stage.kind, PROCFERRY_TIMED_OUT) << stage.words;
        EXPECT_EQ(stage.ended_by, PROCFERRY_ENDED_AT_TIME_LIMIT) << stage.words;
        EXPECT_TRUE(contains(stage.words, "still ran after 1s; ended it and everything it started"))
            << stage.words;
    }

    procferry::capture_options cancelled = sleeping;
    cancelled.cancel = procferry::canceller();
    std::thread soon([cancel = *cancelled.cancel] {
        Sleep(parent::wait_limit_ms(500)); // once both run
        cancel.cancel();
    });
    procferry::piped cut = procferry::pipeline({{probe()}, {probe()}}, cancelled);
    soon.join();
    EXPECT_EQ(cut.kind, PROCFERRY_CANCELLED) << cut.words;
    ASSERT_EQ(cut.stages.size(), 2u);
    for (const procferry::result &stage : cut.stages) {
        EXPECT_EQ(stage.kind, PROCFERRY_CANCELLED) << stage.words;
        EXPECT_EQ(stage.ended_by, PROCFERRY_ENDED_ON_CANCEL) << stage.words;
        EXPECT_TRUE(contains(stage.words, "cancelled while it ran, as process")) << stage.words;
        EXPECT_TRUE(contains(stage.words, "; ended it and everything it started")) << stage.words;
    }

    // Commands that end by themselves read as such.
    procferry::capture_options quick;
    quick.streams[0] = procferry::null();
    procferry::piped fine = procferry::pipeline({{probe()}, {probe()}}, quick);
    ASSERT_EQ(fine.stages.size(), 2u);
    for (const procferry::result &stage : fine.stages) {
        EXPECT_EQ(stage.ended_by, PROCFERRY_ENDED_BY_ITSELF) << stage.words;
        EXPECT_TRUE(contains(stage.words, "exited with status 0")) << stage.words;
    }
}

// A child this object killed or stopped never reads as one that exited by
// itself; one that had ended before does.
TEST(ProcessHpp, AChildKilledOrStoppedSaysSo)
{
    procferry::options sleeping;
    sleeping.env.set("PROBE_SLEEP_MS", "60000");
    procferry::child killed = std::move(procferry::start(probe(), {}, sleeping).process);
    ASSERT_TRUE(killed.valid());
    EXPECT_TRUE(killed.kill());
    procferry::child moved = std::move(killed);
    procferry::result told = moved.wait(10000);
    EXPECT_EQ(told.status(), std::optional<uint32_t>(1)) << told.words;
    EXPECT_EQ(told.ended_by, PROCFERRY_ENDED_ON_KILL);
    EXPECT_TRUE(contains(told.words, "was ended, with everything it started, when killed (status 1)"))
        << told.words;
    EXPECT_FALSE(contains(told.words, "exited")) << told.words;

    procferry::child stopped = std::move(procferry::start(probe(), {}, sleeping).process);
    ASSERT_TRUE(stopped.valid());
    EXPECT_EQ(stopped.stop(100, 9), PROCFERRY_STOPPED_UNASKED);
    told = stopped.wait(10000);
    EXPECT_EQ(told.status(), std::optional<uint32_t>(9)) << told.words;
    EXPECT_EQ(told.ended_by, PROCFERRY_ENDED_ON_STOP);
    EXPECT_TRUE(contains(told.words, "was stopped, and ended (status 9)")) << told.words;

    procferry::child done = std::move(procferry::start(probe()).process);
    ASSERT_TRUE(done.valid());
    ASSERT_EQ(done.wait(10000).status(), std::optional<uint32_t>(0));
    EXPECT_TRUE(done.kill()) << "ended already";
    told = done.wait(0);
    EXPECT_EQ(told.ended_by, PROCFERRY_ENDED_BY_ITSELF);
    EXPECT_TRUE(contains(told.words, "exited with status 0")) << told.words;
}

// A canceller from another thread: a capture ends with what it read, a wait
// leaves the child running.
TEST(ProcessHpp, ACancellerEndsACaptureAndAWait)
{
    procferry::capture_options options;
    options.env.set("PROBE_WRITE", "1").set("PROBE_SLEEP_MS", "60000");
    options.cancel = procferry::canceller();
    std::thread later([cancel = *options.cancel] {
        Sleep(parent::wait_limit_ms(500)); // once the probe has written
        cancel.cancel();
    });
    procferry::captured cut = procferry::capture(probe(), {}, options);
    later.join();
    EXPECT_EQ(cut.kind, PROCFERRY_CANCELLED) << cut.words;
    EXPECT_EQ(cut.out, "probe-stdout\r\n");
    EXPECT_TRUE(contains(cut.words, "cancelled while it ran")) << cut.words;

    procferry::canceller stop_waiting;
    procferry::started sleeping = procferry::start(probe(), {}, procferry::options(options).out(procferry::null()));
    std::thread soon([&stop_waiting] {
        Sleep(300);
        stop_waiting.cancel();
    });
    procferry::result waited = sleeping.process.wait(60000, stop_waiting);
    soon.join();
    EXPECT_EQ(waited.kind, PROCFERRY_CANCELLED) << waited.words;
    EXPECT_TRUE(sleeping.process.wait(0).timed_out()) << "left running";
    EXPECT_EQ(sleeping.process.stop(60000, 9, stop_waiting), PROCFERRY_STOPPED_CANCELLED);
    EXPECT_EQ(sleeping.process.wait(10000).status(), std::optional<uint32_t>(9));
}
