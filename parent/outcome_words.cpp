// The words for a start's outcome: one line a person can act on. A failure
// names what should have run, what went wrong, the errno's name and words,
// and, where there is one, the next step. Where the relay's errno alone
// would mislead (a name that is a directory, a program that sits in the
// start directory but was looked for on PATH only), the file system is
// asked once more, the way the relay looked.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "procferry/parent.h"

// The platform's limit on a command text, its terminating zero included.
static const unsigned COMMAND_TEXT_UNITS = 32767;
// Paths this long or longer are named but not looked at.
enum { PROBE_PATH_UNITS = 2048 };

namespace {

// Text written into the caller's buffer, cut at its capacity, counted in full.
struct line {
    char *out;
    size_t capacity;
    size_t length;
};

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

// format holds one number and a few words around it.
void put_number(line *words, const char *format, long long value)
{
    char number[160];
    snprintf(number, sizeof number, format, value);
    put(words, number);
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

// One of the options' texts, given in UTF-16 or in UTF-8.
struct text {
    const wchar_t *wide;
    const char *utf8;
    bool given() const { return (wide && *wide) || (utf8 && *utf8); }
};

void put_text(line *words, text value)
{
    if (value.wide)
        put_wide(words, value.wide);
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
    put_number(words, "%lld", (int32_t)status);
    if ((int32_t)status < 0)
        put_number(words, " (0x%08llX)", status);
}

// "400ms", "5s", "1.5s".
void put_duration(line *words, uint32_t ms)
{
    if (ms < 1000)
        put_number(words, "%lldms", ms);
    else if (ms % 1000 == 0)
        put_number(words, "%llds", ms / 1000);
    else {
        char number[32];
        snprintf(number, sizeof number, "%.3f", ms / 1000.0);
        size_t size = strlen(number);
        while (number[size - 1] == '0')
            --size;
        put(words, number, size);
        put(words, "s");
    }
}

bool is_separator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

bool has_directory_part(const wchar_t *name)
{
    for (; *name; ++name)
        if (is_separator(*name) || *name == L':')
            return true;
    return false;
}

bool has_extension(const wchar_t *name)
{
    size_t i = wcslen(name);
    for (; i > 0 && !is_separator(name[i - 1]) && name[i - 1] != L':'; --i)
        if (name[i - 1] == L'.')
            return true;
    return false;
}

// The name as the relay takes it: from the start directory unless absolute.
bool joined(const wchar_t *dir, const wchar_t *name, wchar_t *out, size_t capacity)
{
    bool absolute = is_separator(name[0]) || (name[0] && name[1] == L':');
    size_t dir_size = absolute || !dir ? 0 : wcslen(dir);
    size_t size = dir_size + 1 + wcslen(name);
    if (size >= capacity)
        return false;
    out[0] = 0;
    if (dir_size) {
        wcscpy(out, dir);
        if (!is_separator(dir[dir_size - 1]))
            wcscat(out, L"\\");
    }
    wcscat(out, name);
    return true;
}

enum what_is_there { NOTHING, DIRECTORY, OTHER_FILE, PROGRAM };

// A batch file by its name, any other program by its image's first bytes.
what_is_there look_at(const wchar_t *path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return NOTHING;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return DIRECTORY;
    const wchar_t *dot = wcsrchr(path, L'.');
    if (dot && (_wcsicmp(dot, L".bat") == 0 || _wcsicmp(dot, L".cmd") == 0))
        return PROGRAM;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return OTHER_FILE;
    char header[2] = {0, 0};
    DWORD got = 0;
    bool image = ReadFile(file, header, 2, &got, nullptr) && got == 2 && header[0] == 'M' &&
                 header[1] == 'Z';
    CloseHandle(file);
    return image ? PROGRAM : OTHER_FILE;
}

// What the name is in the start directory: the name itself, then, without
// an extension, with each extension the relay tries.
what_is_there look_in_start_directory(const wchar_t *dir, const wchar_t *program)
{
    static const wchar_t *const extensions[] = {L"", L".com", L".exe", L".bat", L".cmd"};
    wchar_t path[PROBE_PATH_UNITS];
    if (!joined(dir, program, path, PROBE_PATH_UNITS - 8))
        return NOTHING;
    what_is_there plain = look_at(path);
    if (plain == PROGRAM || has_extension(program))
        return plain;
    size_t size = wcslen(path);
    for (const wchar_t *extension : extensions) {
        wcscpy(path + size, extension);
        if (*extension && look_at(path) == PROGRAM)
            return PROGRAM;
    }
    return plain;
}

// The directory as given, and in full when that reads differently.
void put_directory(line *words, text dir)
{
    put_text(words, dir);
    wchar_t given[PROBE_PATH_UNITS], full[PROBE_PATH_UNITS];
    if (!wide_form(dir, given, PROBE_PATH_UNITS))
        return;
    DWORD size = GetFullPathNameW(given, PROBE_PATH_UNITS, full, nullptr);
    if (size > 0 && size < PROBE_PATH_UNITS && _wcsicmp(full, given) != 0) {
        put(words, " (");
        put_wide(words, full);
        put(words, ")");
    }
}

void put_start_directory(line *words, text dir)
{
    if (dir.given()) {
        put(words, "the directory ");
        put_directory(words, dir);
    } else {
        put(words, "the current directory");
    }
}

void directory_failed(line *words, text program, text dir, int error)
{
    put_text(words, program);
    put(words, ": directory ");
    put_directory(words, dir);
    wchar_t path[PROBE_PATH_UNITS];
    DWORD attributes = wide_form(dir, path, PROBE_PATH_UNITS) ? GetFileAttributesW(path)
                                                              : INVALID_FILE_ATTRIBUTES;
    put(words, attributes == INVALID_FILE_ATTRIBUTES       ? ": no such directory: "
               : attributes & FILE_ATTRIBUTE_DIRECTORY ? ": cannot change into it: "
                                                       : ": is a file, not a directory: ");
    put_errno(words, error);
    put(words, "; nothing was run");
}

void not_found(line *words, text program, const wchar_t *name, text dir, wchar_t *start_dir,
               bool search_path)
{
    put_text(words, program);
    bool bare = name && !has_directory_part(name);
    if (!bare) {
        put(words, ": not found");
        if (dir.given() && name && !(is_separator(name[0]) || (name[0] && name[1] == L':'))) {
            put(words, " (a relative program is taken from ");
            put_start_directory(words, dir);
            put(words, ")");
        }
        put(words, ": ");
        put_errno(words, ENOENT);
        return;
    }
    if (!search_path) {
        put(words, ": not found in ");
        put_start_directory(words, dir);
        put(words, ": ");
        put_errno(words, ENOENT);
        put(words, "; PATH was not searched: start with PROCFERRY_SEARCH_PATH to search it");
        return;
    }
    put(words, ": not found on PATH: ");
    put_errno(words, ENOENT);
    switch (look_in_start_directory(start_dir, name)) {
    case PROGRAM:
        put(words, "; a bare name is looked for on PATH only: to run the one in ");
        put_start_directory(words, dir);
        put(words, ", give its path, .\\");
        put_text(words, program);
        return;
    case DIRECTORY:
    case OTHER_FILE:
        put(words, "; ");
        put_text(words, program);
        put(words, " in ");
        put_start_directory(words, dir);
        put(words, look_in_start_directory(start_dir, name) == DIRECTORY
                       ? " is a directory, not a program"
                       : " is not a program");
        return;
    default:
        put(words, "; check the name, or give the program's path");
    }
}

void cannot_run(line *words, text program, const wchar_t *name, wchar_t *start_dir, int error)
{
    put_text(words, program);
    wchar_t path[PROBE_PATH_UNITS], full[PROBE_PATH_UNITS];
    if (name && joined(start_dir, name, path, PROBE_PATH_UNITS) && look_at(path) == DIRECTORY) {
        DWORD size = GetFullPathNameW(path, PROBE_PATH_UNITS, full, nullptr);
        put(words, ": is a directory (");
        put_wide(words, size > 0 && size < PROBE_PATH_UNITS ? full : path);
        put(words, "), not a program; the launch failed: ");
        put_errno(words, error);
        return;
    }
    put(words, ": cannot be run: ");
    put_errno(words, error);
    if (error == EINVAL || error == ENOEXEC)
        put(words, "; only programs (.exe, .com) and batch files (.bat, .cmd) run");
}

void put_relay(line *words, const struct procferry_result *result, text relay)
{
    put(words, "relay ");
    if (result->relay_path[0])
        put_wide(words, result->relay_path);
    else
        put_text(words, relay);
}

void bad_record(line *words, const struct procferry_result *result, text relay)
{
    put_relay(words, result, relay);
    if (result->record_bytes < PROCFERRY_RECORD_SIZE) {
        put_number(words, " sent %lld of the ", result->record_bytes);
        put_number(words, "%lld bytes of its report", PROCFERRY_RECORD_SIZE);
    } else if (result->record_code == PROCFERRY_RECORD_OK) {
        put(words, " started the child but its process could not be taken over (Windows error ");
        put_number(words, "%lld)", result->win32_error);
    } else {
        put_number(words, " sent an unknown report: code %lld", result->record_code);
        put_number(words, ", value %lld", result->record_value);
    }
}

void check_report(line *words, const struct procferry_result *result, text relay)
{
    put_relay(words, result, relay);
    put(words, " refused its command line");
    // One line: the report's own line ends become blanks, trailing ones go.
    const char *report = result->check_report;
    size_t size = strnlen(report, PROCFERRY_CHECK_REPORT_SIZE);
    while (size > 0 && (report[size - 1] == '\n' || report[size - 1] == '\r'))
        --size;
    if (size == 0) {
        put_number(words, " (exit status %lld)", (int32_t)result->relay_exit_status);
        return;
    }
    put(words, ": ");
    for (size_t i = 0; i < size; ++i)
        put(words, report[i] == '\n' || report[i] == '\r' ? " " : &report[i], 1);
}

} // namespace

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

size_t procferry_describe(const struct procferry_options *options,
                          const struct procferry_result *result, char *out, size_t capacity)
{
    line words = {out, out ? capacity : 0, 0};
    text program = {options ? options->program : nullptr,
                    options ? options->program_utf8 : nullptr};
    text dir = {options ? options->dir : nullptr, options ? options->dir_utf8 : nullptr};
    text relay = {options ? options->relay : nullptr, options ? options->relay_utf8 : nullptr};
    if (!program.given())
        program.utf8 = "(no program)";
    wchar_t name[PROBE_PATH_UNITS], start_dir[PROBE_PATH_UNITS];
    bool named = wide_form(program, name, PROBE_PATH_UNITS);
    if (!wide_form(dir, start_dir, PROBE_PATH_UNITS))
        wcscpy(start_dir, L".");
    bool search_path = options && (options->flags & PROCFERRY_SEARCH_PATH);
    uint32_t timeout_ms = options ? options->timeout_ms : PROCFERRY_INFINITE;

    switch (result ? result->kind : 0) {
    case PROCFERRY_EXITED:
        put_text(&words, program);
        put(&words, " exited with status ");
        put_status(&words, result->exit_status);
        break;
    case PROCFERRY_STARTED:
        put_text(&words, program);
        put_number(&words, " started as process %lld", result->pid);
        break;
    case PROCFERRY_DIR_FAILED:
        directory_failed(&words, program, dir, result->error);
        break;
    case PROCFERRY_LAUNCH_FAILED:
        if (result->error == ENOENT)
            not_found(&words, program, named ? name : nullptr, dir, start_dir, search_path);
        else
            cannot_run(&words, program, named ? name : nullptr, start_dir, result->error);
        break;
    case PROCFERRY_INVALID_ARGUMENT:
        put_text(&words, program);
        if (result->error == E2BIG) {
            put(&words, ": the command line is too long: ");
            put_errno(&words, E2BIG);
            put_number(&words, "; the platform takes %lld characters at most",
                       COMMAND_TEXT_UNITS - 1);
        } else {
            put(&words, ": the start was refused: ");
            put_errno(&words, result->error);
            put(&words, "; check the options (streams, environment entries, UTF-8 texts)");
        }
        break;
    case PROCFERRY_RELAY_MISSING:
        put_relay(&words, result, relay);
        put(&words, ": cannot be started, so ");
        put_text(&words, program);
        put(&words, " was not run: ");
        put_errno(&words, result->error);
        put(&words, "; procferry-console.exe and procferry.exe belong beside the program, or "
                    "name one in the options");
        break;
    case PROCFERRY_RELAY_CRASHED:
        put_relay(&words, result, relay);
        put(&words, " ended without a report (exit status ");
        put_status(&words, result->relay_exit_status);
        put(&words, ") while starting ");
        put_text(&words, program);
        break;
    case PROCFERRY_CHECK_REPORT:
        check_report(&words, result, relay);
        break;
    case PROCFERRY_TIMED_OUT:
        // A pid says the child was launched, through the relay or directly.
        if (result->pid != 0) {
            put_text(&words, program);
            put(&words, " still ran after ");
            put_duration(&words, timeout_ms);
            put(&words, "; ended it and everything it started");
        } else {
            put_relay(&words, result, relay);
            put(&words, " did not report within ");
            put_duration(&words, timeout_ms);
            put(&words, "; ended it and everything it started, ");
            put_text(&words, program);
            put(&words, " included");
        }
        break;
    case PROCFERRY_BAD_RECORD:
        bad_record(&words, result, relay);
        break;
    case PROCFERRY_SYSTEM_ERROR:
        put(&words, "cannot start ");
        put_text(&words, program);
        put_number(&words, ": a pipe, handle, job or event could not be made (Windows error %lld)",
                   result->win32_error);
        break;
    default:
        put_text(&words, program);
        put_number(&words, ": an outcome of unknown kind %lld", result ? result->kind : 0);
    }
    if (words.capacity)
        words.out[words.length < words.capacity ? words.length : words.capacity - 1] = 0;
    return words.length;
}
