// The relay's command line: quoting, and the positions in their order.
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"
#include "rules/quote.h"

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

// The protocol's quoting (rules/quote.h), written at the end of a line.
void put_quoted(text_buffer &line, const wchar_t *text, enum pf_quote_mode mode)
{
    size_t length = pf_quote_argument(text, mode, nullptr, 0);
    if (!line.reserve(length))
        return;
    pf_quote_argument(text, mode, line.units + line.length, length + 1);
    line.length += length;
}

// Every entry is enclosed, so that even an empty one survives.
void quote_argument_to(const wchar_t *entry, text_buffer &out)
{
    put_quoted(out, entry, PF_QUOTE_ALWAYS);
}

// Argument zero ends at the next quote, so a path (which holds none) only
// needs enclosing.
void quote_program_to(const wchar_t *path, text_buffer &out)
{
    put_quoted(out, path, PF_QUOTE_PROGRAM_NAME);
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

size_t empty(wchar_t *out, size_t capacity)
{
    if (out && capacity)
        out[0] = 0;
    return 0;
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
    if (!entry)
        return empty(out, capacity);
    return pf_quote_argument(entry, PF_QUOTE_ALWAYS, out, capacity);
}

size_t procferry_quote_program(const wchar_t *path, wchar_t *out, size_t capacity)
{
    if (!path)
        return empty(out, capacity);
    return pf_quote_argument(path, PF_QUOTE_PROGRAM_NAME, out, capacity);
}

wchar_t *pf_build_line(void *request_pointer, const struct pf_relay_fds *fds)
{
    const pf_line_request &request = *(const pf_line_request *)request_pointer;
    // The program comes apart from argument zero, and the relay never
    // searches: the caller found the file already.
    const wchar_t argv0_marker[2] = {(wchar_t)RELAY_ARGV0_MARKER, 0};
    text_buffer line;
    quote_program_to(request.relay, line);
    put_number_argument(line, fds->report, argv0_marker);
    put_number_argument(line, fds->sync, L"");
    for (int stream = 0; stream < 3; ++stream) {
        if (fds->streams[stream] >= 0)
            put_number_argument(line, fds->streams[stream], L"");
        else
            put_letter(line, (wchar_t)RELAY_STREAM_INHERIT);
    }
    // The relay reads a directory of exactly "-" as no change; a full path
    // is never that.
    put_argument(line, request.dir ? request.dir : L"" RELAY_NO_CHANGE_DIR);
    put_letter(line, L'n'); // the child gets no descriptor the plan does not list
    put_letter(line, L'n');
    put_letter(line, request.relay_waits ? RELAY_WAIT : L'n');
    put_argument(line, request.program);
    for (const wchar_t *const *entry = request.vector; *entry; ++entry)
        put_argument(line, *entry);
    return line.take();
}

