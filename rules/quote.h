// Quoting for the child runtime's splitting and for the command interpreter:
// the one home of these rules, shared by the relay and the parent library.
// Nothing here allocates or calls the platform.
#ifndef PROCFERRY_RULES_QUOTE_H
#define PROCFERRY_RULES_QUOTE_H

#include <stddef.h>
#include <wchar.h>

enum pf_quote_mode {
    PF_QUOTE_WHEN_NEEDED, // enclosed only when empty or holding a blank or a tab
    PF_QUOTE_ALWAYS,      // always enclosed
    PF_QUOTE_PROGRAM_NAME // enclosed and nothing escaped: argument zero's rule
};

// The quoted form of argument in out, cut to capacity units with its
// terminator (capacity 0: only counted). Returns its whole length,
// terminator not included.
size_t pf_quote_argument(const wchar_t *argument, enum pf_quote_mode mode, wchar_t *out,
                         size_t capacity);

// The command interpreter's switches for a batch file, in order, before the
// text of pf_batch_command_text.
enum { PF_INTERPRETER_SWITCH_COUNT = 4 };
extern const wchar_t *const pf_interpreter_switches[PF_INTERPRETER_SWITCH_COUNT];

// The interpreter's vector for a batch file, in argv (PF_BATCH_ARGV_COUNT
// entries and a null one): the interpreter's path quoted as argument zero
// (PF_QUOTE_PROGRAM_NAME), the switches, then the text of
// pf_batch_command_text, none of them quoted again.
enum { PF_BATCH_ARGV_COUNT = PF_INTERPRETER_SWITCH_COUNT + 2 };
void pf_batch_argv(const wchar_t *quoted_interpreter, const wchar_t *text, const wchar_t **argv);

// The command text a launch makes of a vector of quoted entries (null-ended):
// the entries joined by single blanks, nothing added. Written as
// pf_quote_argument writes; returns the whole length, terminator not included.
size_t pf_join_entries(const wchar_t *const *entries, wchar_t *out, size_t capacity);

// The text after /c that runs script with args (a null-ended vector)
// exactly, in out as pf_quote_argument writes; its length in *length.
// Returns 0, or EINVAL when it cannot be made safe, E2BIG when it is past
// the interpreter's limit.
int pf_batch_command_text(const wchar_t *script, const wchar_t *const *args, wchar_t *out,
                          size_t capacity, size_t *length);

#endif
