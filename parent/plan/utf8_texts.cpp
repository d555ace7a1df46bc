// The library's texts between UTF-8 and UTF-16, strictly: text that is not
// UTF-8 (or UTF-16 with a lone surrogate) is refused, never replaced.
#include <string.h>

#include "parent_internal.h"

namespace {

size_t empty(wchar_t *out, size_t capacity)
{
    if (out && capacity)
        out[0] = 0;
    return 0;
}

// Whether text is UTF-8 as the standard has it: no stray or missing
// continuation bytes, no overlong forms, no encoded surrogates, nothing past
// U+10FFFF. The system's conversion lets some of these through, replaced.
bool strict_utf8(const unsigned char *text, const unsigned char *end)
{
    while (text < end) {
        unsigned char lead = *text++;
        if (lead < 0x80)
            continue;
        int more;
        unsigned char low = 0x80, high = 0xbf; // range of the first continuation byte
        if (lead >= 0xc2 && lead <= 0xdf) {
            more = 1;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            more = 2;
            if (lead == 0xe0)
                low = 0xa0; // shorter forms are overlong
            if (lead == 0xed)
                high = 0x9f; // U+D800 to U+DFFF are surrogates
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            more = 3;
            if (lead == 0xf0)
                low = 0x90;
            if (lead == 0xf4)
                high = 0x8f; // past U+10FFFF
        } else {
            return false;
        }
        if (end - text < more)
            return false;
        for (int i = 0; i < more; ++i, ++text) {
            unsigned char byte = *text;
            if (byte < (i ? 0x80 : low) || byte > (i ? 0xbf : high))
                return false;
        }
    }
    return true;
}

// Whether text pairs every surrogate.
bool paired_utf16(const wchar_t *text)
{
    for (; *text; ++text) {
        if (*text >= 0xdc00 && *text <= 0xdfff)
            return false;
        if (*text >= 0xd800 && *text <= 0xdbff) {
            if (text[1] < 0xdc00 || text[1] > 0xdfff)
                return false;
            ++text;
        }
    }
    return true;
}

} // namespace

bool pf_strict_utf8(const char *text, size_t length)
{
    return strict_utf8((const unsigned char *)text, (const unsigned char *)text + length);
}

size_t procferry_utf8_to_wide(const char *text, wchar_t *out, size_t capacity)
{
    if (!text || !pf_strict_utf8(text, strlen(text)))
        return empty(out, capacity);
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0)
        return empty(out, capacity);
    if (out && capacity >= (size_t)length)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, length);
    else if (out && capacity)
        out[0] = 0;
    return (size_t)length - 1;
}

size_t procferry_wide_to_utf8(const wchar_t *text, char *out, size_t capacity)
{
    if (!text || !paired_utf16(text)) {
        if (out && capacity)
            out[0] = 0;
        return 0;
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        if (out && capacity)
            out[0] = 0;
        return 0;
    }
    if (out && capacity >= (size_t)length)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out, length, nullptr, nullptr);
    else if (out && capacity)
        out[0] = 0;
    return (size_t)length - 1;
}
