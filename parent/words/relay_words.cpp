// The words for a relay that could not be started, ended without its
// record, refused its command line or sent a record that is none.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "parent_internal.h"
#include "rules/find_program.h"
#include "words.h"

// PROCFERRY_BASE_LIBRARY, the file name of the base library the relays
// import, comes from the build.

namespace pf_words {

void put_relay(line *words, const struct procferry_result *result, text relay)
{
    put(words, "relay ");
    if (result->relay.path[0])
        put_wide(words, result->relay.path);
    else
        put_text(words, relay);
}

// The units of the relay's path in full, in the long form the system starts
// it by, as the start found it; else as given.
size_t relay_units(const struct procferry_result *result, text relay)
{
    size_t units = wcslen(result->relay.path);
    if (relay.wide && *relay.wide)
        units = wcslen(relay.wide);
    else if (relay.utf8 && *relay.utf8)
        units = procferry_utf8_to_wide(relay.utf8, nullptr, 0);
    return result->findings.relay_units > units ? result->findings.relay_units : units;
}

// The longest path the system starts a program from, in units.
const size_t LONGEST_PROGRAM_PATH = PF_PROGRAM_PATH_CAPACITY - 1;

void put_too_long(line *words, size_t units)
{
    put_number(words, "its path is %lld units long, and the system starts no program from a "
                      "path longer than ", (long long)units);
    put_number(words, "%lld units", (long long)LONGEST_PROGRAM_PATH);
}

const char SHORTER_FOLDER[] =
    "; move the program and the relays beside it to a folder with a shorter path";

void relay_missing(line *words, const struct procferry_result *result, text program, text relay)
{
    put_relay(words, result, relay);
    put(words, ": cannot be started, so ");
    put_text(words, program);
    put(words, " was not run: ");
    size_t units = relay_units(result, relay);
    if (units > LONGEST_PROGRAM_PATH && result->error == ENOENT) {
        put_too_long(words, units);
        put(words, ": ");
        put_errno(words, result->error);
        put(words, SHORTER_FOLDER);
        return;
    }
    put_errno(words, result->error);
    put(words, "; procferry-console.exe and procferry.exe belong beside ");
    put(words, words->terms->relays_home);
    put(words, ", or name one ");
    put(words, words->terms->relay_option);
}

// A relay that could not load the base library ends before it reads its
// command line; the library belongs in the relay's own folder, which the
// system searches first.
void missing_base_library(line *words, const struct procferry_result *result, text program,
                          text relay)
{
    put_relay(words, result, relay);
    put(words, " could not start: the base library " PROCFERRY_BASE_LIBRARY
               " was not found (exit status ");
    put_status(words, result->relay.exit_status);
    put(words, "), so ");
    put_text(words, program);
    put(words, " was not run; " PROCFERRY_BASE_LIBRARY " belongs beside the relay");
    wchar_t path[PROBE_PATH_UNITS];
    const wchar_t *shown = result->relay.path;
    if (!shown[0] && wide_form(relay, path, PROBE_PATH_UNITS))
        shown = path;
    size_t folder = 0;
    for (size_t i = 0; shown[i]; ++i)
        if (is_separator(shown[i]))
            folder = i;
    if (folder == 0)
        return;
    wchar_t *copy = (wchar_t *)malloc((folder + 1) * sizeof(wchar_t));
    if (!copy)
        return;
    memcpy(copy, shown, folder * sizeof(wchar_t));
    copy[folder] = 0;
    put(words, ", in ");
    put_wide(words, copy);
    free(copy);
}

void bad_record(line *words, const struct procferry_result *result, text relay)
{
    put_relay(words, result, relay);
    if (result->relay.record_bytes < PF_RECORD_SIZE) {
        put_number(words, " sent %lld of the ", result->relay.record_bytes);
        put_number(words, "%lld bytes of its report", PF_RECORD_SIZE);
    } else if (result->relay.record_code == PF_RECORD_OK) {
        put(words, " started the child but its process could not be taken over (Windows error ");
        put_number(words, "%lld)", result->win32_error);
    } else {
        put_number(words, " sent an unknown report: code %lld", result->relay.record_code);
        put_number(words, ", value %lld", result->relay.record_value);
    }
}

// Whether the first size bytes of text are UTF-8.
bool is_utf8(const char *text, size_t size)
{
    char *copy = (char *)malloc(size + 1);
    if (!copy)
        return false;
    memcpy(copy, text, size);
    copy[size] = 0;
    bool converts = procferry_utf8_to_wide(copy, nullptr, 0) > 0;
    free(copy);
    return converts;
}

void check_report(line *words, const struct procferry_result *result, text relay)
{
    put_relay(words, result, relay);
    put(words, " refused its command line");
    // One line: the report's own line ends become blanks, trailing ones go.
    const char *report = result->relay.check_report;
    size_t size = strnlen(report, PROCFERRY_CHECK_REPORT_SIZE);
    while (size > 0 && (report[size - 1] == '\n' || report[size - 1] == '\r'))
        --size;
    if (size == 0) {
        put_number(words, " (exit status %lld)", (int32_t)result->relay.exit_status);
        return;
    }
    put(words, ": ");
    // The relay's bytes as they came; a character the cut to fit the result
    // split is dropped, and a report that is not UTF-8 even so (another code
    // page) shows '?' for each byte past ASCII: the words stay UTF-8.
    size_t shown = size;
    bool utf8 = is_utf8(report, shown);
    bool cut = strnlen(report, PROCFERRY_CHECK_REPORT_SIZE) == PROCFERRY_CHECK_REPORT_SIZE - 1;
    for (size_t drop = 1; cut && !utf8 && drop <= 3 && drop < size; ++drop)
        utf8 = is_utf8(report, shown = size - drop);
    if (!utf8)
        shown = size;
    for (size_t i = 0; i < shown; ++i) {
        char c = report[i];
        put(words, c == '\n' || c == '\r' ? " " : !utf8 && (unsigned char)c >= 0x80 ? "?" : &c, 1);
    }
}

// The default relay's path did not fit where the library keeps it: says
// so and returns true, else false.
bool default_relay_unkept(line *words, const struct procferry_result *result, text relay)
{
    if (relay.given() || result->relay.path[0] ||
        (result->win32_error != ERROR_INSUFFICIENT_BUFFER &&
         result->win32_error != ERROR_FILENAME_EXCED_RANGE))
        return false;
    size_t units = result->findings.default_relay_units;
    put(words, ": the relay beside this program cannot be started: ");
    if (units)
        put_too_long(words, units);
    else
        put(words, "its path is too long");
    put_number(words, " (Windows error %lld)", result->win32_error);
    put(words, SHORTER_FOLDER);
    return true;
}

} // namespace pf_words
