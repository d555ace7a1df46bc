// The two ways a launch plan is carried out, and the relay's session
// started for one.
#ifndef PROCFERRY_BACK_ENDS_H
#define PROCFERRY_BACK_ENDS_H

#include "plan/launch_plan.h"

// The back-ends: 0 with result->child and pid (PROCFERRY_STARTED), or the
// kind of the failure with *result filled and nothing of the start left
// open. timeout_ms bounds the relay's answer, and cancel (an event, or NULL)
// ends the wait for it (PROCFERRY_CANCELLED, the relay's tree ended).
int pf_start_direct(pf_plan &plan, procferry_result *result);
int pf_start_relay(const pf_plan &plan, procferry_result *result, uint32_t timeout_ms,
                   procferry_handle cancel = nullptr);

// The flags the started child keeps of the plan.
inline uint32_t pf_child_flags(const pf_plan &plan)
{
    return (plan.flags & PROCFERRY_KILL_ON_CLOSE) | (plan.windowed ? (uint32_t)PF_CHILD_WINDOWED : 0u);
}

// The relay's session started for a plan, up to a running relay.
int pf_relay_session_start(const pf_plan &plan, pf_session *session,
                           procferry_result *result, bool relay_waits = false);

#endif
