// A child in a pseudo console: the console made for a start, and the pump
// that reads the console's output for as long as the console lives and
// hands it to the caller's end. The console closes once the child has
// ended, and a close waits until its output is read: the pump reads it
// whether or not the caller does, keeping what the caller has not taken,
// so that no close, kill or stop ever waits on the caller. The caller's end
// ends once the console has closed, after every byte it showed.
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"

#ifndef PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE
#define PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE 0x00020016
#endif

namespace {

// The three calls, looked up at run time: Windows before 10 1809 has none.
typedef HRESULT(WINAPI *create_call)(COORD, HANDLE, HANDLE, DWORD, void **);
typedef HRESULT(WINAPI *resize_call)(void *, COORD);
typedef void(WINAPI *close_call)(void *);

struct console_calls {
    create_call create_pc;
    resize_call resize_pc;
    close_call close_pc;
};

// Looked up on each use, which is rare: the library keeps no static state
// that would need the C++ runtime to guard it.
console_calls calls()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    console_calls c = {};
    if (kernel) {
        c.create_pc = (create_call)(void *)GetProcAddress(kernel, "CreatePseudoConsole");
        c.resize_pc = (resize_call)(void *)GetProcAddress(kernel, "ResizePseudoConsole");
        c.close_pc = (close_call)(void *)GetProcAddress(kernel, "ClosePseudoConsole");
    }
    if (!c.create_pc || !c.resize_pc || !c.close_pc)
        c = {};
    return c;
}

// What the pump reads at once, and what it keeps for a caller that is not
// reading before it stops reading (until the console closes: then it keeps
// all).
const DWORD PIECE = 65536;
const size_t KEEP_WHILE_RUNNING = 1 << 20;

} // namespace

struct pf_console {
    void *console; // the pseudo console, until it closes (under lock)
    CRITICAL_SECTION lock;
    volatile LONG holders; // the child object and the pump
    HANDLE process;        // the child's, the pump's own copy
    HANDLE from_console;   // overlapped: the console's output
    HANDLE to_caller;      // overlapped: the caller's end's other side
    HANDLE events[2];      // the pump's read and write
    HANDLE pump;
    HANDLE closer;         // closes the console once the child has ended
    bool abandoned;        // no pump ran: the closer has nothing to do
};

bool pf_console_available()
{
    return calls().create_pc != nullptr;
}

namespace {

void drop_hold(pf_console *console)
{
    if (InterlockedDecrement(&console->holders) != 0)
        return;
    DeleteCriticalSection(&console->lock);
    free(console);
}

// Closes the console once the child has ended; the close returns once the
// console's output is read, which the pump does meanwhile. It runs on a
// thread of its own from the pump's start, so that the pump never closes
// the console on the thread that must read it.
DWORD WINAPI close_console(void *context)
{
    pf_console *console = (pf_console *)context;
    if (console->abandoned)
        return 0; // no pump ran: the start closes the console
    WaitForSingleObject(console->process, INFINITE);
    EnterCriticalSection(&console->lock);
    void *closing = console->console;
    console->console = nullptr;
    LeaveCriticalSection(&console->lock);
    if (closing)
        calls().close_pc(closing);
    return 0;
}

// The bytes read and not yet handed to the caller.
struct kept {
    char *bytes;
    size_t begin, end, size;
    bool append(const char *more, size_t count)
    {
        if (end + count > size) {
            // Move what is left to the front first; grow when that is not room enough.
            memmove(bytes, bytes + begin, end - begin);
            end -= begin;
            begin = 0;
            if (end + count > size) {
                size_t grown = size ? size : PIECE;
                while (grown < end + count)
                    grown *= 2;
                char *more_room = (char *)realloc(bytes, grown);
                if (!more_room)
                    return false;
                bytes = more_room, size = grown;
            }
        }
        memcpy(bytes + end, more, count);
        end += count;
        return true;
    }
    size_t held() const { return end - begin; }
};

DWORD WINAPI pump(void *context)
{
    pf_console *console = (pf_console *)context;
    static_assert(2 * PIECE < 256 * 1024, "the pieces fit the pump's stack");
    char in[PIECE], out[PIECE];
    OVERLAPPED reading, writing;
    memset(&reading, 0, sizeof reading);
    memset(&writing, 0, sizeof writing);
    reading.hEvent = console->events[0];
    writing.hEvent = console->events[1];
    kept waiting = {nullptr, 0, 0, 0};
    // caller_gone: the caller's end is closed, what comes is read and
    // dropped; out_of_memory: what comes is dropped, what was kept still goes.
    bool child_ended = false, console_ended = false, caller_gone = false, out_of_memory = false;
    bool read_pending = false, write_pending = false;
    for (;;) {
        // Read while the caller keeps up, and always once the console closes.
        if (!console_ended && !read_pending &&
            (child_ended || caller_gone || out_of_memory || waiting.held() < KEEP_WHILE_RUNNING)) {
            ResetEvent(reading.hEvent);
            if (ReadFile(console->from_console, in, PIECE, nullptr, &reading) || GetLastError() == ERROR_IO_PENDING)
                read_pending = true;
            else
                console_ended = true;
        }
        if (caller_gone)
            waiting.begin = waiting.end = 0; // nobody to hand it to
        if (!write_pending && !caller_gone && waiting.held()) {
            DWORD count = waiting.held() < PIECE ? (DWORD)waiting.held() : PIECE;
            memcpy(out, waiting.bytes + waiting.begin, count);
            ResetEvent(writing.hEvent);
            if (WriteFile(console->to_caller, out, count, nullptr, &writing) || GetLastError() == ERROR_IO_PENDING)
                write_pending = true;
            else
                caller_gone = true;
        }
        if (console_ended && !write_pending && (caller_gone || !waiting.held()))
            break;
        HANDLE events[3];
        DWORD count = 0;
        DWORD child_at = MAXDWORD, read_at = MAXDWORD, write_at = MAXDWORD;
        if (!child_ended)
            child_at = count, events[count++] = console->process;
        if (read_pending)
            read_at = count, events[count++] = reading.hEvent;
        if (write_pending)
            write_at = count, events[count++] = writing.hEvent;
        if (count == 0)
            break; // nothing can come: the console ended without a read
        DWORD which = WaitForMultipleObjects(count, events, FALSE, INFINITE);
        if (which == WAIT_FAILED)
            break;
        which -= WAIT_OBJECT_0;
        DWORD moved = 0;
        if (which == child_at) {
            // The child ended: the console closes (the closer does it), and
            // its output's end follows.
            child_ended = true;
        } else if (which == read_at) {
            read_pending = false;
            if (!GetOverlappedResult(console->from_console, &reading, &moved, FALSE))
                console_ended = true;
            else if (moved && !caller_gone && !out_of_memory && !waiting.append(in, moved))
                out_of_memory = true;
        } else if (which == write_at) {
            write_pending = false;
            if (!GetOverlappedResult(console->to_caller, &writing, &moved, FALSE))
                caller_gone = true;
            else
                waiting.begin += moved;
        }
    }
    // Whatever is still pending goes before its buffer does.
    if (read_pending || write_pending) {
        CancelIo(console->from_console);
        CancelIo(console->to_caller);
        DWORD moved;
        if (read_pending)
            GetOverlappedResult(console->from_console, &reading, &moved, TRUE);
        if (write_pending)
            GetOverlappedResult(console->to_caller, &writing, &moved, TRUE);
    }
    // Reading stopped before the console's end (a wait or a read failed):
    // its output end goes first, so that the console's writes fail rather
    // than wait on a reader, and the close can return.
    CloseHandle(console->from_console);
    WaitForSingleObject(console->closer, INFINITE);
    CloseHandle(console->closer);
    CloseHandle(console->to_caller); // the caller's end ends here
    CloseHandle(console->process);
    CloseHandle(console->events[0]);
    CloseHandle(console->events[1]);
    free(waiting.bytes);
    drop_hold(console);
    return 0;
}

} // namespace

DWORD pf_console_make(uint16_t columns, uint16_t rows, HANDLE console_input, HANDLE console_output,
                      pf_console **made)
{
    *made = nullptr;
    if (!pf_console_available())
        return ERROR_CALL_NOT_IMPLEMENTED;
    pf_console *console = (pf_console *)calloc(1, sizeof *console);
    if (!console)
        return ERROR_NOT_ENOUGH_MEMORY;
    COORD size = {(SHORT)columns, (SHORT)rows};
    HRESULT created = calls().create_pc(size, console_input, console_output, 0, &console->console);
    if (FAILED(created)) {
        free(console);
        return HRESULT_FACILITY(created) == FACILITY_WIN32 ? HRESULT_CODE(created) : (DWORD)created;
    }
    InitializeCriticalSection(&console->lock);
    console->holders = 1;
    *made = console;
    return 0;
}

void *pf_console_handle(pf_console *console)
{
    return console ? console->console : nullptr;
}

DWORD pf_console_pump(pf_console *console, HANDLE process, HANDLE from_console, HANDLE to_caller)
{
    DWORD error = 0;
    for (HANDLE &event : console->events)
        if (!(event = CreateEventW(nullptr, TRUE, FALSE, nullptr)))
            error = GetLastError();
    if (!error && !DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &console->process,
                                   SYNCHRONIZE, FALSE, 0))
        error = GetLastError();
    if (!error) {
        console->from_console = from_console;
        console->to_caller = to_caller;
        // The closer first, held until the pump runs: the pump waits for it
        // at its end, and without a pump it is let go unused.
        console->closer = CreateThread(nullptr, 0, close_console, console, CREATE_SUSPENDED, nullptr);
        if (!console->closer)
            error = GetLastError();
    }
    if (!error) {
        InterlockedIncrement(&console->holders);
        // A stack of its own for the pump's two pieces.
        console->pump = CreateThread(nullptr, 512 * 1024, pump, console, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (console->pump) {
            CloseHandle(console->pump);
            ResumeThread(console->closer);
            return 0;
        }
        error = GetLastError();
        InterlockedDecrement(&console->holders);
        console->abandoned = true;
        ResumeThread(console->closer);
        WaitForSingleObject(console->closer, INFINITE);
        CloseHandle(console->closer);
        console->closer = nullptr;
        console->from_console = console->to_caller = nullptr;
    }
    for (HANDLE &event : console->events)
        if (event)
            CloseHandle(event), event = nullptr;
    if (console->process)
        CloseHandle(console->process), console->process = nullptr;
    return error;
}

void pf_console_abandon(pf_console *console)
{
    // A start that failed before its pump ran: the console and the ends are
    // the start's to close.
    if (!console)
        return;
    if (console->console)
        calls().close_pc(console->console);
    drop_hold(console);
}

void pf_console_release(pf_console *console)
{
    if (console)
        drop_hold(console);
}

int pf_console_resize(pf_console *console, uint16_t columns, uint16_t rows)
{
    EnterCriticalSection(&console->lock);
    int resized = 1; // closed: the child has ended
    if (console->console) {
        COORD size = {(SHORT)columns, (SHORT)rows};
        HRESULT answer = calls().resize_pc(console->console, size);
        resized = SUCCEEDED(answer) ? 0 : -1;
        // Why, for the caller's words (wine 8 answers E_NOTIMPL).
        if (FAILED(answer))
            SetLastError(answer == E_NOTIMPL                       ? ERROR_CALL_NOT_IMPLEMENTED
                         : HRESULT_FACILITY(answer) == FACILITY_WIN32 ? HRESULT_CODE(answer)
                                                                      : (DWORD)answer);
    }
    LeaveCriticalSection(&console->lock);
    return resized;
}
