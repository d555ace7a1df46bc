// Round trip of the child's arguments: random vectors of UTF-16 arguments are
// quoted by the relay (quoted when needed), joined with single blanks as the
// launch call joins them, split again by the model of the child runtime, and
// must come back exactly; every block the relay allocated must be exactly as
// long as what it wrote into it. The same vectors quoted as the parent
// library quotes them (argument zero enclosed, every other argument always
// enclosed) must come back too; and the batch-file text must be written at
// exactly the length it was counted at, or refused for the reason it gives.
//
// The input bytes are read as a small program that builds the arguments, so
// that mutations keep producing the units that matter (backslash runs,
// quotes, blanks, tabs) instead of mostly ordinary text. Each byte is an
// operation in its top three bits with a parameter in the low five:
//   0  start the next argument (an argument may stay empty)
//   1  append parameter + 1 backslashes
//   2  append (parameter & 3) + 1 double quotes
//   3  append a blank
//   4  append a tab
//   5  append the UTF-16 unit in the next two bytes, little-endian (any unit
//      but zero, lone surrogates included)
//   6  append one unit from ordinary_units[parameter]
//   7  append (parameter + 1) * 64 backslashes
#include "counting_runtime.h"
#include "crt_split.h"
#include "relay_internal.h"
#include "rules/quote.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Keeps each run fast; long backslash runs are still reached through op 7.
const size_t MAX_TOTAL_UNITS = 16384;

const wchar_t ordinary_units[32] = {
    L'a', L'b', L'c', L'd', L'e', L'f', L'g', L'h', L'i', L'j', L'k',
    L'l', L'm', L'n', L'o', L'p', L'q', L'r', L's', L't', L'u', L'v',
    L'/', L':', L'.', L'-',
    L'\n', L'\v', L'\r', wchar_t(0x00A0), wchar_t(0x3000), wchar_t(0xFEFF)};

std::vector<std::wstring> decode_arguments(const uint8_t *data, size_t size)
{
    std::vector<std::wstring> arguments(1);
    size_t total = 0;
    for (size_t i = 0; i < size && total < MAX_TOTAL_UNITS; ++i) {
        unsigned operation = data[i] >> 5, parameter = data[i] & 31;
        if (operation == 0) {
            arguments.emplace_back();
            continue;
        }
        std::wstring &current = arguments.back();
        size_t before = current.size();
        switch (operation) {
        case 1: current.append(parameter + 1, L'\\'); break;
        case 2: current.append((parameter & 3) + 1, L'"'); break;
        case 3: current.push_back(L' '); break;
        case 4: current.push_back(L'\t'); break;
        case 5:
            if (size - i < 3)
                return arguments;
            if (wchar_t unit = wchar_t(data[i + 1] | data[i + 2] << 8))
                current.push_back(unit);
            i += 2;
            break;
        case 6: current.push_back(ordinary_units[parameter]); break;
        case 7: current.append(size_t(parameter + 1) * 64, L'\\'); break;
        }
        total += current.size() - before;
    }
    return arguments;
}

// Argument zero is split by the runtime's program-name rules: a double quote
// only toggles quoting and a backslash is always plain. The relay quotes it
// like any other argument, so it comes back intact exactly when it holds no
// double quote and, if it has a blank or a tab and so gets enclosing quotes,
// does not end in a backslash, whose doubling those rules would keep. Every
// program path qualifies: a Windows file name holds no double quote, and a
// program path does not end in a backslash. Other names are replaced by a
// path before the check. Arguments from one on are split by the full rules
// and must always come back.
bool program_name_survives(const std::wstring &name)
{
    if (name.find(L'"') != std::wstring::npos)
        return false;
    bool enclosed = name.find_first_of(L" \t") != std::wstring::npos;
    return !(enclosed && name.back() == L'\\');
}

void print_units(const char *label, const std::wstring &text)
{
    std::fprintf(stderr, "%s (%zu units):", label, text.size());
    for (wchar_t unit : text)
        std::fprintf(stderr, " %04x", unsigned(unit));
    std::fprintf(stderr, "\n");
}

std::wstring quoted_in(const std::wstring &argument, pf_quote_mode mode)
{
    size_t length = pf_quote_argument(argument.c_str(), mode, nullptr, 0);
    std::wstring text(length + 2, L'?');
    if (pf_quote_argument(argument.c_str(), mode, &text[0], length + 1) != length ||
        text[length] != L'\0' || text[length + 1] != L'?')
        std::abort();
    text.resize(length);
    return text;
}

void check_batch_text(const std::vector<std::wstring> &arguments)
{
    std::vector<const wchar_t *> args;
    bool ends_a_command = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        args.push_back(arguments[i].c_str());
        ends_a_command = ends_a_command || arguments[i].find_first_of(L"\r\n") != std::wstring::npos;
    }
    args.push_back(nullptr);
    size_t length = 0;
    int error = pf_batch_command_text(L"C:\\s\\x.bat", args.data(), nullptr, 0, &length);
    if (ends_a_command ? error != EINVAL : error != (length > 7679 ? E2BIG : 0))
        std::abort();
    if (error != 0)
        return;
    std::wstring text(length + 2, L'?');
    size_t written = 0;
    if (pf_batch_command_text(L"C:\\s\\x.bat", args.data(), &text[0], length + 1, &written) != 0 ||
        written != length || text[length] != L'\0' || text[length + 1] != L'?' ||
        text.find(L'\0') != length)
        std::abort();
}

[[noreturn]] void fail(const char *what, const std::vector<std::wstring> &arguments,
                       const std::wstring &command_text)
{
    std::fprintf(stderr, "round trip failed: %s\n", what);
    for (const std::wstring &argument : arguments)
        print_units("argument", argument);
    print_units("command text", command_text);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::wstring> arguments = decode_arguments(data, size);
    if (!program_name_survives(arguments[0]))
        arguments[0] = L"C:\\Program Files\\p.exe";

    std::vector<wchar_t *> wide_run;
    for (std::wstring &argument : arguments)
        wide_run.push_back(argument.data());
    wide_run.push_back(nullptr);

    wchar_t **child_argv = build_child_argv(wide_run.data());

    std::wstring command_text;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            command_text.push_back(L' ');
        if (!child_argv[i])
            fail("missing slot", arguments, command_text);
        command_text.append(child_argv[i]);
    }
    if (child_argv[arguments.size()])
        fail("vector not null-terminated", arguments, command_text);

    const std::vector<recorded_allocation> &blocks = recorded_allocations();
    if (blocks.size() != arguments.size() + 1 || blocks[0].block != child_argv ||
        blocks[0].count != arguments.size() + 1 || blocks[0].size != sizeof(wchar_t *))
        fail("vector block size", arguments, command_text);
    for (size_t i = 0; i < arguments.size(); ++i) {
        const recorded_allocation &block = blocks[i + 1]; // quoted in order
        if (block.block != child_argv[i] || block.count != std::wcslen(child_argv[i]) + 1 ||
            block.size != sizeof(wchar_t))
            fail("argument block size", arguments, command_text);
    }

    if (child_command_length(child_argv) != long(command_text.size() + 1))
        fail("command length", arguments, command_text);
    // Children run on Windows' msvcrt.dll or on wine's, which split argument
    // zero and doubled quotes differently; the relay's text must split back
    // the same under both.
    if (crt_model::split_command_line(command_text, crt_model::msvcrt_windows) != arguments)
        fail("split differs (Windows runtime)", arguments, command_text);
    if (crt_model::split_command_line(command_text, crt_model::msvcrt_wine) != arguments)
        fail("split differs (wine runtime)", arguments, command_text);

    release_allocations();

    // The library's argument zero is the relay's path, which never ends in a
    // backslash; wine's runtime would read one before the closing quote as
    // an escape.
    if (!arguments[0].empty() && arguments[0].back() == L'\\')
        arguments[0] = L"C:\\Program Files\\p.exe";
    std::wstring library_text = quoted_in(arguments[0], PF_QUOTE_PROGRAM_NAME);
    for (size_t i = 1; i < arguments.size(); ++i)
        library_text += L" " + quoted_in(arguments[i], PF_QUOTE_ALWAYS);
    if (crt_model::split_command_line(library_text, crt_model::msvcrt_windows) != arguments)
        fail("split differs, always quoted (Windows runtime)", arguments, library_text);
    if (crt_model::split_command_line(library_text, crt_model::msvcrt_wine) != arguments)
        fail("split differs, always quoted (wine runtime)", arguments, library_text);

    check_batch_text(arguments);
    return 0;
}
