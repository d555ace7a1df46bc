#include "exception_names.h"

namespace {

struct named_code {
    uint32_t code;
    const char *name;
};

// The codes people meet: faults in the child's own code, the loader's refusals
// before its first line runs, and the ends a runtime chooses itself.
const named_code NAMES[] = {
    {0xC0000005u, "access violation"},
    {0xC00000FDu, "stack overflow"},
    {0xC0000374u, "heap corruption"},
    {0xC0000135u, "a DLL it needs was not found"},
    {0xC0000139u, "an entry point it imports was not found"},
    {0xC0000142u, "a DLL it loads failed to initialise"},
    {0xC000007Bu, "a DLL it loads is for another architecture"},
    {0xC000013Au, "ended by Ctrl+C"},
    {0xC000001Du, "illegal instruction"},
    {0xC0000096u, "privileged instruction"},
    {0xC0000094u, "integer division by zero"},
    {0xC0000095u, "integer overflow"},
    {0xC000008Eu, "floating-point division by zero"},
    {0xC0000409u, "fast-fail abort"},
    {0x80000003u, "breakpoint"},
};

} // namespace

const char *pf_exception_name(uint32_t status)
{
    for (const named_code &entry : NAMES)
        if (entry.code == status)
            return entry.name;
    return nullptr;
}
