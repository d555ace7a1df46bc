// Running a program to its end with its output in memory.
#include <stdlib.h>
#include <string.h>

#include "parent_internal.h"

void procferry_capture_options_init(struct procferry_capture_options *capture)
{
    memset(capture, 0, sizeof *capture);
    capture->size = sizeof *capture;
    capture->stdout_cap = capture->stderr_cap = (size_t)64 << 20;
}

int procferry_capture(const struct procferry_options *, const struct procferry_capture_options *,
                      struct procferry_capture_result *result)
{
    memset(result, 0, sizeof *result);
    result->result.kind = PROCFERRY_SYSTEM_ERROR;
    return result->result.kind;
}

void procferry_capture_free(struct procferry_capture_result *result)
{
    free(result->out);
    free(result->err);
    result->out = result->err = nullptr;
    result->out_size = result->err_size = 0;
}
