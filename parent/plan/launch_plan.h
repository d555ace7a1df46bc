// A start's launch plan: everything a start decides, made once in the caller
// before anything starts. Two back-ends carry a plan out and decide nothing
// of their own: start_direct.cpp calls CreateProcessW itself, start_relay.cpp
// starts the relay and hands it what the plan decided (the full directory,
// the program found with no search, argument zero through the "#" form, each
// stream as a descriptor). So the two cannot disagree about what the child
// gets, nor about a start refused before it.
//
// Adding an option touches three places and no other: the options struct
// (include/procferry/parent.h), its check (option_checks.cpp) and the plan
// (launch_plan.cpp). Back-ends read the plan, never the options.
#ifndef PROCFERRY_LAUNCH_PLAN_H
#define PROCFERRY_LAUNCH_PLAN_H

#include "option_checks.h"
#include "parent_internal.h"
#include "rules/find_program.h"
#include "work_dir.h"

struct pf_plan_texts; // the plan's own copies, freed with it

struct pf_plan {
    // Refused before anything started: kind (0: the start goes ahead), with
    // the errno, the system's error and, for a refusal of the options, which
    // check refused them. The words tell this diagnosis as it stands.
    int kind = 0;
    int error = 0;
    DWORD win32_error = 0;
    pf_refused refusal = {PF_ACCEPTED, PF_TEXT_NONE, 0};

    uint32_t flags = 0;              // as the options give them
    const wchar_t *relay = nullptr;  // the relay to start; NULL: a direct start
    const wchar_t *program = nullptr; // as given
    const wchar_t **vector = nullptr; // argument zero, then the arguments; null-ended
    const wchar_t *environment = nullptr; // the child's block; NULL: the caller's own
    const wchar_t *directory = nullptr;   // full; NULL: the caller's
    const wchar_t *given_dir = nullptr;   // as the options give it
    bool asked_relay = false;             // the options ask for the relay
    wchar_t found[PF_PROGRAM_PATH_CAPACITY] = {};       // the program, as found
    wchar_t application[PF_PROGRAM_PATH_CAPACITY] = {}; // the file started (a script's interpreter)
    wchar_t *command_text = nullptr; // the child's, as its runtime splits it back
    int handle_width = 0;            // of the child's architecture, for its descriptor table
    bool windowed = false;           // a windowed (GUI) program, which a stop asks by its windows

    // The child's descriptors: 0 to 2 (NULL: none to hand on), then the extra
    // ones from 3. A stream the caller chose must reach the child; one of
    // its own that it lacks is left out.
    HANDLE streams[3] = {nullptr, nullptr, nullptr};
    bool stream_chosen[3] = {false, false, false};
    bool text_streams = false; // 0 to 2 in text mode
    const procferry_handle *extra_fds = nullptr;
    size_t extra_fd_count = 0;

    DWORD creation = 0; // creation flags of the child's own
    bool job = false;
    bool new_group = false;

    // The caller's ends of the pipes asked for, handed over with the result.
    procferry_handle pipes[3] = {nullptr, nullptr, nullptr};
    // A console start: its size, the console's two ends (the start closes
    // them once the console holds them), and the pump's two (the pump's
    // once it runs); whatever is left is closed with the plan.
    uint16_t console_columns = 0, console_rows = 0;
    HANDLE console_input = nullptr, console_output = nullptr;
    HANDLE pump_reads = nullptr, pump_writes = nullptr;
    // Where the caller asked to see the command text started (the child's,
    // or the relay's whole line).
    wchar_t *show_line = nullptr;
    size_t show_capacity = 0;

    pf_plan_texts *texts = nullptr;
    pf_plan() = default;
    pf_plan(const pf_plan &) = delete;
    pf_plan &operator=(const pf_plan &) = delete;
    ~pf_plan();
};

// Makes the plan for options. waits: the caller waits for the child, where
// pipes and PROCFERRY_KILL_ON_CLOSE do not apply. Returns plan->kind: 0, or
// the kind of the start's failure with the plan holding why and nothing of
// the start left open.
int pf_plan_make(const struct procferry_options *options, bool waits, pf_plan *plan);

// Closes the child's ends of the plan's descriptors once a back-end has
// handed them on (the child holds its own copies).
void pf_plan_close_child_ends(pf_plan *plan);

// What a start that ended as kind found out, for its words.
void pf_find_out(const pf_plan &plan, int kind, procferry_findings *found);

// Shows a start's command text where the plan says (cut to fit).
void pf_show_line(const pf_plan &plan, const wchar_t *text);

#endif
