// The relay's command line: quoting, and the positions in their order.
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"

namespace {

// A text that grows; on a failed allocation it stays failed and yields NULL.
struct text_buffer {
    wchar_t *units = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;

    bool reserve(size_t more)
    {
        if (failed)
            return false;
        if (length + more + 1 <= capacity)
            return true;
        size_t wanted = (length + more + 1) * 2;
        wchar_t *grown = (wchar_t *)realloc(units, wanted * sizeof(wchar_t));
        if (!grown) {
            failed = true;
            return false;
        }
        units = grown;
        capacity = wanted;
        return true;
    }
    void put(wchar_t unit, size_t count = 1)
    {
        if (!reserve(count))
            return;
        while (count--)
            units[length++] = unit;
        units[length] = 0;
    }
    wchar_t *take()
    {
        if (failed) {
            free(units);
            return nullptr;
        }
        return units;
    }
};

// The quoting rules, written to a sink that either counts or stores.
struct sink {
    wchar_t *out;
    size_t capacity;
    size_t length = 0;
    void put(wchar_t unit, size_t count = 1)
    {
        while (count--) {
            if (length + 1 < capacity)
                out[length] = unit;
            ++length;
        }
    }
    size_t finish()
    {
        if (capacity)
            out[length < capacity ? length : capacity - 1] = 0;
        return length;
    }
};

// Backslashes are plain except in a run before a quote, where each one must
// be doubled and the quote escaped; a run before the closing quote is doubled
// too. Examples: a"b -> "a\"b", a\ -> "a\\", a\b -> "a\b", empty -> "".
template <class Out> void quote_argument_to(const wchar_t *entry, Out &out)
{
    out.put(L'"');
    size_t backslashes = 0;
    for (; *entry; ++entry) {
        if (*entry == L'\\') {
            ++backslashes;
            continue;
        }
        out.put(L'\\', *entry == L'"' ? 2 * backslashes + 1 : backslashes);
        out.put(*entry);
        backslashes = 0;
    }
    out.put(L'\\', 2 * backslashes);
    out.put(L'"');
}

// Argument zero ends at the next quote, so a path (which holds none) only
// needs enclosing.
template <class Out> void quote_program_to(const wchar_t *path, Out &out)
{
    out.put(L'"');
    for (; *path; ++path)
        out.put(*path);
    out.put(L'"');
}

void put_number_argument(text_buffer &line, int number, const wchar_t *suffix)
{
    wchar_t digits[24];
    _itow(number, digits, 10);
    line.put(L' ');
    line.put(L'"');
    for (const wchar_t *unit = digits; *unit; ++unit)
        line.put(*unit);
    for (; *suffix; ++suffix)
        line.put(*suffix);
    line.put(L'"');
}

void put_argument(text_buffer &line, const wchar_t *entry)
{
    line.put(L' ');
    quote_argument_to(entry, line);
}

void put_letter(text_buffer &line, wchar_t letter)
{
    const wchar_t entry[2] = {letter, 0};
    put_argument(line, entry);
}

} // namespace

size_t procferry_quote_argument(const wchar_t *entry, wchar_t *out, size_t capacity)
{
    sink to{out, capacity};
    quote_argument_to(entry, to);
    return to.finish();
}

size_t procferry_quote_program(const wchar_t *path, wchar_t *out, size_t capacity)
{
    sink to{out, capacity};
    quote_program_to(path, to);
    return to.finish();
}

wchar_t *pf_build_line(void *request_pointer, const struct procferry_relay_fds *fds)
{
    const pf_line_request &request = *(const pf_line_request *)request_pointer;
    const wchar_t argv0_marker[2] = {(wchar_t)RELAY_ARGV0_MARKER, 0};
    text_buffer line;
    quote_program_to(request.relay, line);
    put_number_argument(line, fds->report, request.flags & PROCFERRY_ARGV0 ? argv0_marker : L"");
    put_number_argument(line, fds->sync, L"");
    for (int stream = 0; stream < 3; ++stream) {
        if (fds->streams[stream] >= 0)
            put_number_argument(line, fds->streams[stream], L"");
        else
            put_letter(line, (wchar_t)request.stream_letters[stream]);
    }
    // The relay reads a directory of exactly "-" as no change; "-" itself is
    // still reachable as ".\-".
    if (!request.dir)
        put_argument(line, L"" RELAY_NO_CHANGE_DIR);
    else if (wcscmp(request.dir, L"" RELAY_NO_CHANGE_DIR) == 0)
        put_argument(line, L".\\" RELAY_NO_CHANGE_DIR);
    else
        put_argument(line, request.dir);
    put_letter(line, request.flags & PROCFERRY_CLOSE_FDS ? RELAY_YES : L'n');
    put_letter(line, request.flags & PROCFERRY_SEARCH_PATH ? RELAY_YES : L'n');
    put_letter(line, request.flags & PROCFERRY_NO_WAIT ? L'n' : RELAY_WAIT);
    put_argument(line, request.program);
    for (size_t i = 0; i < request.arg_count; ++i)
        put_argument(line, request.args[i]);
    return line.take();
}

size_t procferry_utf8_to_wide(const char *text, wchar_t *out, size_t capacity)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0)
        return 0;
    if (out && capacity >= (size_t)length)
        MultiByteToWideChar(CP_UTF8, 0, text, -1, out, length);
    else if (out && capacity)
        out[0] = 0;
    return (size_t)length - 1;
}

size_t procferry_wide_to_utf8(const wchar_t *text, char *out, size_t capacity)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return 0;
    if (out && capacity >= (size_t)length)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out, length, nullptr, nullptr);
    else if (out && capacity)
        out[0] = 0;
    return (size_t)length - 1;
}
