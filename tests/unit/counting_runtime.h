// The runtime services the relay's quoting and command-line reading use, for
// native tests: rt_atoi is the C library's atoi, rt_errno and rt_set_errno
// its errno, and rt_alloc_n takes its blocks from the stand-in base library
// and records each request, so tests can check that every block is exactly
// as large as what was written into it.
#ifndef PROCFERRY_TESTS_COUNTING_RUNTIME_H
#define PROCFERRY_TESTS_COUNTING_RUNTIME_H

#include <cstdint>
#include <vector>

struct recorded_allocation {
    const void *block;
    uint32_t count;
    uint32_t size;
};

// The requests made since the last release, in order.
const std::vector<recorded_allocation> &recorded_allocations();

// The request that produced block, or null when it did not come from rt_alloc_n.
const recorded_allocation *find_allocation(const void *block);

// The relay never frees; tests do, so that a long run (or the leak checker)
// does not see the relay's blocks pile up.
void release_allocations();

#endif
