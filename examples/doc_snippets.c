/* The C examples of the README and of docs/library.md, each as it stands
   there, built and run with the other examples against the installed package
   (the doc_snippets test holds the texts to each other).

   Usage: doc_snippets NAME   (start, side_channel, capture) */
#include <stdio.h>
#include <string.h>

#include <procferry/parent.h>

/* README: the library in C. */
static void start(void)
{
    struct procferry_options options;
    struct procferry_result result;
    procferry_options_init(&options);
    options.program = L"cmd";
    const wchar_t *args[] = {L"/c", L"exit 3"};
    options.args = args;
    options.arg_count = 2;
    options.timeout_ms = 10000;
    if (procferry_start(&options, &result) == PROCFERRY_EXITED)
        printf("status %lu\n", (unsigned long)result.exit_status);
    else
        printf("%s\n", result.words);  /* why, in one line */
}

/* docs/library.md: a side channel as descriptor 3. */
static void side_channel(void)
{
    struct procferry_options options;
    struct procferry_result result;
    procferry_options_init(&options);
    options.program = L"cmd";
    procferry_handle side_read, side_write;
    procferry_pipe_make(&side_read, &side_write);
    struct procferry_stream extra[] = {{PROCFERRY_STREAM_HANDLE, 0, side_write}};
    options.extra_fds = extra;          /* the child writes its progress to descriptor 3 */
    options.extra_fd_count = 1;
    options.flags |= PROCFERRY_NO_WAIT;
    procferry_start(&options, &result);
    procferry_pipe_close(side_write);
    /* procferry_pipe_read(side_read, ...) until it returns 0 */
    procferry_pipe_close(side_read);
    if (result.child)
        procferry_child_close(result.child);
}

/* docs/library.md: a capture with input and environment changes. */
static void capture(void)
{
    const wchar_t *args[] = {L"/c", L"more"};
    const wchar_t *env[] = {L"GREETING=hello", L"TEMP"};   /* set one, unset one */
    struct procferry_options options;
    struct procferry_capture_options capture;
    struct procferry_capture_result run;
    procferry_options_init(&options);
    options.program = L"cmd";
    options.args = args;
    options.arg_count = 2;
    options.env = env;
    options.env_count = 2;
    options.timeout_ms = 10000;
    procferry_capture_options_init(&capture);
    capture.input = "b\r\na\r\n";
    capture.input_size = 6;
    char words[512];
    if (procferry_capture(&options, &capture, &run) == PROCFERRY_EXITED && run.result.exit_status == 0) {
        fwrite(run.out, 1, run.out_size, stdout);              /* "b\r\na\r\n" */
    } else {
        /* what happened ("cmd exited with status 1", "cmd: not found on PATH: ..."),
           then what the child itself said */
        procferry_describe(NULL, &run.result, words, sizeof words);
        printf("%s\n%.*s", words, (int)run.err_size, run.err ? run.err : "");
    }
    procferry_capture_free(&run);
}

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "";
    if (strcmp(name, "start") == 0)
        start();
    else if (strcmp(name, "side_channel") == 0)
        side_channel();
    else if (strcmp(name, "capture") == 0)
        capture();
    else {
        fprintf(stderr, "usage: doc_snippets start|side_channel|capture\n");
        return 2;
    }
    return 0;
}
