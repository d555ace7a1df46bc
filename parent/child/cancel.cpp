// A cancel object: an event that, once set, stays set. Waits that take one
// wait on it beside their own object, so a cancel from any thread ends them
// at once, with no polling.
#include <stdlib.h>

#include "parent_internal.h"

struct procferry_cancel {
    HANDLE event;
};

struct procferry_cancel *procferry_cancel_make(void)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return nullptr;
    // No C++ allocation: the library links into C programs without the C++ runtime.
    procferry_cancel *made = (procferry_cancel *)malloc(sizeof *made);
    if (!made)
        CloseHandle(event);
    else
        made->event = event;
    return made;
}

void procferry_cancel_signal(struct procferry_cancel *cancel)
{
    if (cancel)
        SetEvent(cancel->event);
}

int procferry_cancel_signalled(const struct procferry_cancel *cancel)
{
    return cancel && WaitForSingleObject(cancel->event, 0) == WAIT_OBJECT_0;
}

procferry_handle procferry_cancel_handle(const struct procferry_cancel *cancel)
{
    return cancel ? cancel->event : nullptr;
}

void procferry_cancel_free(struct procferry_cancel *cancel)
{
    if (!cancel)
        return;
    CloseHandle(cancel->event);
    free(cancel);
}

DWORD pf_wait_or_cancel(HANDLE object, DWORD timeout_ms, const procferry_cancel *cancel)
{
    if (!cancel)
        return object ? WaitForSingleObject(object, timeout_ms) : (Sleep(timeout_ms), WAIT_TIMEOUT);
    if (!object)
        return WaitForSingleObject(cancel->event, timeout_ms) == WAIT_OBJECT_0 ? (DWORD)PF_WAIT_CANCELLED
                                                                               : WAIT_TIMEOUT;
    HANDLE both[2] = {object, cancel->event};
    // The object first: one that has ended counts over a cancel that came too.
    DWORD waited = WaitForMultipleObjects(2, both, FALSE, timeout_ms);
    return waited == WAIT_OBJECT_0 + 1 ? (DWORD)PF_WAIT_CANCELLED : waited;
}
