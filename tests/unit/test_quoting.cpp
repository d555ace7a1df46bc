// Quoting of the child's arguments (rules/quote.cpp): the exact text of each
// quoted argument in every mode, the exact size of the relay's blocks, and
// what the child's runtime makes of it.
#include "counting_runtime.h"
#include "crt_split.h"
#include "relay_internal.h"
#include "rules/quote.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct quoting_case {
    const char *name;
    std::wstring argument;
    std::wstring quoted;
};

const wchar_t BS = L'\\';

std::wstring backslashes(size_t count)
{
    return std::wstring(count, BS);
}

const quoting_case quoting_cases[] = {
    // Arguments the child splits correctly as they are.
    {"plain_text_unchanged", L"abc", L"abc"},
    {"line_feed_needs_no_quotes", L"a\nb", L"a\nb"},
    {"other_white_space_needs_no_quotes", L"a\vb\rc\fd", L"a\vb\rc\fd"},
    {"utf16_units_unchanged",
     std::wstring{L'\x00e9', wchar_t(0xD83D), wchar_t(0xDE00), wchar_t(0xD800), L'z'},
     std::wstring{L'\x00e9', wchar_t(0xD83D), wchar_t(0xDE00), wchar_t(0xD800), L'z'}},

    // A blank or tab anywhere encloses the argument in quotes.
    {"blank_inside", L"a b", L"\"a b\""},
    {"blank_alone", L" ", L"\" \""},
    {"tab_alone", L"\t", L"\"\t\""},
    {"blank_at_both_ends", L" a ", L"\" a \""},
    {"windows_path_with_blank", L"C:\\dir\\x y", L"\"C:\\dir\\x y\""},

    // Every double quote is escaped, and a backslash run before it doubled.
    {"quote", L"a\"b", L"a\\\"b"},
    {"quote_alone", L"\"", L"\\\""},
    {"two_quotes", L"\"\"", L"\\\"\\\""},
    {"backslash_before_quote", L"a\\\"b", L"a\\\\\\\"b"},
    {"three_backslashes_before_quote", backslashes(3) + L"\"", backslashes(7) + L"\""},
    {"quote_in_quoted_argument", L"a \"b", L"\"a \\\"b\""},
    {"backslashes_before_quote_in_quoted_argument", L"a \\\\\"", L"\"a \\\\\\\\\\\"\""},

    // Backslashes not before a quote are copied one for one.
    {"backslashes_inside", L"a\\\\b", L"a\\\\b"},
    {"three_backslashes_inside", L"a\\\\\\b", L"a\\\\\\b"},
    {"backslashes_inside_quoted", L"a\\\\ b", L"\"a\\\\ b\""},
    {"trailing_backslash_unquoted", L"ab\\", L"ab\\"},
    {"trailing_backslashes_unquoted", L"ab\\\\", L"ab\\\\"},
    {"backslash_alone", L"\\", L"\\"},

    // The closing quote must stay a quote: a run that ends the argument is
    // doubled when quotes enclose it.
    {"trailing_backslash_quoted", L"x y\\", L"\"x y\\\\\""},
    {"trailing_backslashes_quoted", L"x y\\\\", L"\"x y\\\\\\\\\""},
    {"trailing_backslash_after_tab", L"\t\\", L"\"\t\\\\\""},

    // An empty argument must still reach the child as an argument.
    {"empty", L"", L"\"\""},
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const quoting_case &row, std::ostream *out)
{
    *out << row.name;
}

class quoting : public testing::TestWithParam<quoting_case> {
  protected:
    void TearDown() override { release_allocations(); }
};

TEST_P(quoting, gives_exact_text_in_exact_block)
{
    const quoting_case &row = GetParam();
    wchar_t *quoted = quote_child_argument(row.argument.c_str());
    EXPECT_EQ(std::wstring(quoted), row.quoted);

    ASSERT_EQ(recorded_allocations().size(), 1u);
    const recorded_allocation &block = recorded_allocations()[0];
    EXPECT_EQ(block.block, quoted);
    EXPECT_EQ(block.count, row.quoted.size() + 1);
    EXPECT_EQ(block.size, sizeof(wchar_t));
}

TEST_P(quoting, child_receives_the_argument)
{
    const quoting_case &row = GetParam();
    std::wstring command_text = L"p " + std::wstring(quote_child_argument(row.argument.c_str()));
    EXPECT_EQ(crt_split_command_line(command_text),
              (std::vector<std::wstring>{L"p", row.argument}));
}

INSTANTIATE_TEST_SUITE_P(cases, quoting, testing::ValuesIn(quoting_cases),
                         [](const testing::TestParamInfo<quoting_case> &info) {
                             return std::string(info.param.name);
                         });

// The parent library encloses every argument, and argument zero without
// escaping anything; a text cut to the caller's capacity is still ended.
struct mode_case {
    const char *name;
    pf_quote_mode mode;
    std::wstring argument;
    std::wstring quoted;
};

const mode_case mode_cases[] = {
    {"always_plain", PF_QUOTE_ALWAYS, L"abc", L"\"abc\""},
    {"always_empty", PF_QUOTE_ALWAYS, L"", L"\"\""},
    {"always_quote", PF_QUOTE_ALWAYS, L"a\"b", L"\"a\\\"b\""},
    {"always_trailing_backslash", PF_QUOTE_ALWAYS, L"a\\", L"\"a\\\\\""},
    {"always_inner_backslash", PF_QUOTE_ALWAYS, L"a\\b", L"\"a\\b\""},
    {"program_name_with_blank", PF_QUOTE_PROGRAM_NAME, L"C:\\p q\\x.exe", L"\"C:\\p q\\x.exe\""},
    {"program_name_backslashes_plain", PF_QUOTE_PROGRAM_NAME, L"a\\", L"\"a\\\""},
};

TEST(quoting_modes, exact_text_and_what_the_child_receives)
{
    for (const mode_case &row : mode_cases) {
        SCOPED_TRACE(row.name);
        size_t length = pf_quote_argument(row.argument.c_str(), row.mode, nullptr, 0);
        ASSERT_EQ(length, row.quoted.size());
        std::vector<wchar_t> out(length + 1, L'?');
        EXPECT_EQ(pf_quote_argument(row.argument.c_str(), row.mode, out.data(), out.size()), length);
        EXPECT_EQ(std::wstring(out.data()), row.quoted);
        if (row.mode == PF_QUOTE_ALWAYS)
            EXPECT_EQ(crt_split_command_line(L"p " + row.quoted),
                      (std::vector<std::wstring>{L"p", row.argument}));
        wchar_t cut[3] = {L'?', L'?', L'?'};
        EXPECT_EQ(pf_quote_argument(row.argument.c_str(), row.mode, cut, 2), length);
        EXPECT_EQ(std::wstring(cut, 2), row.quoted.substr(0, 1) + L'\0');
    }
}

TEST(quoting_long_runs, backslash_run_before_quote_doubles_plus_one)
{
    const size_t run = 5000;
    std::wstring argument = backslashes(run) + L"\"";
    std::wstring quoted(quote_child_argument(argument.c_str()));
    EXPECT_EQ(quoted, backslashes(2 * run + 1) + L"\"");
    release_allocations();
}

class child_vector : public testing::Test {
  protected:
    void TearDown() override { release_allocations(); }
};

TEST_F(child_vector, empty_run_gives_single_null_slot)
{
    wchar_t *wide_argv[] = {nullptr};
    wchar_t **child_argv = build_child_argv(wide_argv);
    EXPECT_EQ(child_argv[0], nullptr);

    ASSERT_EQ(recorded_allocations().size(), 1u);
    EXPECT_EQ(recorded_allocations()[0].block, child_argv);
    EXPECT_EQ(recorded_allocations()[0].count, 1u);
    EXPECT_EQ(recorded_allocations()[0].size, sizeof(wchar_t *));
}

TEST_F(child_vector, quotes_each_entry_into_exact_blocks)
{
    std::wstring entries[] = {L"prog", L"a b", L"", L"x\\\""};
    wchar_t *wide_argv[] = {&entries[0][0], &entries[1][0], &entries[2][0], &entries[3][0],
                            nullptr};
    const wchar_t *expected[] = {L"prog", L"\"a b\"", L"\"\"", L"x\\\\\\\""};

    wchar_t **child_argv = build_child_argv(wide_argv);

    ASSERT_EQ(recorded_allocations().size(), 5u);
    EXPECT_EQ(recorded_allocations()[0].block, child_argv);
    EXPECT_EQ(recorded_allocations()[0].count, 5u);
    EXPECT_EQ(recorded_allocations()[0].size, sizeof(wchar_t *));
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(child_argv[i], nullptr);
        EXPECT_STREQ(child_argv[i], expected[i]);
        const recorded_allocation *block = find_allocation(child_argv[i]);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->count, std::wcslen(expected[i]) + 1);
        EXPECT_EQ(block->size, sizeof(wchar_t));
    }
    EXPECT_EQ(child_argv[4], nullptr);
    EXPECT_EQ(entries[1], L"a b"); // the wide view is left as it was
}

TEST_F(child_vector, starts_at_the_given_entry)
{
    std::wstring entries[] = {L"relay", L"prog", L"arg"};
    wchar_t *wide_argv[] = {&entries[0][0], &entries[1][0], &entries[2][0], nullptr};
    wchar_t **child_argv = build_child_argv(wide_argv + 1);
    EXPECT_STREQ(child_argv[0], L"prog");
    EXPECT_STREQ(child_argv[1], L"arg");
    EXPECT_EQ(child_argv[2], nullptr);
}

// The launch call joins the entries with single blanks; the length it needs
// decides whether the command text fits the platform's limit.
TEST(command_length, counts_entries_separators_and_terminator)
{
    wchar_t prog[] = L"prog", quoted[] = L"\"a b\"", empty[] = L"\"\"";
    wchar_t *one[] = {prog, nullptr};
    wchar_t *three[] = {prog, quoted, empty, nullptr};
    wchar_t *none[] = {nullptr};
    EXPECT_EQ(child_command_length(none), 1);
    EXPECT_EQ(child_command_length(one), 5);
    EXPECT_EQ(child_command_length(three), long(std::wstring(L"prog \"a b\" \"\"").size() + 1));
}

TEST(command_length, reaches_the_platform_limit_exactly)
{
    std::wstring program(100, L'p'), argument(RELAY_COMMAND_TEXT_LIMIT - 100 - 2, L'a');
    wchar_t *entries[] = {&program[0], &argument[0], nullptr};
    EXPECT_EQ(child_command_length(entries), long(RELAY_COMMAND_TEXT_LIMIT));
    argument.push_back(L'a');
    entries[1] = &argument[0];
    EXPECT_EQ(child_command_length(entries), long(RELAY_COMMAND_TEXT_LIMIT) + 1);
}

} // namespace
