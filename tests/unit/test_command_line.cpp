// Reading the relay's own command line into its settings: one row per rule,
// a text in one position and the setting it gives; then the wide view holding
// fewer entries than the narrow one. Last, the command line the relay gives
// the command interpreter for a batch file.
#include "counting_runtime.h"
#include "relay_internal.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A well-formed line: report 7, sync 8, streams inherited, no directory, no
// close, no search, no wait, the program "prog" and one argument "arg".
std::vector<std::string> base_line()
{
    return {"relay", "7", "8", "-", "-", "-", "-", "n", "n", "n", "prog", "arg"};
}

std::string stream_text(const stream_setting &setting)
{
    switch (setting.kind) {
    case STREAM_INHERIT:
        return "inherit";
    case STREAM_NULL:
        return "null";
    case STREAM_FD:
        return "fd " + std::to_string(setting.fd);
    }
    return "?";
}

std::string narrow_text(const wchar_t *wide)
{
    if (!wide)
        return "(absent)";
    std::string text;
    for (; *wide; ++wide)
        text += (char)*wide;
    return text;
}

// One setting as text, by name, so that a table row can name what it expects.
std::string field(const relay_settings &settings, const std::string &name)
{
    if (name == "report")
        return std::to_string(settings.report_fd);
    if (name == "sync")
        return std::to_string(settings.sync_fd);
    if (name == "stdin")
        return stream_text(settings.streams[0]);
    if (name == "stdout")
        return stream_text(settings.streams[1]);
    if (name == "stderr")
        return stream_text(settings.streams[2]);
    if (name == "change_dir")
        return settings.change_dir ? "yes" : "no";
    if (name == "close")
        return settings.close_fds ? "yes" : "no";
    if (name == "search")
        return settings.search ? "yes" : "no";
    if (name == "wait")
        return settings.wait ? "yes" : "no";
    if (name == "program")
        return narrow_text(settings.program);
    if (name == "first_child_arg")
        return narrow_text(settings.child_args[0]);
    return "unknown field " + name;
}

struct reading_case {
    int position;
    const char *text;
    const char *field;
    const char *expected;
    const wchar_t *wide_text = nullptr; // the wide view's text, when it is not text widened
};

const reading_case reading_cases[] = {
    // Channels: atoi rules; the argv-zero marker is the last character of position 1.
    {ARG_REPORT_FD, "7", "report", "7"},
    {ARG_REPORT_FD, "7", "first_child_arg", "prog"},
    {ARG_REPORT_FD, "7#", "report", "7"},
    {ARG_REPORT_FD, "7#", "first_child_arg", "arg"},
    {ARG_REPORT_FD, "12##", "first_child_arg", "arg"},
    {ARG_REPORT_FD, "#", "report", "0"},
    {ARG_REPORT_FD, "#", "first_child_arg", "arg"},
    {ARG_REPORT_FD, "#7", "first_child_arg", "prog"},
    {ARG_REPORT_FD, "7# ", "first_child_arg", "prog"},
    {ARG_REPORT_FD, "", "report", "0"},
    {ARG_REPORT_FD, "", "first_child_arg", "prog"},
    {ARG_REPORT_FD, " 5x", "report", "5"},
    {ARG_REPORT_FD, "+5", "report", "5"},
    {ARG_SYNC_FD, "-3", "sync", "-3"},
    {ARG_SYNC_FD, "xyz", "sync", "0"},
    // Stream settings: the first character decides; "-" and "z" whatever follows.
    {ARG_STDIN_SETTING, "-", "stdin", "inherit"},
    {ARG_STDIN_SETTING, "-junk", "stdin", "inherit"},
    {ARG_STDIN_SETTING, "-5", "stdin", "inherit"},
    {ARG_STDIN_SETTING, "z", "stdin", "null"},
    {ARG_STDIN_SETTING, "zzz", "stdin", "null"},
    {ARG_STDIN_SETTING, "Z", "stdin", "fd 0"},
    {ARG_STDOUT_SETTING, "5", "stdout", "fd 5"},
    {ARG_STDOUT_SETTING, "abc", "stdout", "fd 0"},
    {ARG_STDOUT_SETTING, "", "stdout", "fd 0"},
    {ARG_STDERR_SETTING, "1", "stderr", "fd 1"},
    {ARG_STDERR_SETTING, " 12", "stderr", "fd 12"},
    // The directory: only "-" alone means no change.
    {ARG_WORK_DIR, "-", "change_dir", "no"},
    {ARG_WORK_DIR, "-x", "change_dir", "yes"},
    {ARG_WORK_DIR, "--", "change_dir", "yes"},
    {ARG_WORK_DIR, "", "change_dir", "yes"},
    {ARG_WORK_DIR, "C:\\", "change_dir", "yes"},
    // The wide text decides: the narrow view makes '-' of other dashes.
    {ARG_WORK_DIR, "-", "change_dir", "yes", L"\uFF0D"},
    {ARG_WORK_DIR, "-", "change_dir", "yes", L"\u2212"},
    {ARG_WORK_DIR, "-", "change_dir", "yes", L"\u2010"},
    // Letters: the first character, case-sensitively.
    {ARG_CLOSE_FDS, "y", "close", "yes"},
    {ARG_CLOSE_FDS, "yes", "close", "yes"},
    {ARG_CLOSE_FDS, "Y", "close", "no"},
    {ARG_CLOSE_FDS, " y", "close", "no"},
    {ARG_CLOSE_FDS, "", "close", "no"},
    {ARG_SEARCH_PATH, "y", "search", "yes"},
    {ARG_SEARCH_PATH, "n", "search", "no"},
    {ARG_WAIT_MODE, "w", "wait", "yes"},
    {ARG_WAIT_MODE, "wait", "wait", "yes"},
    {ARG_WAIT_MODE, "W", "wait", "no"},
    {ARG_WAIT_MODE, "nowait", "wait", "no"},
};

TEST(reading_settings, each_position_by_its_rule)
{
    for (const reading_case &row : reading_cases) {
        std::vector<std::string> line = base_line();
        line[row.position] = row.text;
        std::vector<char *> narrow;
        std::vector<std::wstring> wide_texts;
        for (std::string &entry : line) {
            narrow.push_back(&entry[0]);
            wide_texts.push_back(std::wstring(entry.begin(), entry.end()));
        }
        if (row.wide_text)
            wide_texts[row.position] = row.wide_text;
        std::vector<wchar_t *> wide;
        for (std::wstring &entry : wide_texts)
            wide.push_back(&entry[0]);
        wide.push_back(nullptr);
        relay_settings settings = read_settings(narrow.data(), (int)line.size(), wide.data());
        EXPECT_EQ(field(settings, row.field), row.expected)
            << "position " << row.position << " = \"" << row.text << "\"";
        if (row.position == ARG_WORK_DIR)
            EXPECT_EQ(settings.work_dir, wide[ARG_WORK_DIR]) << "the directory is the wide text";
    }
}

// A wide view whose storage goes on past its null entry with entries that
// must never be reached: reading past the null entry would return one.
struct short_wide_case {
    int wide_argc;
    const char *report_text;
    bool work_dir_present;
    bool program_present;
    int first_child_arg; // index into the wide view; wide_argc is its null entry
};

const short_wide_case short_wide_cases[] = {
    {12, "7", true, true, ARG_TARGET},
    {4, "7", false, false, 4},
    {10, "7", true, false, 10},
    {10, "7#", true, false, 10},
    {11, "7#", true, true, 11},
    {2, "7#", false, false, 2},
};

TEST(reading_settings, wide_view_shorter_than_the_narrow_one)
{
    std::vector<std::string> line = base_line();
    for (const short_wide_case &row : short_wide_cases) {
        line[ARG_REPORT_FD] = row.report_text;
        std::vector<char *> narrow;
        for (std::string &entry : line)
            narrow.push_back(&entry[0]);
        wchar_t name[] = L"entry", beyond[] = L"BEYOND";
        wchar_t *storage[16];
        for (int i = 0; i < 16; ++i)
            storage[i] = i < row.wide_argc ? name : beyond;
        storage[row.wide_argc] = nullptr;
        relay_settings settings = read_settings(narrow.data(), row.wide_argc, storage);
        SCOPED_TRACE("wide count " + std::to_string(row.wide_argc) + ", report " + row.report_text);
        EXPECT_EQ(settings.work_dir != nullptr, row.work_dir_present);
        EXPECT_EQ(settings.program != nullptr, row.program_present);
        EXPECT_EQ(settings.child_args, storage + row.first_child_arg);
        wchar_t **child_argv = build_child_argv(settings.child_args);
        int count = 0;
        while (child_argv[count])
            ++count;
        EXPECT_EQ(count, row.wide_argc - row.first_child_arg);
        release_allocations();
    }
}

// The interpreter's vector: its path quoted, the switches, and one text
// holding the quoted script and each argument encoded.
struct batch_case {
    const char *name;
    std::wstring script;
    std::vector<std::wstring> args;
    std::wstring text; // after /c; empty when refused
    int refusal;       // errno when refused
};

const std::wstring PCT = L"%%cd:~,%%%cd:~,%"; // one % of an argument

const batch_case batch_cases[] = {
    {"no arguments", L"C:\\s\\x.bat", {}, L"\"\"C:\\s\\x.bat\"\"", 0},
    {"plain arguments stay bare", L"C:\\s\\x.bat", {L"a1", L"-_./:?@#$*+\\x"},
     L"\"\"C:\\s\\x.bat\" a1 -_./:?@#$*+\\x\"", 0},
    {"empty, blank and trailing backslash are quoted", L"C:\\s\\x.bat", {L"", L"a b", L"x y\\", L"\\"},
     L"\"\"C:\\s\\x.bat\" \"\" \"a b\" \"x y\\\\\" \"\\\\\"\"", 0},
    {"a quote is doubled", L"C:\\s\\x.bat", {L"\""}, L"\"\"C:\\s\\x.bat\" \"\"\"\"\"", 0},
    {"backslashes before a quote doubled", L"C:\\s\\x.bat", {L"a\\\"b"},
     L"\"\"C:\\s\\x.bat\" \"a\\\\\"\"b\"\"", 0},
    {"specials stay inside quotes", L"C:\\s\\x.bat", {L"&|<>^(),;=!"},
     L"\"\"C:\\s\\x.bat\" \"&|<>^(),;=!\"\"", 0},
    {"key=\"foo bar\"", L"C:\\s\\x.bat", {L"key=\"foo bar\""},
     L"\"\"C:\\s\\x.bat\" \"key=\"\"foo bar\"\"\"\"", 0},
    {"every % survives two readings", L"C:\\s\\x.bat", {L"%PATH%"},
     L"\"\"C:\\s\\x.bat\" \"" + PCT + L"PATH" + PCT + L"\"\"", 0},
    {"a % in the script path is read once", L"C:\\a%b\\x.bat", {},
     L"\"\"C:\\a%%cd:~,%b\\x.bat\"\"", 0},
    {"line feed", L"C:\\s\\x.bat", {L"a\nb"}, L"", EINVAL},
    {"carriage return", L"C:\\s\\x.bat", {L"ok", L"\r"}, L"", EINVAL},
    {"quote in the script path", L"C:\\s\\x\".bat", {}, L"", EINVAL},
    {"script path ending in a backslash", L"C:\\s\\x.bat\\", {}, L"", EINVAL},
    // 15 units around the argument: the longest text left below the limit
    // for the script's own line is 7679 units.
    {"longest text", L"C:\\s\\x.bat", {std::wstring(7664, L'a')},
     L"\"\"C:\\s\\x.bat\" " + std::wstring(7664, L'a') + L"\"", 0},
    {"one unit more", L"C:\\s\\x.bat", {std::wstring(7665, L'a')}, L"", E2BIG},
    {"a % costs 16", L"C:\\s\\x.bat", {std::wstring(500, L'%')}, L"", E2BIG},
};

TEST(batch_command, script_and_arguments_in_one_quoted_text)
{
    for (const batch_case &row : batch_cases) {
        SCOPED_TRACE(row.name);
        std::vector<std::wstring> args = row.args;
        std::vector<wchar_t *> arg_pointers;
        for (std::wstring &arg : args)
            arg_pointers.push_back(&arg[0]);
        arg_pointers.push_back(nullptr);
        errno = 0;
        wchar_t **argv = build_batch_argv(L"C:\\sys\\cmd.exe", row.script.c_str(), arg_pointers.data());
        if (row.refusal) {
            EXPECT_EQ(argv, nullptr);
            EXPECT_EQ(errno, row.refusal);
        } else {
            ASSERT_NE(argv, nullptr);
            std::vector<std::wstring> entries;
            for (int i = 0; argv[i]; ++i)
                entries.push_back(argv[i]);
            std::vector<std::wstring> expected = {L"\"C:\\sys\\cmd.exe\"", L"/d", L"/e:ON", L"/v:OFF",
                                                  L"/c", row.text};
            EXPECT_EQ(entries, expected);
        }
        release_allocations();
    }
}

} // namespace
