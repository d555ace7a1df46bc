// The C++ layer (procferry/process.hpp) over real starts, and the words the
// library gives each kind of outcome (procferry_describe).
#include <errno.h>
#include <windows.h>

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

std::string words_for(const procferry_options &options, const procferry_result &result)
{
    char text[2048];
    size_t length = procferry_describe(&options, &result, text, sizeof text);
    EXPECT_EQ(length, strlen(text));
    return text;
}

} // namespace

// Each kind of outcome in one line that names what should have run, what
// happened, the errno by name and the next step; no real start is needed.
TEST(OutcomeWords, EveryKindSaysWhatHappenedAndWhy)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring missing_dir = std::wstring(temp) + L"procferry-words-nosuch";
    struct row {
        int kind;
        int error;
        uint32_t number; // exit status, pid, relay exit status or Windows error
        std::vector<const char *> words;
    } rows[] = {
        {PROCFERRY_EXITED, 0, 3, {"tool exited with status 3"}},
        {PROCFERRY_EXITED, 0, 0xC0000005, {"status -1073741819 (0xC0000005)"}},
        {PROCFERRY_STARTED, 0, 42, {"tool started as process 42"}},
        {PROCFERRY_DIR_FAILED, ENOENT, 0,
         {"tool: directory ", "procferry-words-nosuch: no such directory: ENOENT: no such file",
          "nothing was run"}},
        {PROCFERRY_LAUNCH_FAILED, ENOENT, 0,
         {"tool: not found on PATH: ENOENT: no such file or directory",
          "check the name, or give the program's path"}},
        {PROCFERRY_LAUNCH_FAILED, ENOEXEC, 0,
         {"tool: cannot be run: ENOEXEC: ", "only programs (.exe, .com) and batch files"}},
        {PROCFERRY_INVALID_ARGUMENT, E2BIG, 0,
         {"tool: the command line is too long: E2BIG: ", "32766 characters at most"}},
        {PROCFERRY_INVALID_ARGUMENT, EINVAL, 0, {"tool: the start was refused: EINVAL: "}},
        {PROCFERRY_RELAY_MISSING, ENOENT, 0,
         {"relay C:\\relays\\procferry-console.exe: cannot be started, so tool was not run: "
          "ENOENT: ",
          "belong beside the program"}},
        {PROCFERRY_RELAY_CRASHED, 0, 4, {"relay C:\\relays\\procferry-console.exe ended without "
                                         "a report (exit status 4) while starting tool"}},
        {PROCFERRY_CHECK_REPORT, 0, 0, {"refused its command line: bad position 3 x"}},
        {PROCFERRY_TIMED_OUT, 0, 0, {"did not report within 1.5s; ended it and everything"}},
        {PROCFERRY_BAD_RECORD, 0, 0, {"relay C:\\relays\\procferry-console.exe sent 3 of the 8 bytes"}},
        {PROCFERRY_SYSTEM_ERROR, 0, 5, {"cannot start tool: ", "(Windows error 5)"}},
    };
    for (const row &row : rows) {
        procferry_options options;
        procferry_options_init(&options);
        options.program = L"tool";
        options.flags = PROCFERRY_SEARCH_PATH;
        options.timeout_ms = 1500;
        options.dir = row.kind == PROCFERRY_DIR_FAILED ? missing_dir.c_str() : nullptr;
        procferry_result result = {};
        result.kind = row.kind;
        result.error = row.error;
        result.exit_status = row.kind == PROCFERRY_EXITED ? row.number : 0;
        result.pid = row.kind == PROCFERRY_STARTED ? row.number : 0;
        result.relay_exit_status = row.number;
        result.win32_error = row.number;
        result.record_bytes = row.kind == PROCFERRY_BAD_RECORD ? 3 : 0;
        strcpy(result.check_report, "bad position 3\nx\n");
        wcscpy(result.relay_path, L"C:\\relays\\procferry-console.exe");
        std::string words = words_for(options, result);
        EXPECT_EQ(words.find('\n'), std::string::npos) << words;
        for (const char *part : row.words)
            EXPECT_TRUE(contains(words, part))
                << procferry_kind_name(row.kind) << ": " << words << "\nlacks: " << part;
    }
    // Names for the errnos a start reports; none for an unknown one.
    EXPECT_STREQ(procferry_errno_name(ENOENT), "ENOENT");
    EXPECT_STREQ(procferry_errno_name(E2BIG), "E2BIG");
    EXPECT_EQ(procferry_errno_name(12345), nullptr);
    // Cut to the capacity, the full length still returned.
    procferry_options options;
    procferry_options_init(&options);
    options.program = L"tool";
    procferry_result result = {};
    result.kind = PROCFERRY_EXITED;
    char small[6];
    EXPECT_EQ(procferry_describe(&options, &result, small, sizeof small),
              strlen("tool exited with status 0"));
    EXPECT_STREQ(small, "tool ");
}

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
    EXPECT_FALSE(child.wait(0).has_value()) << "still running";
    EXPECT_TRUE(child.kill(9));
    EXPECT_EQ(child.wait(10000), std::optional<uint32_t>(9));

    procferry::result missing = procferry::run("procferry-no-such-program", {"x"});
    EXPECT_EQ(missing.kind, PROCFERRY_LAUNCH_FAILED);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_TRUE(contains(missing.words, "procferry-no-such-program: not found on PATH"))
        << missing.words;

    // UTF-8 that is not UTF-8 is refused, never passed on changed.
    procferry::result invalid = procferry::run(procferry::to_utf8(probe()), {"\xff"});
    EXPECT_EQ(invalid.kind, PROCFERRY_INVALID_ARGUMENT);
    EXPECT_EQ(invalid.error, EINVAL);
}
