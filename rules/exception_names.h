// What a person calls the exception codes a child most often ends with, so
// that "exited with status 0xC0000005 (access violation)" says what happened.
#ifndef PROCFERRY_EXCEPTION_NAMES_H
#define PROCFERRY_EXCEPTION_NAMES_H

#include <stdint.h>

// The name of an exit status that is a known exception code, or nullptr:
// any other status keeps its number alone.
const char *pf_exception_name(uint32_t status);

#endif
