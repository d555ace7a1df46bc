// A plan carried out through the relay: the relay is handed what the plan
// decided (the full directory, the program found and never searched for,
// argument zero apart, every stream as a descriptor in the plan's mode), and
// its record is read; the child is then taken over from it.
#include <errno.h>
#include <string.h>

#include "back_ends.h"

namespace {

// Once the record is in or the relay is released, the relay ends within
// milliseconds; this bounds one that does not.
const DWORD RELAY_END_WAIT_MS = 10000;


// The line builder of a start, which also shows the caller the text.
struct shown_line {
    pf_line_request line;
    const pf_plan *plan;
};

wchar_t *build_and_show(void *context, const pf_relay_fds *fds)
{
    shown_line &shown = *(shown_line *)context;
    wchar_t *text = pf_build_line(&shown.line, fds);
    pf_show_line(*shown.plan, text);
    return text;
}

// What a relay that ended without a record left behind.
int no_record(pf_session &session, procferry_result *result, uint64_t deadline,
              uint32_t timeout_ms)
{
    DWORD left = pf_remaining(deadline, timeout_ms);
    if (WaitForSingleObject((HANDLE)session.relay, left < RELAY_END_WAIT_MS ? left : RELAY_END_WAIT_MS) !=
        WAIT_OBJECT_0) {
        pf_session_kill_tree(&session);
        return pf_finish(result, PROCFERRY_TIMED_OUT);
    }
    pf_session_wait_relay(&session, 0, &result->relay.exit_status);
    result->relay.ended = 1;
    if (pf_session_relay_stderr(&session, result->relay.check_report, sizeof result->relay.check_report) > 0 ||
        result->relay.exit_status == RELAY_EXIT_CHECK_FAILED)
        return pf_finish(result, PROCFERRY_CHECK_REPORT);
    return pf_finish(result, PROCFERRY_RELAY_CRASHED);
}

} // namespace

int pf_relay_session_start(const pf_plan &plan, pf_session *session, procferry_result *result,
                           bool relay_waits)
{
    size_t relay_length = wcslen(plan.relay);
    if (relay_length >= PROCFERRY_PATH_SIZE)
        relay_length = PROCFERRY_PATH_SIZE - 1;
    memcpy(result->relay.path, plan.relay, relay_length * sizeof(wchar_t));
    pf_relay_start start = {};
    start.relay = plan.relay;
    shown_line shown = {{plan.relay, plan.found, plan.vector, plan.directory, relay_waits}, &plan};
    start.build_line = build_and_show;
    start.context = &shown;
    start.environment = plan.environment;
    start.no_job = !plan.job;
    start.binary_streams = !plan.text_streams;
    start.new_process_group = plan.new_group;
    start.no_window = (plan.creation & CREATE_NO_WINDOW) != 0;
    // The relay's own stderr is a private pipe, so that a check report is
    // caught; the child's streams reach it as descriptors.
    start.capture_relay_stderr = 1;
    start.extra_fds = plan.extra_fds;
    start.extra_fd_count = plan.extra_fd_count;
    // Streams the caller only inherits (0 and 1) are the relay's own, as
    // they are the direct child's: one that cannot be handed on is left out,
    // not refused. stderr always goes as a descriptor, the relay's own being
    // its private pipe.
    for (int n = 0; n < 3; ++n)
        start.streams[n] = plan.streams[n] && (plan.stream_chosen[n] || n == 2)
                               ? procferry_stream{PROCFERRY_STREAM_HANDLE, 0, plan.streams[n]}
                               : procferry_stream{PROCFERRY_STREAM_INHERIT, 0, nullptr};
    if (pf_session_start_line(&start, session) == 0)
        return 0;
    result->win32_error = session->win32_error;
    if (session->spawn_errno == E2BIG || session->handle_refused)
        return pf_finish(result, PROCFERRY_INVALID_ARGUMENT, session->spawn_errno);
    if (session->spawn_errno)
        return pf_finish(result, PROCFERRY_RELAY_MISSING, session->spawn_errno);
    return pf_finish(result, PROCFERRY_SYSTEM_ERROR);
}

int pf_start_relay(const pf_plan &plan, procferry_result *result, uint32_t timeout, procferry_handle cancel)
{
    uint64_t deadline = pf_deadline(timeout);
    pf_session session;
    if (pf_relay_session_start(plan, &session, result) != 0)
        return result->kind;
    session.cancel = cancel;
    pf_record record = {0, 0};
    int got = pf_session_read_record(&session, timeout, &record);
    result->relay.record_bytes = got > 0 ? got : 0;
    int kind = PROCFERRY_BAD_RECORD, error = 0;
    if (got < 0) {
        pf_session_kill_tree(&session);
        result->win32_error = got == -2 ? session.win32_error : 0;
        kind = got == -2 ? PROCFERRY_SYSTEM_ERROR : got == -3 ? PROCFERRY_CANCELLED : PROCFERRY_TIMED_OUT;
        if (got == -3)
            result->ended_by = PROCFERRY_ENDED_ON_CANCEL;
    } else if (got < RELAY_RECORD_SIZE) {
        pf_session_release(&session, 1);
        if (got == 0)
            kind = no_record(session, result, deadline, timeout);
    } else {
        result->relay.record_code = record.code;
        result->relay.record_value = record.value;
        if (record.code == RELAY_OK) {
            if ((result->child = pf_session_take_child(&session, record.value))) {
                kind = PROCFERRY_STARTED;
                result->pid = procferry_child_pid(result->child);
                pf_child_add_flags(result->child, pf_child_flags(plan));
                // The group is the relay's, whose id names it after the
                // relay ended; the child keeps the relay's handle, so that
                // the id cannot go to another process meanwhile.
                HANDLE holder = nullptr;
                if (plan.new_group && DuplicateHandle(GetCurrentProcess(), (HANDLE)session.relay,
                                                      GetCurrentProcess(), &holder, SYNCHRONIZE, FALSE, 0))
                    pf_child_set_group(result->child, session.relay_pid, holder);
            } else {
                // Launched, but not ours to wait for or end later: end it now.
                result->win32_error = session.win32_error;
                pf_session_kill_tree(&session);
            }
        } else if (record.code == RELAY_DIR_FAILED || record.code == RELAY_LAUNCH_FAILED) {
            kind = record.code == RELAY_DIR_FAILED ? PROCFERRY_DIR_FAILED : PROCFERRY_LAUNCH_FAILED;
            error = record.value;
        }
        pf_session_release(&session, 1);
        if (pf_session_wait_relay(&session, RELAY_END_WAIT_MS, &result->relay.exit_status) == 0)
            result->relay.ended = 1;
    }
    pf_session_close(&session);
    return pf_finish(result, kind, error);
}
