// The words for a start's outcome: one line a person can act on. A failure
// names what should have run, what went wrong, the errno's name and words,
// and, where there is one, the next step. Where the relay's errno alone
// would mislead (a name that is a directory, a program that sits in the
// start directory but was looked for on PATH only, a batch file refused for
// one of its arguments), the library's own program finder is asked, which
// looks the way the relay looks; the words never open a file themselves, so
// that a name such as a pipe's or the console's cannot hold them up.
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "find_program.h"
#include "option_checks.h"
#include "parent_internal.h"
#include "procferry/parent.h"
#include "rules/find_program.h"

// The platform's limit on a command text, its terminating zero included.
static const unsigned COMMAND_TEXT_UNITS = 32767;
// Paths this long or longer are named but not looked at.
enum { PROBE_PATH_UNITS = 2048 };
// A relay that cannot load a library it imports ends with this status
// before it runs a line of its own.
static const uint32_t STATUS_DLL_NOT_FOUND_CODE = 0xC0000135u;
// PROCFERRY_BASE_LIBRARY, the file name of the base library the relays
// import, comes from the build.

namespace {

// Text written into the caller's buffer, cut at its capacity, counted in full.
struct line {
    char *out;
    size_t capacity;
    size_t length;
    const procferry_terms *terms; // every field set
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

// The options' environment changes in UTF-16, as the start applies them.
struct env_changes {
    const wchar_t *const *entries = nullptr;
    size_t count = 0;
    bool clear = false;
    bool readable = true; // false: an entry is not UTF-8, or out of memory
    wchar_t **converted = nullptr;

    explicit env_changes(const struct procferry_options *options)
    {
        if (!options)
            return;
        clear = (options->flags & PROCFERRY_CLEAR_ENV) != 0;
        count = options->env_count;
        if (count == 0 || options->env || !options->env_utf8) {
            entries = options->env;
            readable = count == 0 || options->env;
            return;
        }
        converted = (wchar_t **)calloc(count, sizeof(wchar_t *));
        readable = converted != nullptr;
        for (size_t i = 0; readable && i < count; ++i) {
            const char *entry = options->env_utf8[i];
            size_t size = entry ? procferry_utf8_to_wide(entry, nullptr, 0) + 1 : 0;
            converted[i] = size ? (wchar_t *)malloc(size * sizeof(wchar_t)) : nullptr;
            readable = converted[i] && (procferry_utf8_to_wide(entry, converted[i], size) > 0 || !*entry);
        }
        entries = converted;
    }
    ~env_changes()
    {
        for (size_t i = 0; converted && i < count; ++i)
            free(converted[i]);
        free(converted);
    }
    env_changes(const env_changes &) = delete;
    env_changes &operator=(const env_changes &) = delete;
};

enum child_path { PATH_SET, PATH_ABSENT, PATH_EMPTY, PATH_UNKNOWN };

// Whether the child's environment block holds a PATH to search.
child_path child_path_state(const env_changes &env)
{
    if (!env.readable)
        return PATH_UNKNOWN;
    if (env.count == 0 && !env.clear) {
        wchar_t first[2];
        SetLastError(ERROR_SUCCESS);
        if (GetEnvironmentVariableW(L"PATH", first, 2) > 0)
            return PATH_SET;
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? PATH_ABSENT : PATH_EMPTY;
    }
    wchar_t *block = nullptr;
    if (pf_build_environment(env.entries, env.count, env.clear, &block) != 0)
        return PATH_UNKNOWN;
    const wchar_t *value = pf_block_value(block, L"PATH");
    child_path state = !value ? PATH_ABSENT : *value ? PATH_SET : PATH_EMPTY;
    free(block);
    return state;
}

enum what_is_there { NOTHING, DIRECTORY, OTHER_FILE, PROGRAM };

// What the program finder's answer says is there.
what_is_there what_the_finder_found(int error)
{
    switch (error) {
    case 0:
        return PROGRAM;
    case EACCES:
        return DIRECTORY;
    case ENOEXEC:
        return OTHER_FILE;
    }
    return NOTHING;
}

// What the library's finder makes of name, as the relay would, with PATH
// searched or not; found (PF_PROGRAM_PATH_CAPACITY units) holds the file
// for PROGRAM, else an empty text.
what_is_there find_as_relay(const wchar_t *name, const wchar_t *dir, const env_changes &env,
                            bool search, wchar_t *found, int *error)
{
    found[0] = 0;
    *error = env.readable ? procferry_find_program_with_env(name, dir, env.entries, env.count,
                                                            env.clear, search, found,
                                                            PF_PROGRAM_PATH_CAPACITY)
                          : EINVAL;
    return what_the_finder_found(*error);
}

// What a bare name is in the start directory, taken as given there.
what_is_there look_in_start_directory(const wchar_t *dir, const wchar_t *program)
{
    wchar_t found[PF_PROGRAM_PATH_CAPACITY];
    return what_the_finder_found(
        procferry_find_program(program, dir, nullptr, 0, found, PF_PROGRAM_PATH_CAPACITY));
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

// "the directory", or with the caller's name for the option "the --cwd directory".
void put_directory_term(line *words)
{
    put(words, "the ");
    if (words->terms->dir_option) {
        put(words, words->terms->dir_option);
        put(words, " ");
    }
    put(words, "directory");
}

void put_start_directory(line *words, text dir)
{
    if (dir.given()) {
        put_directory_term(words);
        put(words, " ");
        put_directory(words, dir);
    } else {
        put(words, "the current directory");
    }
}

void directory_failed(line *words, text program, text dir, int error)
{
    // Led by the caller's option for it when there is one.
    if (words->terms->dir_option) {
        put(words, words->terms->dir_option);
        put(words, " ");
    } else {
        put_text(words, program);
        put(words, ": directory ");
    }
    put_directory(words, dir);
    // What the start's own directory checks found, told by their errno.
    put(words, error == ENOENT         ? ": no such directory: "
               : error == ENOTDIR      ? ": is a file or a device, not a directory: "
               : error == ENAMETOOLONG ? ": is longer than a child's directory can be: "
                                       : ": cannot change into it: ");
    put_errno(words, error);
    put(words, "; nothing was run");
}

// A path that names its drive or share and its folder: the start directory
// plays no part in it.
bool fully_absolute(const wchar_t *name)
{
    return (is_separator(name[0]) && is_separator(name[1])) ||
           (name[0] && name[1] == L':' && is_separator(name[2]));
}

void not_found(line *words, text program, const wchar_t *name, text dir, const wchar_t *dir_wide,
               const env_changes &env, bool search_path)
{
    put_text(words, program);
    bool bare = name && !has_directory_part(name);
    if (!bare) {
        put(words, ": not found");
        if (dir.given() && name && !fully_absolute(name)) {
            put(words, " (a relative ");
            put(words, words->terms->program);
            put(words, " is taken from ");
            put_start_directory(words, dir);
            wchar_t *full = pf_program_in_dir(name, dir_wide);
            if (full) {
                put(words, ": ");
                put_wide(words, full);
                free(full);
            }
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
        put(words, "; PATH was not searched: ");
        put(words, words->terms->search_on);
        put(words, " to search it");
        return;
    }
    child_path path = child_path_state(env);
    if (path == PATH_ABSENT || path == PATH_EMPTY) {
        put(words, path == PATH_ABSENT
                       ? ": not found: the child's environment has no PATH, so nothing was searched: "
                       : ": not found: the child's PATH is empty, so nothing was searched: ");
        put_errno(words, ENOENT);
        put(words, "; set PATH ");
        put(words, words->terms->env_option);
        put(words, ", or give the program's path");
        return;
    }
    put(words, ": not found on PATH: ");
    put_errno(words, ENOENT);
    what_is_there there = look_in_start_directory(dir_wide, name);
    switch (there) {
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
        put(words, there == DIRECTORY ? " is a directory, not a program" : " is not a program");
        return;
    default:
        put(words, "; check the name, or give the program's path");
    }
}

bool holds_line_end(const struct procferry_options *options, size_t i)
{
    if (options->args)
        return options->args[i] && wcspbrk(options->args[i], L"\r\n");
    if (options->args_utf8)
        return options->args_utf8[i] && strpbrk(options->args_utf8[i], "\r\n");
    return false;
}

// Why the relay refused a batch file (EINVAL), or false when none of its
// reasons is there. Arguments are numbered as the script counts them (%1
// on); a batch file gets no argument zero of the caller's.
bool batch_refused(line *words, const struct procferry_options *options, bool found)
{
    size_t first = options->flags & PROCFERRY_ARGV0 ? 1 : 0;
    for (size_t i = first; i < options->arg_count; ++i) {
        if (!holds_line_end(options, i))
            continue;
        put_number(words, ": argument %lld holds a line break (CR or LF), which a batch file "
                          "cannot be given: the command interpreter would end its command "
                          "there and run the rest as a command of its own: ",
                   (long long)(i - first + 1));
        put_errno(words, EINVAL);
        put(words, "; nothing was run; pass such text in a file or an environment variable");
        return true;
    }
    if (!found) {
        put(words, ": a batch file named through \\\\?\\ whose plain path names another "
                   "file, and the command interpreter opens only the plain path: ");
        put_errno(words, EINVAL);
        put(words, "; nothing was run");
        return true;
    }
    return false;
}

void cannot_run(line *words, const struct procferry_options *options, text program,
                const wchar_t *name, const wchar_t *dir_wide, const env_changes &env, int error)
{
    put_text(words, program);
    wchar_t found[PF_PROGRAM_PATH_CAPACITY];
    int found_error = 0;
    bool search = options && pf_searches(options->flags);
    what_is_there there =
        name ? find_as_relay(name, dir_wide, env, search, found, &found_error) : NOTHING;
    if (there == DIRECTORY) {
        wchar_t *full = pf_program_in_dir(name, dir_wide);
        put(words, ": is a directory (");
        put_wide(words, full ? full : name);
        free(full);
        put(words, "), not a program; the launch failed: ");
        put_errno(words, error);
        return;
    }
    bool batch = there == PROGRAM ? pf_is_batch_file(found)
                                  : name && found_error == EINVAL && pf_is_batch_file(name);
    if (error == EINVAL && batch && options && batch_refused(words, options, there == PROGRAM))
        return;
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

// The units of the relay's path in full: as given, else as the start made
// it, and in its long form when a short (8.3) form was used; the system
// starts a program by the long form.
size_t relay_units(const struct procferry_result *result, text relay)
{
    size_t units = wcslen(result->relay_path);
    if (relay.wide && *relay.wide)
        units = wcslen(relay.wide);
    else if (relay.utf8 && *relay.utf8)
        units = procferry_utf8_to_wide(relay.utf8, nullptr, 0);
    DWORD long_form = result->relay_path[0] ? GetLongPathNameW(result->relay_path, nullptr, 0) : 0;
    return long_form > units + 1 ? long_form - 1 : units;
}

// The units of the default relay's path, beside the module that holds this
// library; 0 when unknown.
size_t default_relay_units(uint32_t flags)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(void *)&procferry_describe, &module))
        return 0;
    const DWORD capacity = 32768;
    wchar_t *path = (wchar_t *)malloc(capacity * sizeof(wchar_t));
    DWORD length = path ? GetModuleFileNameW(module, path, capacity) : 0;
    size_t folder = 0;
    for (DWORD i = 0; i < length && length < capacity; ++i)
        if (is_separator(path[i]))
            folder = i + 1;
    free(path);
    if (folder == 0)
        return 0;
    return folder + wcslen(flags & PROCFERRY_GUI_RELAY ? L"procferry.exe" : L"procferry-console.exe");
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
    put_status(words, result->relay_exit_status);
    put(words, "), so ");
    put_text(words, program);
    put(words, " was not run; " PROCFERRY_BASE_LIBRARY " belongs beside the relay");
    wchar_t path[PROBE_PATH_UNITS];
    const wchar_t *shown = result->relay_path;
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
    const char *report = result->check_report;
    size_t size = strnlen(report, PROCFERRY_CHECK_REPORT_SIZE);
    while (size > 0 && (report[size - 1] == '\n' || report[size - 1] == '\r'))
        --size;
    if (size == 0) {
        put_number(words, " (exit status %lld)", (int32_t)result->relay_exit_status);
        return;
    }
    put(words, ": ");
    // The relay's bytes as they came; a character the cut to fit the result
    // split is dropped, and a report that is not UTF-8 even so (another code
    // page) shows '?' for each byte past ASCII: the words stay UTF-8.
    size_t shown = size;
    bool utf8 = is_utf8(report, shown);
    for (size_t drop = 1; !utf8 && drop <= 3 && drop < size; ++drop)
        utf8 = is_utf8(report, shown = size - drop);
    if (!utf8)
        shown = size;
    for (size_t i = 0; i < shown; ++i) {
        char c = report[i];
        put(words, c == '\n' || c == '\r' ? " " : !utf8 && (unsigned char)c >= 0x80 ? "?" : &c, 1);
    }
}

// What the start's own checks found wrong with the options, naming the
// text: which argument, which environment entry, which stream.
void put_refusal(line *words, const struct procferry_options *options, const pf_refused &refusal)
{
    static const char *const texts[] = {"", "the relay's path", "the program's name",
                                        "the directory", "argument", "environment entry", "stream"};
    static const char *const streams[] = {"stdin", "stdout", "stderr"};
    // The child's own numbering: argument 1 is the first after argument
    // zero, unless the arguments begin with argument zero.
    size_t number = refusal.index +
                    (refusal.what == PF_TEXT_ARG && options && !(options->flags & PROCFERRY_ARGV0) ? 1 : 0) +
                    (refusal.what == PF_TEXT_ENV ? 1 : 0);
    if (refusal.what == PF_TEXT_ARG || refusal.what == PF_TEXT_ENV) {
        put(words, texts[refusal.what]);
        put_number(words, " %lld", (long long)number);
    } else if (refusal.what == PF_TEXT_STREAM) {
        put(words, streams[refusal.index]);
    } else if (refusal.what == PF_TEXT_EXTRA_FD) {
        if (refusal.why == PF_STREAM_UNKNOWN || refusal.why == PF_EXTRA_FD_KIND ||
            refusal.why == PF_STREAM_KIND) {
            put_number(words, "descriptor %lld", (long long)(3 + refusal.index));
            // The child's number, and the caller's own when it is another.
            const procferry_stream *extra = options && options->extra_fds
                                                ? &options->extra_fds[refusal.index]
                                                : nullptr;
            if (refusal.why == PF_STREAM_UNKNOWN && extra && extra->kind == PROCFERRY_STREAM_FD)
                put_number(words, " (the caller's descriptor %lld)", extra->fd);
        } else {
            put(words, "the list of extra descriptors");
        }
    } else if (refusal.what != PF_TEXT_NONE) {
        put(words, texts[refusal.what]);
    }
    // By refusal, in the order of enum pf_refusal.
    static const char *const phrases[] = {
        "check the options (streams, extra descriptors, environment entries, UTF-8 texts)",
        "check the options (streams, extra descriptors, environment entries, UTF-8 texts)",
        " is given both in UTF-16 and in UTF-8; give one",
        " is not UTF-8 (stray bytes, an encoded surrogate or an overlong form); it is refused "
        "rather than changed",
        " is missing",
        " is missing (NULL, or a count without its list)",
        "s hold no argument zero, which PROCFERRY_ARGV0 promises",
        " has no name",
        " holds a value past %lld characters, which the child would get cut",
        " names no file, pipe or device the caller has open",
        " is of kind %lld, which it does not take (PROCFERRY_STREAM_NONE is for descriptors from "
        "3 up, PROCFERRY_STREAM_STDOUT for stderr alone)",
        " is a pipe, which only a start with PROCFERRY_NO_WAIT hands over in time",
        "PROCFERRY_KILL_ON_CLOSE applies only to a start with PROCFERRY_NO_WAIT",
        " asks for a pipe of the library's or for stdout, which only standard streams take; "
        "hand it an end of procferry_pipe_make",
        " holds more than %lld, the most a child's runtime keeps with the relay's channels",
        " goes with PROCFERRY_CLOSE_FDS, which would close them",
        "the capture's options are missing (NULL, or a size from before them)",
        "the capture's input is missing (NULL with a size)",
        " is chosen, but a capture keeps stdout itself",
        " is a pipe of the library's, which a capture does not hand over",
        " is chosen as well as input bytes; give one",
        "PROCFERRY_KILL_ON_CLOSE applies only to a start with PROCFERRY_NO_WAIT; a capture has "
        "no close"};
    static_assert(sizeof phrases / sizeof phrases[0] == PF_CAPTURE_KILL_ON_CLOSE + 1, "a phrase each");
    if (refusal.why == PF_ENV_TOO_LONG)
        put_number(words, phrases[refusal.why], ENV_VALUE_LIMIT - 1);
    else if (refusal.why == PF_STREAM_KIND)
        put_number(words, phrases[refusal.why],
                   refusal.what == PF_TEXT_STREAM ? options->streams[refusal.index].kind
                                                  : options->extra_fds[refusal.index].kind);
    else if (refusal.why == PF_EXTRA_FDS_TOO_MANY)
        put_number(words, phrases[refusal.why], PROCFERRY_EXTRA_FD_LIMIT);
    else
        put(words, phrases[refusal.why]);
    put(words, ": ");
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

namespace {

// Whether the words a result keeps are whole: cut ones end within a
// character's length of the room.
bool kept_whole(const struct procferry_result *result)
{
    size_t kept = strnlen(result->words, sizeof result->words);
    return kept > 0 && kept + 4 < sizeof result->words;
}

void describe(line &words, const struct procferry_options *options,
              const struct procferry_result *result, const pf_refused *given)
{
    // Options of another size are not read: only their size is known.
    if (options && options->size < sizeof *options)
        options = nullptr;
    // A refusal's words name no option of the caller's and need no terms,
    // and only the call that refused knows its own checks (a capture's):
    // they are the words the result kept.
    if (!given && result && result->kind == PROCFERRY_INVALID_ARGUMENT && kept_whole(result)) {
        put(&words, result->words);
        return;
    }
    text program = {options ? options->program : nullptr,
                    options ? options->program_utf8 : nullptr};
    text dir = {options ? options->dir : nullptr, options ? options->dir_utf8 : nullptr};
    text relay = {options ? options->relay : nullptr, options ? options->relay_utf8 : nullptr};
    if (!program.given())
        program.utf8 = "(no program)";
    wchar_t name[PROBE_PATH_UNITS], start_dir[PROBE_PATH_UNITS];
    bool named = wide_form(program, name, PROBE_PATH_UNITS);
    const wchar_t *dir_wide = wide_form(dir, start_dir, PROBE_PATH_UNITS) ? start_dir : nullptr;
    bool search_path = options && pf_searches(options->flags);
    env_changes env(options);
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
            not_found(&words, program, named ? name : nullptr, dir, dir_wide, env, search_path);
        else
            cannot_run(&words, options, program, named ? name : nullptr, dir_wide, env,
                       result->error);
        break;
    case PROCFERRY_INVALID_ARGUMENT: {
        pf_refused refusal =
            given ? *given
                  : pf_check_options(options, !(options && (options->flags & PROCFERRY_NO_WAIT)));
        put_text(&words, program);
        if (result->error == E2BIG && refusal.why == PF_ENV_TOO_LONG) {
            put(&words, ": the start was refused: ");
            put_refusal(&words, options, refusal);
            put_errno(&words, E2BIG);
        } else if (result->error == E2BIG) {
            put(&words, ": the command line is too long: ");
            put_errno(&words, E2BIG);
            put_number(&words, "; the platform takes %lld characters at most",
                       COMMAND_TEXT_UNITS - 1);
        } else {
            put(&words, ": the start was refused: ");
            put_refusal(&words, options, refusal);
            put_errno(&words, result->error);
        }
        break;
    }
    case PROCFERRY_RELAY_MISSING:
        relay_missing(&words, result, program, relay);
        break;
    case PROCFERRY_RELAY_CRASHED:
        if (result->relay_exit_status == STATUS_DLL_NOT_FOUND_CODE) {
            missing_base_library(&words, result, program, relay);
            break;
        }
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
        // The default relay's path did not fit where the library keeps it.
        if (!relay.given() && !result->relay_path[0] &&
            (result->win32_error == ERROR_INSUFFICIENT_BUFFER ||
             result->win32_error == ERROR_FILENAME_EXCED_RANGE)) {
            size_t units = default_relay_units(options ? options->flags : 0);
            put(&words, ": the relay beside this program cannot be started: ");
            if (units)
                put_too_long(&words, units);
            else
                put(&words, "its path is too long");
            put_number(&words, " (Windows error %lld)", result->win32_error);
            put(&words, SHORTER_FOLDER);
            break;
        }
        put_number(&words, ": a pipe, handle, job or event could not be made (Windows error %lld)",
                   result->win32_error);
        break;
    default:
        put_text(&words, program);
        put_number(&words, ": an outcome of unknown kind %lld", result ? result->kind : 0);
    }
}

// The library's own terms, and the caller's where it gives them.
procferry_terms terms_or_own(const procferry_terms *given)
{
    procferry_terms terms = {sizeof terms, "start without PROCFERRY_NO_SEARCH_PATH", "the program",
                             "in the options", "among the environment changes", "program",
                             nullptr};
    if (!given)
        return terms;
    // Each term the caller's struct holds and names.
#define TERM(field)                                                                        \
    if (given->size >= offsetof(procferry_terms, field) + sizeof given->field && given->field) \
        terms.field = given->field;
    TERM(search_on)
    TERM(relays_home)
    TERM(relay_option)
    TERM(env_option)
    TERM(program)
    TERM(dir_option)
#undef TERM
    return terms;
}

size_t finish(line &words)
{
    if (words.capacity)
        words.out[words.length < words.capacity ? words.length : words.capacity - 1] = 0;
    return words.length;
}

} // namespace

size_t procferry_describe_in_terms(const struct procferry_options *options,
                                   const struct procferry_result *result,
                                   const struct procferry_terms *terms, char *out, size_t capacity)
{
    procferry_terms chosen = terms_or_own(terms);
    line words = {out, out ? capacity : 0, 0, &chosen};
    describe(words, options, result, nullptr);
    return finish(words);
}

size_t procferry_describe(const struct procferry_options *options,
                          const struct procferry_result *result, char *out, size_t capacity)
{
    // Without the options, the words the start itself kept.
    if (!options && result && result->words[0]) {
        line words = {out, out ? capacity : 0, 0, nullptr};
        put(&words, result->words, strnlen(result->words, sizeof result->words));
        return finish(words);
    }
    return procferry_describe_in_terms(options, result, nullptr, out, capacity);
}

void pf_keep_words(const struct procferry_options *options, struct procferry_result *result,
                   const pf_refused *refusal)
{
    procferry_terms own = terms_or_own(nullptr);
    line words = {result->words, sizeof result->words, 0, &own};
    describe(words, options, result, refusal);
    size_t length = finish(words);
    if (length < sizeof result->words)
        return;
    // Cut: drop a character the cut split, so that the words stay UTF-8.
    size_t kept = sizeof result->words - 1, lead = kept;
    while (lead > 0 && ((unsigned char)result->words[lead - 1] & 0xC0) == 0x80)
        --lead;
    if (lead > 0 && (unsigned char)result->words[lead - 1] >= 0xC0) {
        unsigned char first = (unsigned char)result->words[lead - 1];
        size_t size = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
        if (lead - 1 + size > kept)
            result->words[lead - 1] = 0;
    }
}
