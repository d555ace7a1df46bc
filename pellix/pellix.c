/* Stand-in for the two functions of the base library that the relay imports. */
#define PELLIX_BUILDING
#include "pellix.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

/* Exit status of a process ended by a failed check or by the allocator. */
#define PELLIX_ABORT_STATUS 3

static void write_stderr(const char *text)
{
    size_t length = strlen(text);
#ifdef _WIN32
    _write(2, text, (unsigned)length);
    /* A GUI program usually has no stderr; the debugger output keeps a trace. */
    OutputDebugStringA(text);
#else
    (void)!write(2, text, length);
#endif
}

static void end_process(void) __attribute__((noreturn));
static void end_process(void)
{
    _exit(PELLIX_ABORT_STATUS);
}

void *px_malloc_n(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size) {
        write_stderr("pellix: px_malloc_n: size overflow\n");
        end_process();
    }
    size_t bytes = count * size;
    void *block = malloc(bytes ? bytes : 1);
    if (!block) {
        write_stderr("pellix: px_malloc_n: out of memory\n");
        end_process();
    }
    return block;
}

void px_assertion_message_expr(const char *domain, const char *file, int line,
                               const char *function, const char *expression)
{
    char message[1024];
    snprintf(message, sizeof message, "%s%s%s:%d:%s: assertion failed: (%s)\n",
             domain ? domain : "", domain ? ":" : "", file ? file : "?", line,
             function ? function : "?", expression ? expression : "?");
    write_stderr(message);
    end_process();
}
