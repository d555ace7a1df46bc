#include "wait_limits.h"

#include <stdlib.h>
#include <string.h>

namespace parent {

namespace {

bool set_to_one(const char *name)
{
    const char *value = getenv(name);
    return value && strcmp(value, "1") == 0;
}

} // namespace

bool emulated_limits()
{
    return sizeof(void *) == 4 &&
           (set_to_one("PROCFERRY_I386_EMULATED") || set_to_one("PROCFERRY_EMULATED_LIMITS"));
}

int wait_limit_ms(int native_ms)
{
    return emulated_limits() ? native_ms * EMULATED_WAIT_FACTOR : native_ms;
}

} // namespace parent
