// A relay start for the tests' parent only: the relay takes descriptors of
// the caller's as its standard streams, and the caller's inheritable
// descriptors by number, to show how it behaves with streams and numbers no
// ordinary parent gives it. Defined in the parent library, not installed.
#ifndef PROCFERRY_SESSION_STANDING_IN_H
#define PROCFERRY_SESSION_STANDING_IN_H

#include "procferry/parent.h"

#ifdef __cplusplus
extern "C" {
#endif

/* procferry_session_start_line, with relay_streams[n] (PROCFERRY_STREAM_FD)
   as the relay's descriptor n instead of the caller's (NULL: none), and with
   pass_inheritable_fds every inheritable descriptor of the caller's from 3
   up at its own number, as a runtime spawn hands them (the channels then
   come after the highest). */
int procferry_session_start_line_standing_in(const struct procferry_relay_start *start,
                                             const struct procferry_stream *relay_streams,
                                             int pass_inheritable_fds,
                                             struct procferry_session *session);

#ifdef __cplusplus
}
#endif

#endif
