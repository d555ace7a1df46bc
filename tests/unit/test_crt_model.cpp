// The test model of the child runtime's splitting rules, on the examples the
// runtime's documentation gives and on the edges the fuzzer relies on. The
// wine tests hold the model against the real msvcrt.dll.
#include "crt_split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using args = std::vector<std::wstring>;

TEST(crt_model, documented_examples)
{
    EXPECT_EQ(crt_split_command_line(L"p \"a b c\" d e"), (args{L"p", L"a b c", L"d", L"e"}));
    EXPECT_EQ(crt_split_command_line(L"p \"ab\\\"c\" \"\\\\\" d"),
              (args{L"p", L"ab\"c", L"\\", L"d"}));
    EXPECT_EQ(crt_split_command_line(L"p a\\\\\\b d\"e f\"g h"),
              (args{L"p", L"a\\\\\\b", L"de fg", L"h"}));
    EXPECT_EQ(crt_split_command_line(L"p a\\\\\\\"b c d"), (args{L"p", L"a\\\"b", L"c", L"d"}));
    EXPECT_EQ(crt_split_command_line(L"p a\\\\\\\\\"b c\" d e"),
              (args{L"p", L"a\\\\b c", L"d", L"e"}));
}

TEST(crt_model, separators)
{
    EXPECT_EQ(crt_split_command_line(L"p \t a\t\tb  "), (args{L"p", L"a", L"b"}));
    EXPECT_EQ(crt_split_command_line(L"p a\nb\vc"), (args{L"p", L"a\nb\vc"}));
    EXPECT_EQ(crt_split_command_line(L"p \"\" \"\""), (args{L"p", L"", L""}));
    EXPECT_EQ(crt_split_command_line(L"p \"a b"), (args{L"p", L"a b"}));
}

TEST(crt_model, argument_zero_has_no_backslash_escapes)
{
    EXPECT_EQ(crt_split_command_line(L"C:\\dir\\ x"), (args{L"C:\\dir\\", L"x"}));
    EXPECT_EQ(crt_split_command_line(L"\"C:\\a b\\\" x"), (args{L"C:\\a b\\", L"x"}));
    EXPECT_EQ(crt_split_command_line(L"a\\\"b c\" d"), (args{L"a\\b c", L"d"}));
    EXPECT_EQ(crt_split_command_line(L"\"\" x"), (args{L"", L"x"}));
}

TEST(crt_model, argument_zero_always_exists)
{
    EXPECT_EQ(crt_split_command_line(L""), (args{L""}));
    EXPECT_EQ(crt_split_command_line(L" x"), (args{L"", L"x"}));
}

TEST(crt_model, doubled_quote_inside_quoting)
{
    std::wstring text = L"p \"a\"\"b c\"";
    EXPECT_EQ(crt_split_command_line(text), (args{L"p", L"a\"b", L"c"}));
    EXPECT_EQ(crt_model::split_command_line(text, crt_model::doubled_quote::literal_stay_open),
              (args{L"p", L"a\"b c"}));
    // Outside quoting the pair is an empty quoted stretch.
    EXPECT_EQ(crt_split_command_line(L"p a\"\"b"), (args{L"p", L"ab"}));
}

TEST(crt_model, utf16_text)
{
    std::u16string text = u"p \"\u00e9 \xD800\" \xDC00";
    EXPECT_EQ(crt_split_command_line(text),
              (std::vector<std::u16string>{u"p", u"\u00e9 \xD800", u"\xDC00"}));
}

} // namespace
