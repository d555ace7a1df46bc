/* The two base-library functions the relay imports. */
#ifndef PELLIX_H
#define PELLIX_H

#include <stddef.h>

#ifdef _WIN32
#ifdef PELLIX_BUILDING
#define PELLIX_API __declspec(dllexport)
#else
#define PELLIX_API __declspec(dllimport)
#endif
#else
#define PELLIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A block of count * size bytes. Never returns null: the process ends when the
   product overflows or memory is exhausted. */
PELLIX_API void *px_malloc_n(size_t count, size_t size);

/* Reports a failed check (one line on stderr and on the debugger output) and
   ends the process with a non-zero status. Never returns. */
PELLIX_API void px_assertion_message_expr(const char *domain, const char *file, int line,
                                          const char *function, const char *expression)
#if defined(__GNUC__)
    __attribute__((noreturn))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif
