// Deadlines for the library's waits, in 64-bit ticks.
#include "parent_internal.h"

uint64_t pf_deadline(uint32_t timeout_ms)
{
    return GetTickCount64() + timeout_ms;
}

DWORD pf_remaining(uint64_t deadline, uint32_t timeout_ms)
{
    if (timeout_ms == PROCFERRY_INFINITE)
        return INFINITE;
    uint64_t now = GetTickCount64();
    return now < deadline ? (DWORD)(deadline - now) : 0;
}

