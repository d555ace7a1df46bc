// A whole start: the plan, the back-end that carries it out, and the wait
// for a child the caller does not take; and the default relay's place.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "back_ends.h"

namespace {

// Once a child is ended, it is gone within milliseconds; this bounds one
// that is not.
const DWORD CHILD_END_WAIT_MS = 10000;

// A start that did not run its program keeps what it found out, for its
// words; one refused before its texts were read has nothing to tell.
int finish_unrun(const pf_plan &plan, procferry_result *result, int kind, int error)
{
    pf_finish(result, kind, error);
    if (kind != PROCFERRY_INVALID_ARGUMENT && plan.texts)
        pf_find_out(plan, kind, &result->findings);
    return kind;
}

} // namespace

void procferry_options_init(struct procferry_options *options)
{
    memset(options, 0, sizeof *options);
    options->size = sizeof *options;
    options->timeout_ms = PROCFERRY_INFINITE;
}

int pf_session_start_options(const struct procferry_options *options,
                                    struct pf_session *session,
                                    struct procferry_result *result)
{
    if (!result || !session)
        return PROCFERRY_INVALID_ARGUMENT;
    memset(result, 0, sizeof *result);
    memset(session, 0, sizeof *session);
    session->relay_report_fd = session->relay_sync_fd = -1;
    procferry_options relayed;
    if (options && options->size >= sizeof *options) {
        relayed = *options;
        relayed.flags |= options->relay || options->relay_utf8 ? 0 : PROCFERRY_RELAY;
        options = &relayed;
    }
    pf_plan plan;
    if (pf_plan_make(options, false, &plan) != 0)
        return pf_finish(result, plan.kind, plan.error);
    int kind = pf_relay_session_start(plan, session, result, !(plan.flags & PROCFERRY_NO_WAIT));
    pf_plan_close_child_ends(&plan);
    if (kind == 0)
        for (int n = 0; n < 3; ++n)
            result->pipes[n] = plan.pipes[n], plan.pipes[n] = nullptr;
    return kind;
}

int pf_start(const struct procferry_options *options, struct procferry_result *result,
             const struct procferry_cancel *cancel)
{
    if (!result)
        return PROCFERRY_INVALID_ARGUMENT;
    memset(result, 0, sizeof *result);
    uint32_t timeout = options ? options->timeout_ms : 0;
    uint64_t deadline = pf_deadline(timeout);
    // Neither way waits in the start itself: the library takes the child and
    // waits for it, so that a timeout tells a relay that did not answer from
    // a program that ran too long, and the pid is known in either mode.
    bool wait_for_child = options && options->size >= sizeof *options && !(options->flags & PROCFERRY_NO_WAIT);
    pf_plan plan;
    if (pf_plan_make(options, wait_for_child, &plan) != 0) {
        result->win32_error = plan.win32_error;
        return finish_unrun(plan, result, plan.kind, plan.error);
    }
    int kind = plan.relay ? pf_start_relay(plan, result, timeout, procferry_cancel_handle(cancel))
                          : pf_start_direct(plan, result);
    // The child holds its copies of its ends; the caller keeps its own.
    pf_plan_close_child_ends(&plan);
    if (kind != 0 && kind != PROCFERRY_STARTED)
        return finish_unrun(plan, result, kind, result->error);
    kind = PROCFERRY_STARTED;
    for (int n = 0; n < 3; ++n)
        result->pipes[n] = plan.pipes[n], plan.pipes[n] = nullptr;
    if (!wait_for_child)
        return pf_finish(result, kind);
    int waited = procferry_child_wait(result->child, pf_remaining(deadline, timeout), &result->exit_status);
    kind = waited == 0 ? PROCFERRY_EXITED : PROCFERRY_TIMED_OUT;
    if (waited == PROCFERRY_TIMED_OUT) {
        procferry_child_kill(result->child, 1);
        procferry_child_wait(result->child, CHILD_END_WAIT_MS, nullptr);
        result->exit_status = 0;
    } else if (waited < 0) {
        result->win32_error = GetLastError();
        result->exit_status = 0;
        kind = PROCFERRY_SYSTEM_ERROR;
    }
    procferry_child_close(result->child);
    result->child = nullptr;
    if (kind != PROCFERRY_EXITED)
        for (procferry_handle &pipe : result->pipes)
            if (pipe)
                CloseHandle((HANDLE)pipe), pipe = nullptr;
    return pf_finish(result, kind);
}

int procferry_start(const struct procferry_options *options, struct procferry_result *result)
{
    if (!result)
        return PROCFERRY_INVALID_ARGUMENT; // nowhere to say more, nor to hand a child
    int kind = pf_start(options, result);
    pf_keep_words(options, result);
    return kind;
}

int procferry_start_cancellable(const struct procferry_options *options, const struct procferry_cancel *cancel,
                                struct procferry_result *result)
{
    if (!result)
        return PROCFERRY_INVALID_ARGUMENT;
    if (procferry_cancel_signalled(cancel)) {
        memset(result, 0, sizeof *result);
        pf_finish(result, PROCFERRY_CANCELLED);
        pf_keep_words(options, result);
        return PROCFERRY_CANCELLED;
    }
    int kind = pf_start(options, result, cancel);
    pf_keep_words(options, result);
    return kind;
}
