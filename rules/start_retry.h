// When a process start is tried again. Under load, wine's process creation
// now and then fails with an internal error (ERROR_INTERNAL_ERROR) before
// any process exists; that says nothing about the program, so the start is
// tried again, a few times and on that error only. The relay's launch and
// the library's start of the relay follow this one rule.
#ifndef PROCFERRY_RULES_START_RETRY_H
#define PROCFERRY_RULES_START_RETRY_H

enum { PF_START_RETRY_ERROR = 1359, PF_START_ATTEMPTS = 3 };

// Whether a start that failed with the system error error, on attempt
// (counted from 1), is to be tried again.
static inline bool pf_start_again(unsigned long error, int attempt)
{
    return error == PF_START_RETRY_ERROR && attempt < PF_START_ATTEMPTS;
}

#endif
