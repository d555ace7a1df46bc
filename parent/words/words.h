// The pieces the words of an outcome are made of, shared by the files
// that tell each kind of outcome (outcome_words.cpp puts them together).
#ifndef PROCFERRY_WORDS_H
#define PROCFERRY_WORDS_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include "option_checks.h"
#include "procferry/parent.h"

namespace pf_words {

// Paths this long or longer are named but not looked at.
enum { PROBE_PATH_UNITS = 2048 };

// Text written into the caller's buffer, cut at its capacity, counted in full.
struct line {
    char *out;
    size_t capacity;
    size_t length;
    const procferry_terms *terms; // every field set
    const procferry_findings *found = nullptr; // what the start found out, when it did
};

// One of the options' texts, given in UTF-16 or in UTF-8.
struct text {
    const wchar_t *wide;
    const char *utf8;
    bool given() const { return (wide && *wide) || (utf8 && *utf8); }
};

void put(line *words, const char *text, size_t size);
void put(line *words, const char *text);
// format holds one number and a few words around it.
void put_number(line *words, const char *format, long long value);
// UTF-16 as UTF-8; a lone surrogate shows as U+FFFD rather than ending the text.
void put_wide(line *words, const wchar_t *text);
void put_text(line *words, text value);
// The text in UTF-16, for the file system; false when absent or too long.
bool wide_form(text value, wchar_t *out, size_t capacity);
// "ENOENT: no such file or directory".
void put_errno(line *words, int error);
// Exception codes such as 0xC0000005 read better in hex.
void put_status(line *words, uint32_t status);
// "400ms", "5s", "1.5s".
void put_duration(line *words, uint32_t ms);
bool is_separator(wchar_t c);


// A program's outcome (program_words.cpp).
void directory_failed(line *words, text program, text dir, int error);
void not_found(line *words, text program, const wchar_t *name, text dir, bool search_path);
void cannot_run(line *words, const struct procferry_options *options, text program,
                const wchar_t *name, int error);

// The relay's part in it (relay_words.cpp).
void put_relay(line *words, const struct procferry_result *result, text relay);
void relay_missing(line *words, const struct procferry_result *result, text program, text relay);
void missing_base_library(line *words, const struct procferry_result *result, text program,
                          text relay);
void bad_record(line *words, const struct procferry_result *result, text relay);
void check_report(line *words, const struct procferry_result *result, text relay);
bool default_relay_unkept(line *words, const struct procferry_result *result, text relay);

// Why the options were refused (refusal_words.cpp).
void put_refusal(line *words, const struct procferry_options *options, const pf_refused &refusal);

} // namespace pf_words

#endif
