// Waiting for many children at once. The system waits on at most 64 objects
// in one call; past that, the thread pool watches each child and the first
// to end wakes the caller.
#include <stdlib.h>

#include "parent_internal.h"

namespace {

// The wait the thread pool runs for one child of a set.
struct watched_child {
    HANDLE registration;
    size_t index;
    struct any_wait *wait;
};

struct any_wait {
    HANDLE ended;             // set once a child of the set ended
    volatile LONG first;      // its index, or -1
};

void CALLBACK child_ended(void *context, BOOLEAN timed_out)
{
    watched_child &watched = *(watched_child *)context;
    if (timed_out)
        return;
    InterlockedCompareExchange(&watched.wait->first, (LONG)watched.index, -1);
    SetEvent(watched.wait->ended);
}

bool set_valid(struct procferry_child *const *children, size_t count)
{
    if (!children || count == 0 || count > 0x7fffffff)
        return false;
    for (size_t i = 0; i < count; ++i)
        if (!children[i])
            return false;
    return true;
}

} // namespace

int procferry_children_wait_any(struct procferry_child *const *children, size_t count,
                                uint32_t timeout_ms, size_t *index)
{
    if (!set_valid(children, count) || !index)
        return -1;
    // One that has ended already answers at once, the first of them in order.
    for (size_t i = 0; i < count; ++i)
        if (WaitForSingleObject((HANDLE)procferry_child_process(children[i]), 0) == WAIT_OBJECT_0) {
            *index = i;
            return 0;
        }
    if (timeout_ms == 0)
        return PROCFERRY_TIMED_OUT;
    any_wait wait = {CreateEventW(nullptr, TRUE, FALSE, nullptr), -1};
    watched_child *watched = (watched_child *)calloc(count, sizeof *watched);
    bool watching = wait.ended && watched;
    size_t registered = 0;
    for (; watching && registered < count; ++registered) {
        watched[registered] = {nullptr, registered, &wait};
        watching = RegisterWaitForSingleObject(&watched[registered].registration,
                                               (HANDLE)procferry_child_process(children[registered]),
                                               child_ended, &watched[registered], INFINITE,
                                               WT_EXECUTEONLYONCE);
    }
    int outcome = -1;
    if (watching) {
        DWORD waited = WaitForSingleObject(wait.ended, timeout_ms);
        outcome = waited == WAIT_OBJECT_0 ? 0 : waited == WAIT_TIMEOUT ? PROCFERRY_TIMED_OUT : -1;
    }
    // Each registration ends before its context goes: INVALID_HANDLE_VALUE
    // waits for a callback that runs.
    for (size_t i = 0; i < registered; ++i)
        if (watched[i].registration)
            UnregisterWaitEx(watched[i].registration, INVALID_HANDLE_VALUE);
    if (outcome == 0)
        *index = (size_t)wait.first;
    free(watched);
    if (wait.ended)
        CloseHandle(wait.ended);
    return outcome;
}

int procferry_children_wait_all(struct procferry_child *const *children, size_t count,
                                uint32_t timeout_ms)
{
    if (!set_valid(children, count))
        return -1;
    uint64_t deadline = pf_deadline(timeout_ms);
    HANDLE batch[MAXIMUM_WAIT_OBJECTS];
    for (size_t done = 0; done < count;) {
        DWORD in_batch = 0;
        for (; in_batch < MAXIMUM_WAIT_OBJECTS && done + in_batch < count; ++in_batch)
            batch[in_batch] = (HANDLE)procferry_child_process(children[done + in_batch]);
        DWORD waited = WaitForMultipleObjects(in_batch, batch, TRUE, pf_remaining(deadline, timeout_ms));
        if (waited == WAIT_TIMEOUT)
            return PROCFERRY_TIMED_OUT;
        if (waited >= WAIT_OBJECT_0 + in_batch)
            return -1;
        done += in_batch;
    }
    return 0;
}
