// A text written into a caller's buffer of capacity units, or only counted
// (capacity 0): what does not fit is dropped, the count goes on, and the
// text is always terminated when there is room for anything at all. The
// rules write through it so that one pass counts and the next fills a block
// of exactly that size, and so that they never allocate.
#ifndef PROCFERRY_RULES_TEXT_WRITER_H
#define PROCFERRY_RULES_TEXT_WRITER_H

#include <stddef.h>
#include <wchar.h>

struct text_writer {
    wchar_t *out;
    size_t capacity;
    size_t length;
};

static inline void put_units(struct text_writer *writer, wchar_t unit, size_t copies)
{
    for (; copies > 0; --copies, ++writer->length)
        if (writer->length + 1 < writer->capacity)
            writer->out[writer->length] = unit;
}

static inline void put_text(struct text_writer *writer, const wchar_t *text)
{
    for (; *text; ++text)
        put_units(writer, *text, 1);
}

// Terminates the text; returns its whole length, terminator not included.
static inline size_t finish_text(struct text_writer *writer)
{
    if (writer->capacity > 0)
        writer->out[writer->length < writer->capacity ? writer->length : writer->capacity - 1] = L'\0';
    return writer->length;
}

#endif
