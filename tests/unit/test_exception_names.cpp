// The exception codes a child's end is told by: the ones people meet have a
// name, and every other status keeps its number alone.
#include <gtest/gtest.h>

#include <string>

#include "rules/exception_names.h"

TEST(ExceptionNames, TheCodesPeopleMeetAreNamedAndOthersAreNot)
{
    struct row {
        uint32_t status;
        const char *name; // nullptr: told by its number alone
    } rows[] = {
        {0xC0000005u, "access violation"},
        {0xC00000FDu, "stack overflow"},
        {0xC0000374u, "heap corruption"},
        {0xC0000135u, "a DLL it needs was not found"},
        {0xC0000139u, "an entry point it imports was not found"},
        {0xC000013Au, "ended by Ctrl+C"},
        {0xC000001Du, "illegal instruction"},
        {0xC0000094u, "integer division by zero"},
        {0xC0000409u, "fast-fail abort"},
        // ordinary statuses, and codes that are not known, are numbers
        {0, nullptr},
        {1, nullptr},
        {3, nullptr},
        {0xFFFFFFFFu, nullptr},
        {0xC0001234u, nullptr},
        {0xE06D7363u, nullptr},
    };
    for (const row &row : rows) {
        const char *name = pf_exception_name(row.status);
        if (row.name)
            EXPECT_EQ(std::string(name ? name : "(none)"), row.name) << std::hex << row.status;
        else
            EXPECT_EQ(name, nullptr) << std::hex << row.status;
    }
}
