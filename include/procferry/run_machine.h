/* procferry/run_machine.h: a run to its end (start, feed the input, read
   stdout and stderr within their caps, honour the time limit, the drain and
   a cancel, end the tree, tell what happened) as rules that do no I/O of
   their own. An engine tells the machine what happened (the start, bytes
   read, a write done, a stream's end, the child's end, the timer, a cancel)
   and does what each answer asks: read more, write more, close a stream,
   end the tree, arm the one timer, finish. The library's capture and the
   Asio capture are two such engines; neither decides anything itself.

   Times are milliseconds of one monotonic clock, the engine's. Streams are
   numbered as the child's: 0 the input, 1 stdout, 2 stderr. */
#ifndef PROCFERRY_RUN_MACHINE_H
#define PROCFERRY_RUN_MACHINE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "procferry/parent.h"

#define PF_RUN_NEVER UINT64_MAX
/* The defaults a capture's options start from. */
#define PF_RUN_DEFAULT_CAP ((size_t)64 << 20)
#define PF_RUN_DEFAULT_DRAIN_MS 1000u
/* How long an ended tree gets to be gone before the run ends without it. */
#define PF_RUN_KILLED_END_MS 2000u

enum pf_run_phase {
    PF_RUN_BEFORE = 0, /* made; begin() not told */
    PF_RUN_STARTING,   /* the start runs (through the relay, it may wait for its answer) */
    PF_RUN_RUNNING,    /* the child runs */
    PF_RUN_ENDING,     /* its tree was ended: its end is awaited */
    PF_RUN_DRAINING,   /* it ended: what it left running gets the drain window */
    PF_RUN_DONE
};

/* What an engine is to do, as one event's answer. */
struct pf_run_actions {
    int start;       /* start the child (the time limit runs already) */
    int read[3];     /* have a read pending on stream n (1, 2) */
    int write;       /* write the input from pf_run.written on */
    int close[3];    /* outputs: take what already waits in the pipe, no more; then
                        close it. Input: close it, so that the child sees its end */
    int end_tree;    /* end the child and all it started */
    int arm_timer;   /* arm the one timer for timer_at, in place of any */
    uint64_t timer_at;
    int finish;      /* the run is over: pf_run.end says how */
};

/* How the run ended. kind 0: as the start itself told (it did not start). */
struct pf_run_end {
    int kind;        /* enum procferry_kind */
    int ended_by;    /* enum procferry_ended_by */
    uint32_t exit_status;
    uint32_t timeout_ms; /* the limit asked for, for the words */
};

struct pf_run {
    uint32_t timeout_ms, drain_ms;
    size_t cap[3];
    size_t input_size;
    int leave_running; /* a cancel leaves the tree running */
    int keep_input;    /* a console's keyboard: written to, and closed only at the
                          run's end (a console whose keyboard ends may close at
                          once, and take the child with it) */
    int phase;
    uint64_t deadline;
    int open[3];       /* stream n is there and has neither ended nor been closed */
    size_t kept[3];
    int capped[3];     /* bytes past the cap came, and were dropped */
    size_t written;
    int cancelled, timed_out, child_ended;
    uint32_t exit_status;
    struct pf_run_end end;
};

static inline void pf_run_init(struct pf_run *run, uint32_t timeout_ms, uint32_t drain_ms, size_t out_cap,
                               size_t err_cap, size_t input_size, int leave_running)
{
    memset(run, 0, sizeof *run);
    run->timeout_ms = timeout_ms;
    run->drain_ms = drain_ms;
    run->cap[1] = out_cap;
    run->cap[2] = err_cap;
    run->input_size = input_size;
    run->leave_running = leave_running;
    run->deadline = PF_RUN_NEVER;
}

static inline struct pf_run_actions pf_run_none(void)
{
    struct pf_run_actions none;
    memset(&none, 0, sizeof none);
    return none;
}

/* What the run shows: its end once it is over. */
static inline struct pf_run_actions pf_run_finish(struct pf_run *run, struct pf_run_actions act)
{
    int n;
    for (n = 0; n < 3; ++n)
        if (run->open[n]) {
            act.close[n] = 1;
            act.read[n] = 0;
            run->open[n] = 0;
        }
    act.write = 0;
    act.arm_timer = 0;
    act.finish = 1;
    int ran = run->phase != PF_RUN_BEFORE;
    run->phase = PF_RUN_DONE;
    run->end.timeout_ms = run->timeout_ms;
    if (run->cancelled) {
        run->end.kind = PROCFERRY_CANCELLED;
        if (ran && !run->end.ended_by)
            run->end.ended_by = run->leave_running ? PROCFERRY_LEFT_RUNNING : PROCFERRY_ENDED_ON_CANCEL;
    } else if (run->timed_out) {
        run->end.kind = PROCFERRY_TIMED_OUT;
        run->end.ended_by = PROCFERRY_ENDED_AT_TIME_LIMIT;
    } else {
        run->end.kind = PROCFERRY_EXITED;
        run->end.ended_by = PROCFERRY_ENDED_BY_ITSELF;
        run->end.exit_status = run->exit_status;
    }
    return act;
}

static inline int pf_run_outputs_open(const struct pf_run *run)
{
    return run->open[1] || run->open[2];
}

/* The tree is ended, at the time limit or on a cancel: its end is awaited,
   for a while. */
static inline struct pf_run_actions pf_run_end_tree(struct pf_run *run, uint64_t now)
{
    struct pf_run_actions act = pf_run_none();
    act.end_tree = 1;
    if (run->open[0] && !run->keep_input) {
        act.close[0] = 1;
        run->open[0] = 0;
    }
    if (run->child_ended)
        return pf_run_finish(run, act);
    run->phase = PF_RUN_ENDING;
    act.arm_timer = 1;
    act.timer_at = now + PF_RUN_KILLED_END_MS;
    return act;
}

/* Told first, before the start: the time limit counts from here. A cancel
   signalled already starts nothing. */
static inline struct pf_run_actions pf_run_begin(struct pf_run *run, uint64_t now, int cancelled)
{
    struct pf_run_actions act = pf_run_none();
    if (run->phase != PF_RUN_BEFORE)
        return act;
    if (run->timeout_ms != PROCFERRY_INFINITE)
        run->deadline = now + run->timeout_ms;
    if (cancelled) {
        run->cancelled = 1; /* nothing ran, nor was ended */
        return pf_run_finish(run, act);
    }
    run->phase = PF_RUN_STARTING;
    act.start = 1;
    if (run->deadline != PF_RUN_NEVER) {
        act.arm_timer = 1;
        act.timer_at = run->deadline;
    }
    return act;
}

/* The start did not give a running child: its own outcome stands. */
static inline struct pf_run_actions pf_run_start_failed(struct pf_run *run)
{
    struct pf_run_actions act = pf_run_none();
    act.finish = 1;
    run->phase = PF_RUN_DONE;
    run->end.kind = 0;
    run->end.timeout_ms = run->timeout_ms;
    return act;
}

/* The child runs, with the streams it has of the run's. A cancel or the
   time limit that came while it started is honoured now. */
static inline struct pf_run_actions pf_run_started(struct pf_run *run, uint64_t now, int has_in, int has_out,
                                                   int has_err)
{
    struct pf_run_actions act = pf_run_none();
    if (run->phase != PF_RUN_STARTING)
        return act;
    run->phase = PF_RUN_RUNNING;
    run->open[0] = has_in;
    run->open[1] = has_out;
    run->open[2] = has_err;
    if (run->cancelled && !run->leave_running) {
        run->end.ended_by = PROCFERRY_ENDED_ON_CANCEL;
        return pf_run_end_tree(run, now);
    }
    if (run->cancelled)
        return pf_run_finish(run, act);
    if (run->deadline != PF_RUN_NEVER && now >= run->deadline) {
        run->timed_out = 1;
        return pf_run_end_tree(run, now);
    }
    act.read[1] = has_out;
    act.read[2] = has_err;
    if (has_in && run->input_size > 0) {
        act.write = 1;
    } else if (has_in && !run->keep_input) {
        act.close[0] = 1;
        run->open[0] = 0;
    }
    if (run->deadline != PF_RUN_NEVER) {
        act.arm_timer = 1;
        act.timer_at = run->deadline;
    }
    return act;
}

/* count bytes were read from stream n: *keep of them are kept, the rest
   dropped past the cap. */
static inline struct pf_run_actions pf_run_read(struct pf_run *run, int n, size_t count, size_t *keep)
{
    struct pf_run_actions act = pf_run_none();
    /* A read that was pending at the end still brings what was waiting,
       within the cap; no read follows it. */
    size_t room = run->kept[n] < run->cap[n] ? run->cap[n] - run->kept[n] : 0;
    *keep = count < room ? count : room;
    run->kept[n] += *keep;
    if (count > *keep)
        run->capped[n] = 1;
    if (run->open[n] && run->phase != PF_RUN_DONE)
        act.read[n] = 1;
    return act;
}

/* count bytes of the input were written. */
static inline struct pf_run_actions pf_run_written(struct pf_run *run, size_t count)
{
    struct pf_run_actions act = pf_run_none();
    run->written += count;
    if (!run->open[0] || run->phase == PF_RUN_DONE)
        return act;
    if (run->written < run->input_size) {
        act.write = 1;
    } else if (!run->keep_input) {
        act.close[0] = 1;
        run->open[0] = 0;
    }
    return act;
}

/* Stream n came to its end (every writer gone, or it failed): the run is
   over once the child has ended and no output is left. */
static inline struct pf_run_actions pf_run_stream_end(struct pf_run *run, int n)
{
    struct pf_run_actions act = pf_run_none();
    if (!run->open[n])
        return act;
    run->open[n] = 0;
    if (n == 0)
        return act;
    if (run->phase == PF_RUN_DRAINING && !pf_run_outputs_open(run))
        return pf_run_finish(run, act);
    return act;
}

/* The child ended, with status. What it left running may hold its outputs
   open: they get the drain window, within the run's own time, and no more. */
static inline struct pf_run_actions pf_run_child_end(struct pf_run *run, uint64_t now, uint32_t status)
{
    struct pf_run_actions act = pf_run_none();
    if (run->child_ended || run->phase < PF_RUN_RUNNING || run->phase == PF_RUN_DONE)
        return act;
    run->child_ended = 1;
    run->exit_status = status;
    if (run->phase == PF_RUN_ENDING)
        return pf_run_finish(run, act);
    if (run->open[0] && !run->keep_input) {
        act.close[0] = 1;
        run->open[0] = 0;
    }
    uint64_t window = run->drain_ms;
    if (run->deadline != PF_RUN_NEVER)
        window = run->deadline > now ? (run->deadline - now < window ? run->deadline - now : window) : 0;
    if (!pf_run_outputs_open(run) || window == 0)
        return pf_run_finish(run, act);
    run->phase = PF_RUN_DRAINING;
    act.arm_timer = 1;
    act.timer_at = now + window;
    return act;
}

/* The timer armed last came due. */
static inline struct pf_run_actions pf_run_timer(struct pf_run *run, uint64_t now)
{
    struct pf_run_actions act = pf_run_none();
    switch (run->phase) {
    case PF_RUN_STARTING:
        /* Past the time limit before the child ran: the start is to give up. */
        if (now >= run->deadline)
            run->timed_out = 1;
        return act;
    case PF_RUN_RUNNING:
        if (now < run->deadline) {
            act.arm_timer = 1;
            act.timer_at = run->deadline;
            return act;
        }
        run->timed_out = 1;
        return pf_run_end_tree(run, now);
    case PF_RUN_ENDING:   /* the ended tree did not show its end in time */
    case PF_RUN_DRAINING: /* the drain window is over */
        return pf_run_finish(run, act);
    default:
        return act;
    }
}

/* The run's cancel was signalled. Before the child's end it ends the run at
   once, with what was read: the tree ended, or left running when asked.
   After it, it ends only the drain: the child's end stands. */
static inline struct pf_run_actions pf_run_cancel(struct pf_run *run, uint64_t now)
{
    struct pf_run_actions act = pf_run_none();
    switch (run->phase) {
    case PF_RUN_STARTING:
        run->cancelled = 1; /* honoured once the start returns */
        return act;
    case PF_RUN_RUNNING:
        run->cancelled = 1;
        if (run->leave_running)
            return pf_run_finish(run, act);
        run->end.ended_by = PROCFERRY_ENDED_ON_CANCEL;
        return pf_run_end_tree(run, now);
    case PF_RUN_ENDING:
        /* Ended already (the time limit's end): the run ends now. */
        return pf_run_finish(run, act);
    case PF_RUN_DRAINING:
        return pf_run_finish(run, act);
    default:
        return act;
    }
}

/* The streams a capture's child gets, from those given (chosen starts as a
   copy of given): stdin the null device, or a pipe for the input, unless
   chosen; stdout a pipe; stderr a pipe unless chosen (stdout's own pipe
   when merged with it). In a console, stdin and stdout are the console's
   keyboard and screen, which the start hands over as pipes, and stderr
   shows there too unless sent elsewhere. */
static inline void pf_run_streams(const struct procferry_stream given[3], int console, int has_input,
                                  struct procferry_stream chosen[3])
{
    static const struct procferry_stream pipe = {PROCFERRY_STREAM_PIPE, 0, NULL};
    static const struct procferry_stream null_device = {PROCFERRY_STREAM_NULL, 0, NULL};
    static const struct procferry_stream inherited = {PROCFERRY_STREAM_INHERIT, 0, NULL};
    if (console) {
        if (given[2].kind == PROCFERRY_STREAM_STDOUT)
            chosen[2] = inherited;
        return;
    }
    if (given[0].kind == PROCFERRY_STREAM_INHERIT)
        chosen[0] = has_input ? pipe : null_device;
    chosen[1] = pipe;
    if (given[2].kind == PROCFERRY_STREAM_INHERIT)
        chosen[2] = pipe;
}

/* Whether the start is to give up: cancelled, or past the time limit. */
static inline int pf_run_start_abandoned(const struct pf_run *run)
{
    return run->phase == PF_RUN_STARTING && (run->timed_out || run->cancelled);
}

#endif
