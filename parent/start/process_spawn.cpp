// Starting a process, the relay or (in a direct start) the child itself: only
// the handles it is meant to have, the C runtime's descriptor table built
// here, and a job around it.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"
#include "rules/start_retry.h"

namespace {

static_assert(PF_START_RETRY_ERROR == ERROR_INTERNAL_ERROR, "the retried error");

// Flag bits of the C runtime's descriptor table.
const unsigned char FD_OPEN = 0x01, FD_PIPE = 0x08, FD_DEVICE = 0x40, FD_TEXT = 0x80;

// PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, which the headers name for Windows
// 10 1809 and later only.
const DWORD_PTR PF_ATTRIBUTE_PSEUDOCONSOLE = 0x00020016;

} // namespace

namespace {

bool read_at(HANDLE file, DWORD offset, void *bytes, DWORD size)
{
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = offset;
    DWORD got = 0;
    return ReadFile(file, bytes, size, &got, &at) && got == size;
}

// The path to start a program by. The system starts no program whose full
// path is MAX_PATH units or more, even when it is named by its short form;
// the short form behind the prefix that lifts the limit does start. NULL:
// the path serves as it is. The caller frees the result.
wchar_t *startable_path(const wchar_t *path)
{
    static const wchar_t PREFIX[] = L"\\\\?\\";
    const DWORD prefix_length = 4;
    if (wcsncmp(path, PREFIX, prefix_length) == 0)
        path += prefix_length;
    // A relative name in a deep current directory is as long as its full path.
    wchar_t *full = pf_full_path(path);
    if (!full)
        return nullptr;
    DWORD full_length = (DWORD)wcslen(full) + 1;
    path = full;
    // Only a path past the limit, or one with a short name in it (they hold
    // '~'), can have a long form past it; asking the disk costs every start.
    DWORD long_length = full_length > MAX_PATH || wcschr(path, L'~') ? GetLongPathNameW(path, nullptr, 0)
                                                                      : 0;
    if (long_length <= MAX_PATH) {
        free(full);
        return nullptr;
    }
    DWORD short_length = GetShortPathNameW(path, nullptr, 0);
    wchar_t *startable =
        short_length ? (wchar_t *)malloc((prefix_length + short_length) * sizeof(wchar_t)) : nullptr;
    if (!startable) {
        free(full);
        return nullptr;
    }
    wcscpy(startable, PREFIX);
    if (GetShortPathNameW(path, startable + prefix_length, short_length) - 1 >= short_length - 1) {
        free(startable);
        startable = nullptr;
    }
    free(full);
    return startable;
}

} // namespace

// The machine field of a program image's header (0: unreadable), or minus the errno that
// says why path is none: ENOENT, EACCES (a directory), ENOEXEC.
static int program_machine(const wchar_t *path, DWORD *win32_error, bool *windowed)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *win32_error = GetLastError();
        return -pf_errno_of_win32(*win32_error);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return -EACCES;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // A file the system may still start though nobody may read it (one
        // to execute only, one held open): its machine is not known.
        *win32_error = GetLastError();
        if (*win32_error == ERROR_ACCESS_DENIED || *win32_error == ERROR_SHARING_VIOLATION)
            return 0;
        return -pf_errno_of_win32(*win32_error);
    }
    // A program image starts "MZ", names where its "PE\0\0" header lies, and
    // says its machine right after; a batch or text file has none of it, and
    // the system would hand a batch file to the command interpreter together
    // with the command line meant for the program.
    // Its header's characteristics say whether it is a program at all: a
    // library (kernel32.dll) has the same header, and the system refuses to
    // start it.
    unsigned char mz[2] = {0, 0}, pe[24 + 70] = {};
    uint32_t pe_offset = 0;
    bool image = read_at(file, 0, mz, 2) && mz[0] == 'M' && mz[1] == 'Z' &&
                 read_at(file, 0x3c, &pe_offset, 4) && pe_offset < 0x10000000 &&
                 read_at(file, pe_offset, pe, sizeof pe) && memcmp(pe, "PE\0\0", 4) == 0;
    CloseHandle(file);
    unsigned characteristics = pe[22] | pe[23] << 8;
    if (!image || !(characteristics & IMAGE_FILE_EXECUTABLE_IMAGE) || (characteristics & IMAGE_FILE_DLL))
        return -ENOEXEC;
    // The optional header's subsystem, at the same place in both widths.
    if (windowed)
        *windowed = (pe[24 + 68] | pe[24 + 69] << 8) == IMAGE_SUBSYSTEM_WINDOWS_GUI;
    return pe[4] | pe[5] << 8;
}

int pf_image_handle_width(const wchar_t *path, DWORD *win32_error, bool *windowed)
{
    int machine = program_machine(path, win32_error, windowed);
    if (machine == IMAGE_FILE_MACHINE_I386)
        return 4;
    if (machine == IMAGE_FILE_MACHINE_AMD64)
        return 8;
    if (machine == 0)
        return (int)sizeof(void *); // unknown: this program's own width
    return machine < 0 ? machine : -ENOEXEC;
}

const char *procferry_program_architecture(const wchar_t *path)
{
    DWORD win32_error = 0;
    int width = pf_image_handle_width(path, &win32_error);
    return width == 4 ? "i686" : width == 8 ? "x86_64" : nullptr;
}

int pf_spawn_process(const pf_process_spawn &spawn, pf_spawned &spawned)
{
    memset(&spawned, 0, sizeof spawned);
    // Inheritable copies of the handles the process gets, made only for this
    // start and listed for it alone: no other handle of the caller's, however
    // inheritable, reaches it.
    int count = spawn.fd_count;
    size_t table_size = 4 + (size_t)count * (1 + spawn.handle_width);
    HANDLE local_copies[PF_RELAY_FD_COUNT], local_listed[PF_RELAY_FD_COUNT];
    unsigned char local_flags[PF_RELAY_FD_COUNT], local_table[4 + PF_RELAY_FD_COUNT * 9];
    bool local = count <= PF_RELAY_FD_COUNT;
    HANDLE *copies = local ? local_copies : (HANDLE *)malloc(count * sizeof(HANDLE));
    HANDLE *listed = local ? local_listed : (HANDLE *)malloc(count * sizeof(HANDLE));
    unsigned char *flags = local ? local_flags : (unsigned char *)malloc(count);
    unsigned char *table = local ? local_table : (unsigned char *)malloc(table_size);
    if (!copies || !listed || !flags || !table || table_size > 65535) {
        if (!local) {
            free(copies);
            free(listed);
            free(flags);
            free(table);
        }
        spawned.win32_error = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
    int listed_count = 0;
    int failure = 0;
    for (int fd = 0; fd < spawn.fd_count; ++fd) {
        copies[fd] = INVALID_HANDLE_VALUE;
        flags[fd] = 0;
        HANDLE handle = spawn.fds[fd];
        if (!handle || handle == INVALID_HANDLE_VALUE)
            continue;
        if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copies[fd], 0, TRUE,
                             DUPLICATE_SAME_ACCESS)) {
            copies[fd] = INVALID_HANDLE_VALUE;
            if (fd >= spawn.first_required_fd || (fd < 32 && (spawn.required_fds >> fd) & 1)) { // a channel or a stream the caller asked for
                spawned.win32_error = GetLastError();
                failure = EBADF;
            }
            continue;
        }
        listed[listed_count++] = copies[fd];
        DWORD type = GetFileType(copies[fd]);
        flags[fd] = FD_OPEN | (type == FILE_TYPE_PIPE ? FD_PIPE : 0) |
                    (type == FILE_TYPE_CHAR ? FD_DEVICE : 0);
        for (int text_fd : spawn.text_fds)
            if (text_fd == fd)
                flags[fd] |= FD_TEXT;
    }

    // The runtime's table: a count, a flag byte per descriptor, then a handle
    // per descriptor in the width of the started program's architecture,
    // unaligned.
    memcpy(table, &count, 4);
    memcpy(table + 4, flags, count);
    for (int fd = 0; fd < count; ++fd) {
        uint64_t value = (uint64_t)(intptr_t)copies[fd];
        memcpy(table + 4 + count + fd * spawn.handle_width, &value, spawn.handle_width);
    }

    SIZE_T list_size = 0;
    DWORD attribute_count = spawn.console ? 2 : 1;
    InitializeProcThreadAttributeList(nullptr, attribute_count, 0, &list_size);
    void *list_memory = malloc(list_size);
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = (LPPROC_THREAD_ATTRIBUTE_LIST)list_memory;
    bool list_ready = false;
    if (!failure) {
        list_ready = attributes && InitializeProcThreadAttributeList(attributes, attribute_count, 0, &list_size);
        if (list_ready && listed_count > 0 &&
            !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed,
                                       listed_count * sizeof(HANDLE), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(attributes);
            list_ready = false;
        }
        // The attribute's value is the console itself, not a pointer to it.
        if (list_ready && spawn.console &&
            !UpdateProcThreadAttribute(attributes, 0, PF_ATTRIBUTE_PSEUDOCONSOLE, spawn.console,
                                       sizeof spawn.console, nullptr, nullptr)) {
            DeleteProcThreadAttributeList(attributes);
            list_ready = false;
        }
        if (!list_ready)
            spawned.win32_error = attributes ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    }

    HANDLE job = nullptr;
    if (list_ready && spawn.job) {
        job = CreateJobObjectW(nullptr, nullptr);
        // A process of the tree may leave the job on purpose, as it could
        // were it started without one (CREATE_BREAKAWAY_FROM_JOB).
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        memset(&limits, 0, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        if (job && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                            sizeof limits)) {
            CloseHandle(job);
            job = nullptr;
        }
        if (!job)
            spawned.win32_error = GetLastError();
    }

    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    bool started = false;
    if (list_ready && (job || !spawn.job)) {
        STARTUPINFOEXW startup;
        memset(&startup, 0, sizeof startup);
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = copies[0];
        startup.StartupInfo.hStdOutput = copies[1];
        startup.StartupInfo.hStdError = copies[2];
        // In a console, a stream without a handle is the console's: none of
        // the caller's takes its place.
        HANDLE *streams[] = {&startup.StartupInfo.hStdInput, &startup.StartupInfo.hStdOutput,
                             &startup.StartupInfo.hStdError};
        for (HANDLE *stream : streams)
            if (spawn.console && *stream == INVALID_HANDLE_VALUE)
                *stream = nullptr;
        startup.StartupInfo.cbReserved2 = (WORD)table_size;
        startup.StartupInfo.lpReserved2 = table;
        startup.lpAttributeList = attributes;
        // Suspended until it is in the job, so that nothing it starts escapes.
        DWORD creation = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT |
                         (job ? CREATE_SUSPENDED : 0) | spawn.creation;
        wchar_t *startable = startable_path(spawn.program);
        for (int attempt = 1;; ++attempt) {
            started = CreateProcessW(startable ? startable : spawn.program, spawn.line, nullptr, nullptr,
                                     listed_count > 0, creation, (void *)spawn.environment, spawn.directory,
                                     &startup.StartupInfo, &process);
            if (started || !pf_start_again(GetLastError(), attempt))
                break;
        }
        if (!started) {
            spawned.win32_error = GetLastError();
            spawned.start_errno = pf_errno_of_win32(spawned.win32_error);
        }
        free(startable);
        if (started && job) {
            if (!AssignProcessToJobObject(job, process.hProcess)) {
                spawned.win32_error = GetLastError();
                pf_end_tree(process.hProcess, nullptr, RELAY_EXIT_FAILED);
                started = false;
            } else {
                ResumeThread(process.hThread);
            }
        }
        if (process.hThread)
            CloseHandle(process.hThread);
    }
    if (list_ready)
        DeleteProcThreadAttributeList(attributes);
    free(list_memory);
    for (int fd = 0; fd < spawn.fd_count; ++fd)
        if (copies[fd] != INVALID_HANDLE_VALUE)
            CloseHandle(copies[fd]);
    if (!local) {
        free(copies);
        free(listed);
        free(flags);
        free(table);
    }
    if (!started) {
        if (job)
            CloseHandle(job);
        if (failure)
            spawned.start_errno = failure, spawned.handle_refused = true;
        return -1;
    }
    spawned.process = process.hProcess;
    spawned.pid = process.dwProcessId;
    spawned.job = job;
    return 0;
}
