// The launch relay: the parent's command line in, one report record out. The
// protocol's positions, codes and record layout are in rules/protocol.h.
#ifndef PROCFERRY_RELAY_H
#define PROCFERRY_RELAY_H

#include <wchar.h>

#include "rules/protocol.h"

int relay_main(const char *entry_name);

#endif
