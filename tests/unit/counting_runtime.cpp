#include "counting_runtime.h"

#include "pellix.h"
#include "runtime.h"

#include <cerrno>
#include <cstdlib>

static std::vector<recorded_allocation> &allocation_log()
{
    static std::vector<recorded_allocation> log;
    return log;
}

void *rt_alloc_n(uint32_t count, uint32_t size)
{
    void *block = px_malloc_n(count, size);
    allocation_log().push_back({block, count, size});
    return block;
}

int rt_atoi(const char *text)
{
    return std::atoi(text);
}

int rt_errno(void)
{
    return errno;
}

void rt_set_errno(int value)
{
    errno = value;
}

const std::vector<recorded_allocation> &recorded_allocations()
{
    return allocation_log();
}

const recorded_allocation *find_allocation(const void *block)
{
    for (const recorded_allocation &allocation : allocation_log())
        if (allocation.block == block)
            return &allocation;
    return nullptr;
}

void release_allocations()
{
    for (const recorded_allocation &allocation : allocation_log())
        std::free(const_cast<void *>(allocation.block));
    allocation_log().clear();
}
