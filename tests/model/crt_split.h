// Test-only model of how the Microsoft C runtime in msvcrt.dll splits a
// process's command text into its argument vector. Tests compare what the
// relay's quoting produces, split by this model, with what the relay was
// given; a wine test checks the model itself against the real runtime.
//
// Header-only and standard C++ only, so native and Windows tests share it.
// Text is a sequence of UTF-16 code units, held in std::wstring (16-bit units
// on Windows, 32-bit units holding UTF-16 values on Linux) or std::u16string.
// Only blank, tab, double quote and backslash are special; every other unit,
// lone surrogates included, is copied as it is.
//
// Argument zero, the program name, is read by simpler rules than the rest:
//   - reading starts at the first unit of the text; leading blanks are not
//     skipped, so a text starting with a blank has an empty argument zero;
//   - a double quote toggles quoting and is dropped;
//   - a blank or tab outside quoting ends the argument;
//   - a backslash is an ordinary unit, also before a double quote.
//   An empty text still gives one argument: an empty argument zero.
//
// Every further argument:
//   - blanks and tabs before an argument are skipped; at the end of the text
//     no further argument starts, so trailing blanks add nothing;
//   - 2n backslashes followed by a double quote give n backslashes, and the
//     quote toggles quoting and is dropped;
//   - 2n+1 backslashes followed by a double quote give n backslashes and a
//     literal double quote; quoting is unchanged;
//   - backslashes not followed by a double quote are literal;
//   - a blank or tab outside quoting ends the argument; inside it is kept;
//   - the end of the text ends the argument, even inside quoting;
//   - a double quote (after an even run of backslashes) inside quoting that
//     is directly followed by another double quote: the pair gives one
//     literal double quote. In msvcrt.dll the pair also ends the quoting
//     (doubled_quote::literal_and_close, the default); later Microsoft
//     runtimes keep the quoting open (doubled_quote::literal_stay_open).
//     The relay never emits this pair inside quoting: it escapes every quote
//     of an argument with a backslash, and its closing quote is followed by a
//     blank or the end of the text.
//
//   text                      argument vector
//   prog a b                  [prog] [a] [b]
//   "C:\a b\p.exe" "x y\\"    [C:\a b\p.exe] [x y\]
//   p a\\\"b a\\b             [p] [a\"b] [a\\b]
//   p "" "a""b c"             [p] [] [a"b] [c]   (default rule)
#ifndef PROCFERRY_TESTS_CRT_SPLIT_H
#define PROCFERRY_TESTS_CRT_SPLIT_H

#include <cstddef>
#include <string>
#include <vector>

namespace crt_model {

enum class doubled_quote {
    literal_and_close, // msvcrt.dll
    literal_stay_open  // later runtimes
};

// The runtimes the relay's children meet differ in two places. Windows'
// msvcrt.dll reads argument zero by the simpler rules above and closes the
// quoting after a doubled quote. Wine's msvcrt.dll (checked against wine 8 by
// the end-to-end model test) reads argument zero by the rules of the other
// arguments, leading blanks still not skipped, and keeps the quoting open.
// The relay's quoting must survive both.
struct dialect {
    bool program_name_escapes; // argument zero read like the others
    doubled_quote rule;
};
constexpr dialect msvcrt_windows{false, doubled_quote::literal_and_close};
constexpr dialect msvcrt_wine{true, doubled_quote::literal_stay_open};

template <class String> inline bool is_blank(typename String::value_type unit)
{
    return unit == ' ' || unit == '\t';
}

// Reads argument zero from text starting at position; returns the position
// just past the blank or tab that ended it, or the end of the text.
template <class String>
std::size_t read_program_name(const String &text, std::size_t position, String &name)
{
    bool quoting = false;
    for (; position < text.size(); ++position) {
        auto unit = text[position];
        if (unit == '"') {
            quoting = !quoting;
            continue;
        }
        if (!quoting && is_blank<String>(unit))
            return position + 1;
        name.push_back(unit);
    }
    return position;
}

// Reads one further argument starting at position, which is not a blank or
// tab and not the end; returns the position where it ended.
template <class String>
std::size_t read_argument(const String &text, std::size_t position, String &argument,
                          doubled_quote rule)
{
    bool quoting = false;
    while (position < text.size()) {
        std::size_t backslashes = 0;
        while (position < text.size() && text[position] == '\\') {
            ++backslashes;
            ++position;
        }
        if (position < text.size() && text[position] == '"') {
            argument.append(backslashes / 2, '\\');
            if (backslashes % 2 == 1) {
                argument.push_back('"');
                ++position;
                continue;
            }
            ++position;
            if (quoting && position < text.size() && text[position] == '"') {
                argument.push_back('"');
                ++position;
                if (rule == doubled_quote::literal_and_close)
                    quoting = false;
                continue;
            }
            quoting = !quoting;
            continue;
        }
        argument.append(backslashes, '\\');
        if (position == text.size())
            break;
        auto unit = text[position];
        if (!quoting && is_blank<String>(unit))
            break;
        argument.push_back(unit);
        ++position;
    }
    return position;
}

template <class String>
std::vector<String> split_command_line(const String &text, dialect runtime)
{
    std::vector<String> arguments(1);
    std::size_t position = runtime.program_name_escapes
                               ? read_argument(text, 0, arguments[0], runtime.rule)
                               : read_program_name(text, 0, arguments[0]);
    for (;;) {
        while (position < text.size() && is_blank<String>(text[position]))
            ++position;
        if (position == text.size())
            return arguments;
        arguments.emplace_back();
        position = read_argument(text, position, arguments.back(), runtime.rule);
    }
}

template <class String>
std::vector<String> split_command_line(const String &text,
                                       doubled_quote rule = doubled_quote::literal_and_close)
{
    return split_command_line(text, dialect{false, rule});
}

} // namespace crt_model

inline std::vector<std::wstring> crt_split_command_line(const std::wstring &text)
{
    return crt_model::split_command_line(text);
}

inline std::vector<std::u16string> crt_split_command_line(const std::u16string &text)
{
    return crt_model::split_command_line(text);
}

#endif
