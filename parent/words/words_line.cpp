// The words' line and the texts, numbers, errnos and times it is made of.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "rules/exception_names.h"
#include "words.h"

namespace pf_words {

void put(line *words, const char *text, size_t size)
{
    for (size_t i = 0; i < size; ++i, ++words->length)
        if (words->length + 1 < words->capacity)
            words->out[words->length] = text[i];
}

void put(line *words, const char *text)
{
    put(words, text, strlen(text));
}

// format holds one number ("%lld") and a few words around it. Written out
// here, so that the library defines no formatting routine of the runtime's.
void put_number(line *words, const char *format, long long value)
{
    const char *at = strstr(format, "%lld");
    if (!at) {
        put(words, format);
        return;
    }
    put(words, format, (size_t)(at - format));
    char digits[24];
    int count = 0;
    unsigned long long magnitude = value < 0 ? 0ull - (unsigned long long)value : (unsigned long long)value;
    do {
        digits[count++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        put(words, "-");
    while (count)
        put(words, &digits[--count], 1);
    put(words, at + 4);
}

// UTF-16 as UTF-8; a lone surrogate shows as U+FFFD rather than ending the text.
void put_wide(line *words, const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return;
    char *utf8 = (char *)malloc((size_t)size);
    if (!utf8)
        return;
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, size, nullptr, nullptr);
    put(words, utf8, (size_t)size - 1);
    free(utf8);
}

void put_text(line *words, text value)
{
    if (value.wide)
        put_wide(words, value.wide);
    else if (value.utf8 && *value.utf8 && procferry_utf8_to_wide(value.utf8, nullptr, 0) == 0)
        put(words, "(a name that is not UTF-8)"); // the words stay UTF-8
    else if (value.utf8)
        put(words, value.utf8);
}

// The text in UTF-16, for the file system; false when absent or too long.
bool wide_form(text value, wchar_t *out, size_t capacity)
{
    if (value.wide) {
        size_t size = wcslen(value.wide);
        if (size >= capacity)
            return false;
        memcpy(out, value.wide, (size + 1) * sizeof(wchar_t));
        return true;
    }
    if (!value.utf8)
        return false;
    size_t length = procferry_utf8_to_wide(value.utf8, out, capacity);
    return length > 0 && length < capacity;
}

void put_errno(line *words, int error)
{
    const char *name = procferry_errno_name(error);
    if (name)
        put(words, name);
    else
        put_number(words, "errno %lld", error);
    put(words, ": ");
    const char *meaning = strerror(error);
    if (meaning && *meaning) {
        char first = meaning[0] >= 'A' && meaning[0] <= 'Z' ? (char)(meaning[0] - 'A' + 'a')
                                                             : meaning[0];
        put(words, &first, 1);
        put(words, meaning + 1);
    }
}

// Exception codes such as 0xC0000005 read better in hex.
void put_status(line *words, uint32_t status)
{
    char hex[9];
    for (int i = 0; i < 8; ++i)
        hex[i] = "0123456789ABCDEF"[status >> (28 - 4 * i) & 0xF];
    hex[8] = 0;
    // A known exception code is told by its name; any other keeps its
    // number, in hex too where it is one.
    if (const char *name = pf_exception_name(status)) {
        put(words, "0x");
        put(words, hex);
        put(words, " (");
        put(words, name);
        put(words, ")");
        return;
    }
    put_number(words, "%lld", (int32_t)status);
    if ((int32_t)status < 0) {
        put(words, " (0x");
        put(words, hex);
        put(words, ")");
    }
}

// "400ms", "5s", "1.5s".
void put_duration(line *words, uint32_t ms)
{
    if (ms < 1000)
        put_number(words, "%lldms", ms);
    else if (ms % 1000 == 0)
        put_number(words, "%llds", ms / 1000);
    else {
        // Seconds with the milliseconds, their trailing zeros dropped.
        put_number(words, "%lld.", ms / 1000);
        char fraction[3] = {(char)('0' + ms % 1000 / 100), (char)('0' + ms % 100 / 10), (char)('0' + ms % 10)};
        size_t size = 3;
        while (fraction[size - 1] == '0')
            --size;
        put(words, fraction, size);
        put(words, "s");
    }
}

bool is_separator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}


} // namespace pf_words

const char *procferry_errno_name(int error)
{
    static const struct {
        int number;
        const char *name;
    } names[] = {
#define NAME(e) {e, #e}
        NAME(EPERM),   NAME(ENOENT),  NAME(ESRCH),   NAME(EINTR),        NAME(EIO),
        NAME(ENXIO),   NAME(E2BIG),   NAME(ENOEXEC), NAME(EBADF),        NAME(ECHILD),
        NAME(EAGAIN),  NAME(ENOMEM),  NAME(EACCES),  NAME(EFAULT),       NAME(EBUSY),
        NAME(EEXIST),  NAME(EXDEV),   NAME(ENODEV),  NAME(ENOTDIR),      NAME(EISDIR),
        NAME(EINVAL),  NAME(ENFILE),  NAME(EMFILE),  NAME(ENOTTY),       NAME(EFBIG),
        NAME(ENOSPC),  NAME(ESPIPE),  NAME(EROFS),   NAME(EMLINK),       NAME(EPIPE),
        NAME(EDOM),    NAME(ERANGE),  NAME(EDEADLK), NAME(ENAMETOOLONG), NAME(ENOLCK),
        NAME(ENOSYS),  NAME(ENOTEMPTY), NAME(EILSEQ),
#undef NAME
    };
    for (const auto &entry : names)
        if (entry.number == error)
            return entry.name;
    return nullptr;
}
