// The words the library gives each kind of outcome (procferry_describe):
// what should have run, what happened, the errno by name and the next step.
#include <errno.h>
#include <string.h>
#include <windows.h>

#include <functional>

#include "procferry/process.hpp"
#include "relay_fixture.h"

namespace {

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
        // a crash is named by its code; an unknown code keeps its number
        {PROCFERRY_EXITED, 0, 0xC0000005, {"tool exited with status 0xC0000005 (access violation)"}},
        {PROCFERRY_EXITED, 0, 0xC00000FD, {"status 0xC00000FD (stack overflow)"}},
        {PROCFERRY_EXITED, 0, 0xC0000374, {"status 0xC0000374 (heap corruption)"}},
        {PROCFERRY_EXITED, 0, 0xC0000135, {"status 0xC0000135 (a DLL it needs was not found)"}},
        {PROCFERRY_EXITED, 0, 0xC0000139, {"status 0xC0000139 (an entry point it imports was not found)"}},
        {PROCFERRY_EXITED, 0, 0xC000013A, {"status 0xC000013A (ended by Ctrl+C)"}},
        {PROCFERRY_EXITED, 0, 0xC000001D, {"status 0xC000001D (illegal instruction)"}},
        {PROCFERRY_EXITED, 0, 0xC0000094, {"status 0xC0000094 (integer division by zero)"}},
        {PROCFERRY_EXITED, 0, 0xC0000409, {"status 0xC0000409 (fast-fail abort)"}},
        {PROCFERRY_EXITED, 0, 0xC0001234, {"tool exited with status -1073737164 (0xC0001234)"}},
        {PROCFERRY_EXITED, 0, 0xFFFFFFFF, {"tool exited with status -1 (0xFFFFFFFF)"}},
        {PROCFERRY_STARTED, 0, 42, {"tool started as process 42"}},
        {PROCFERRY_DIR_FAILED, ENOENT, 0,
         {"tool: directory ", "procferry-words-nosuch: no such directory: ENOENT: no such file",
          "nothing was run"}},
        // told by the errno of the start's own checks, whatever is there now
        {PROCFERRY_DIR_FAILED, ENOTDIR, 0,
         {"procferry-words-nosuch: is a file or a device, not a directory: ENOTDIR"}},
        {PROCFERRY_DIR_FAILED, ENAMETOOLONG, 0,
         {"procferry-words-nosuch: is longer than a child's directory can be: ENAMETOOLONG"}},
        {PROCFERRY_LAUNCH_FAILED, ENOENT, 0,
         {"tool: not found on PATH: ENOENT: no such file or directory",
          "check the name, or give the program's path"}},
        {PROCFERRY_LAUNCH_FAILED, ENOEXEC, 0,
         {"tool: cannot be run: ENOEXEC: ", "only programs (.exe, .com) and batch files"}},
        {PROCFERRY_INVALID_ARGUMENT, E2BIG, 0,
         {"tool: the command line is too long: E2BIG: ", "32766 characters at most"}},
        {PROCFERRY_INVALID_ARGUMENT, EINVAL, 0, {"tool: the start was refused: check the options", "EINVAL: "}},
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
        {PROCFERRY_CANCELLED, 0, 0, {"tool: cancelled before it started"}},
    };
    for (const row &row : rows) {
        procferry_options options;
        procferry_options_init(&options);
        options.program = L"tool";
        options.timeout_ms = 1500;
        options.dir = row.kind == PROCFERRY_DIR_FAILED ? missing_dir.c_str() : nullptr;
        procferry_result result = {};
        result.kind = row.kind;
        result.error = row.error;
        result.exit_status = row.kind == PROCFERRY_EXITED ? row.number : 0;
        result.pid = row.kind == PROCFERRY_STARTED ? row.number : 0;
        result.relay.exit_status = row.number;
        result.win32_error = row.number;
        result.relay.record_bytes = row.kind == PROCFERRY_BAD_RECORD ? 3 : 0;
        strcpy(result.relay.check_report, "bad position 3\nx\n");
        wcscpy(result.relay.path, L"C:\\relays\\procferry-console.exe");
        std::string words = words_for(options, result);
        EXPECT_EQ(words.find('\n'), std::string::npos) << words;
        for (const char *part : row.words)
            EXPECT_TRUE(contains(words, part))
                << procferry_kind_name(row.kind) << ": " << words << "\nlacks: " << part;
    }
    // A check report that is not UTF-8, or cut inside a character, still
    // gives words that are: a character the cut split goes, other bytes
    // past ASCII show as '?'.
    const std::string cut_report = std::string(PROCFERRY_CHECK_REPORT_SIZE - 3, 'a') + "\xe4\xb8";
    const std::pair<std::string, std::string> reports[] = {
        {"bad \xff\xfe code page", "refused its command line: bad ?? code page"},
        {"caf\xe9", "refused its command line: caf?"},
        {cut_report, std::string(PROCFERRY_CHECK_REPORT_SIZE - 3, 'a')}};
    for (const auto &report : reports) {
        procferry_options options;
        procferry_options_init(&options);
        options.program = L"tool";
        procferry_result result = {};
        result.kind = PROCFERRY_CHECK_REPORT;
        memcpy(result.relay.check_report, report.first.c_str(), report.first.size() + 1);
        std::string words = words_for(options, result);
        EXPECT_EQ(procferry::to_utf8(procferry::to_wide(words)), words) << "not UTF-8: " << words;
        EXPECT_TRUE(contains(words, report.second)) << words;
        EXPECT_EQ(words.back(), report.second.back()) << words;
    }
    // Terms of the caller's: zeroed and filled in (size 0) they all count; a
    // caller built before a term keeps the library's phrase for it.
    {
        procferry_options options;
        procferry_options_init(&options);
        options.program = L"tool";
        options.dir = missing_dir.c_str();
        procferry_result result = {};
        result.kind = PROCFERRY_DIR_FAILED;
        result.error = ENOENT;
        procferry_terms terms = {};
        terms.dir_option = "--cwd";
        char words[512];
        procferry_describe_in_terms(&options, &result, &terms, words, sizeof words);
        EXPECT_EQ(std::string(words).rfind("--cwd ", 0), 0u) << words;
        terms.size = offsetof(procferry_terms, dir_option);
        procferry_describe_in_terms(&options, &result, &terms, words, sizeof words);
        EXPECT_EQ(std::string(words).rfind("tool: directory ", 0), 0u) << words;
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

// A refused start names what was wrong: which text, which argument or
// environment entry, which stream; the words stay UTF-8.
TEST(OutcomeWords, RefusalsNameTheText)
{
    const char *args_utf8[] = {"fine", "bad\xff"};
    const char *env_utf8[] = {"A=1", "B=\xed\xa0\x80"};
    const std::wstring long_value = L"PF_LONG=" + std::wstring(40000, L'v');
    const wchar_t *long_env[] = {L"A=1", long_value.c_str()};
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const procferry_stream extra[] = {{PROCFERRY_STREAM_NULL, 0, nullptr},
                                      {PROCFERRY_STREAM_PIPE, 0, nullptr}};
    const procferry_stream closed_extra[] = {{PROCFERRY_STREAM_FD, 1999, nullptr}},
                           odd_extra[] = {{99, 0, nullptr}};
    struct row {
        std::function<void(procferry_options &)> set_up;
        const char *words;
    } rows[] = {
        {[&](procferry_options &o) { o.args_utf8 = args_utf8; o.arg_count = 2; },
         "argument 2 is not UTF-8"},
        {[&](procferry_options &o) {
             o.args_utf8 = args_utf8;
             o.arg_count = 2;
             o.flags |= PROCFERRY_ARGV0;
         }, "argument 1 is not UTF-8"},
        {[&](procferry_options &o) { o.env_utf8 = env_utf8; o.env_count = 2; },
         "environment entry 2 is not UTF-8"},
        {[&](procferry_options &o) { o.program = nullptr; o.program_utf8 = "\xc0\xaf"; },
         "(a name that is not UTF-8): the start was refused: the program's name is not UTF-8"},
        {[&](procferry_options &o) { o.env = long_env; o.env_count = 2; },
         "environment entry 2 holds a value past 32766 characters"},
        {[&](procferry_options &o) { o.streams[1] = {PROCFERRY_STREAM_HANDLE, 0, event}; },
         "stdout names no file, pipe or device"},
        {[&](procferry_options &o) { o.streams[2].kind = PROCFERRY_STREAM_PIPE; },
         "stderr is a pipe, which only a start that returns once the child runs hands over in time "
         "(PROCFERRY_NO_WAIT; in C++, procferry::start)"},
        {[&](procferry_options &o) { o.extra_fds = extra; o.extra_fd_count = 2; },
         "descriptor 4 asks for a pipe of the library's or for stdout"},
        {[&](procferry_options &o) { o.extra_fds = extra; o.extra_fd_count = 5000; },
         "the list of extra descriptors holds more than 2040"},
        {[&](procferry_options &o) { o.extra_fds = closed_extra; o.extra_fd_count = 1; },
         "descriptor 3 (the caller's descriptor 1999) names no file, pipe or device"},
        {[&](procferry_options &o) { o.streams[0].kind = PROCFERRY_STREAM_NONE; },
         "stdin is of kind 6, which it does not take"},
        {[&](procferry_options &o) { o.streams[1].kind = 99; }, "stdout is of kind 99"},
        {[&](procferry_options &o) { o.extra_fds = odd_extra; o.extra_fd_count = 1; },
         "descriptor 3 is of kind 99"},
        // options of another size are not read for the words
        {[&](procferry_options &o) { o.size = 4; },
         "(no program): the start was refused: check the options"},
    };
    for (const row &r : rows) {
        procferry_options o;
        procferry_options_init(&o);
        o.program = L"tool";
        r.set_up(o);
        procferry_result result;
        EXPECT_EQ(procferry_start(&o, &result), PROCFERRY_INVALID_ARGUMENT) << r.words;
        std::string words = words_for(o, result);
        EXPECT_TRUE(contains(words, r.words)) << words << "\nlacks: " << r.words;
        EXPECT_EQ(procferry::to_utf8(procferry::to_wide(words)), words) << "not UTF-8: " << words;
    }
    CloseHandle(event);
}

// Counted texts: what the library would read otherwise than given is
// refused by each call that takes them, with the same words, and nothing runs.
TEST(OutcomeWords, CountedTextsRefuseWhatTheyWouldChange)
{
    auto wide = [](const wchar_t *text, size_t length) { return procferry_text{text, nullptr, length}; };
    auto utf8 = [](const char *text, size_t length) { return procferry_text{nullptr, text, length}; };
    const procferry_text none = {nullptr, nullptr, 0};
    const procferry_text args[] = {wide(L"ok", 2), none};
    const procferry_text bad_args[] = {utf8("a\0\xc3", 3)};
    const procferry_env_change named_twice[] = {{utf8("A", 1), utf8("1", 1), 0}, {wide(L"A=B", 3), wide(L"v", 1), 0}};
    const procferry_env_change no_value[] = {{utf8("V", 1), none, 0}};
    const procferry_env_change unset_only[] = {{utf8("V", 1), none, 1}, {wide(L"=", 1), none, 1}};
    const procferry_env_change zero_value[] = {{wide(L"V", 1), wide(L"a\0b", 3), 0}};
    struct row {
        std::function<void(procferry_options &, procferry_texts &)> set_up;
        const char *words;
    } rows[] = {
        {[&](procferry_options &, procferry_texts &t) { t.program = wide(L"to\0ol", 5); },
         "to\\0ol: the start was refused: the program's name holds a zero, where the system would end it"},
        {[&](procferry_options &, procferry_texts &t) { t.program = utf8("\xff", 1); },
         "(a name that is not UTF-8): the start was refused: the program's name is not UTF-8"},
        {[&](procferry_options &, procferry_texts &t) { t.program = none; }, "the program's name is missing"},
        {[&](procferry_options &, procferry_texts &t) { t.dir = utf8("C:\\\xed\xa0\x80", 6); },
         "the directory is not UTF-8"},
        {[&](procferry_options &, procferry_texts &t) { t.relay = wide(L"r", 1); t.relay.utf8 = "r"; },
         "the relay's path is given both in UTF-16 and in UTF-8"},
        {[&](procferry_options &, procferry_texts &t) { t.args = args; t.arg_count = 2; },
         "argument 2 is a null pointer"},
        // not UTF-8 is told before a zero
        {[&](procferry_options &, procferry_texts &t) { t.args = bad_args; t.arg_count = 1; },
         "argument 1 is not UTF-8"},
        {[&](procferry_options &, procferry_texts &t) { t.env = named_twice; t.env_count = 2; },
         "environment entry 2 has a name the library would read otherwise"},
        {[&](procferry_options &, procferry_texts &t) { t.env = no_value; t.env_count = 1; },
         "environment entry 1 has a null pointer as its value"},
        {[&](procferry_options &, procferry_texts &t) { t.env = unset_only; t.env_count = 2; },
         "environment entry 2 has a name the library would read otherwise"},
        {[&](procferry_options &, procferry_texts &t) { t.env = zero_value; t.env_count = 1; },
         "environment entry 1 holds a zero in its value"},
        {[&](procferry_options &o, procferry_texts &) { o.program = L"tool"; },
         "the texts are given both counted and in the options"},
        {[&](procferry_options &, procferry_texts &t) { t.size = 4; }, "check the options"},
    };
    for (const row &r : rows) {
        procferry_options o;
        procferry_options_init(&o);
        procferry_texts t = {};
        t.size = sizeof t;
        t.program = wide(L"tool", 4);
        r.set_up(o, t);
        procferry_result started, checked;
        procferry_capture_result captured;
        procferry_capture_options capture;
        procferry_capture_options_init(&capture);
        EXPECT_EQ(procferry_start_texts(&o, &t, nullptr, &started), PROCFERRY_INVALID_ARGUMENT) << r.words;
        EXPECT_EQ(procferry_capture_texts(&o, &t, &capture, &captured), PROCFERRY_INVALID_ARGUMENT) << r.words;
        EXPECT_EQ(procferry_capture_check_texts(&o, &t, &capture, &checked), PROCFERRY_INVALID_ARGUMENT);
        for (const procferry_result *result : {&started, &captured.result, &checked}) {
            EXPECT_EQ(result->error, EINVAL) << r.words;
            EXPECT_TRUE(contains(result->words, r.words)) << result->words << "\nlacks: " << r.words;
        }
        EXPECT_EQ(captured.out, nullptr);
        procferry_capture_free(&captured);
    }
}

// A capture's own refusals are named in the words it keeps.
TEST(OutcomeWords, CaptureRefusalsNameTheChoice)
{
    struct row {
        std::function<void(procferry_options &, procferry_capture_options &)> set_up;
        const char *words;
    } rows[] = {
        {[](procferry_options &o, procferry_capture_options &) { o.streams[1].kind = PROCFERRY_STREAM_NULL; },
         "stdout is chosen, but a capture keeps stdout itself"},
        {[](procferry_options &o, procferry_capture_options &) { o.streams[0].kind = PROCFERRY_STREAM_PIPE; },
         "stdin is a pipe of the library's, which a capture does not hand over"},
        {[](procferry_options &o, procferry_capture_options &) { o.streams[2].kind = PROCFERRY_STREAM_PIPE; },
         "stderr is a pipe of the library's"},
        {[](procferry_options &o, procferry_capture_options &c) {
             o.streams[0].kind = PROCFERRY_STREAM_NULL;
             c.input = "x";
             c.input_size = 1;
         }, "stdin is chosen as well as input bytes; give one"},
        {[](procferry_options &, procferry_capture_options &c) { c.input_size = 1; },
         "the capture's input is missing"},
        {[](procferry_options &o, procferry_capture_options &) { o.flags |= PROCFERRY_KILL_ON_CLOSE; },
         "a capture has no close"},
        {[](procferry_options &, procferry_capture_options &c) { c.size = 4; },
         "the capture's options are missing"},
    };
    for (const row &r : rows) {
        procferry_options o;
        procferry_options_init(&o);
        o.program = L"tool";
        procferry_capture_options capture;
        procferry_capture_options_init(&capture);
        r.set_up(o, capture);
        procferry_capture_result result;
        EXPECT_EQ(procferry_capture(&o, &capture, &result), PROCFERRY_INVALID_ARGUMENT) << r.words;
        char words[PROCFERRY_WORDS_SIZE];
        procferry_describe(nullptr, &result.result, words, sizeof words);
        EXPECT_TRUE(contains(words, r.words)) << words << "\nlacks: " << r.words;
        EXPECT_EQ(words_for(o, result.result), words) << "given the options, other words";
        // Told before anything starts, the same.
        procferry_result checked;
        EXPECT_EQ(procferry_capture_check(&o, &capture, &checked), PROCFERRY_INVALID_ARGUMENT);
        EXPECT_STREQ(checked.words, result.result.words);
        procferry_capture_free(&result);
    }
}

// The words a result keeps are cut to fit it, at a character.
TEST(OutcomeWords, KeptWordsAreCutAtACharacter)
{
    std::wstring program = L"a"; // so that the cut falls inside a character
    for (int i = 0; i < 400; ++i)
        program += L"\u4e2d"; // three bytes in UTF-8
    procferry_options o;
    procferry_options_init(&o);
    o.program = program.c_str();
    procferry_result result;
    ASSERT_EQ(procferry_start(&o, &result), PROCFERRY_LAUNCH_FAILED);
    char kept[PROCFERRY_WORDS_SIZE + 8];
    size_t length = procferry_describe(nullptr, &result, kept, sizeof kept);
    EXPECT_GE(length, (size_t)PROCFERRY_WORDS_SIZE - 4);
    EXPECT_LT(length, (size_t)PROCFERRY_WORDS_SIZE);
    bool utf8 = true;
    procferry::to_wide(kept, &utf8);
    EXPECT_TRUE(utf8) << "a character was cut in two";
    EXPECT_EQ(words_for(o, result).substr(0, length), kept);
}
