// Routines shared between the relay's stages.
#ifndef PROCFERRY_RELAY_INTERNAL_H
#define PROCFERRY_RELAY_INTERNAL_H

#include "relay.h"
#include "settings.h"

// Quoting (quote.cpp).
wchar_t *quote_child_argument(const wchar_t *argument);
wchar_t **build_child_argv(wchar_t **first_argument);
long child_command_length(wchar_t **child_argv);

// Finding the program (find_program.cpp). found has RT_PROGRAM_PATH_CAPACITY
// units; 0, or -1 with errno set.
int find_program(const wchar_t *program, bool search, wchar_t *found);
bool is_batch_file(const wchar_t *path);

// Batch files (batch_command.cpp): the interpreter's vector that runs script
// with args exactly, or null with errno EINVAL (cannot be made safe) or E2BIG.
wchar_t **build_batch_argv(const wchar_t *interpreter, const wchar_t *script, wchar_t **args);

// Launch and report (launch.cpp).
[[noreturn]] void report_failure_and_exit(int fd, int code);
int make_private_fd(int fd, int access);
int launch_and_report(int report_fd, int sync_fd, bool wait, const wchar_t *program,
                      wchar_t **child_argv);

// Child set-up (child_setup.cpp).
int keep_channel_off_standard_streams(int channel_fd);
void settle_stream_settings(struct relay_settings *settings);
int apply_stream_setting(struct stream_setting setting, int target, int null_access);
void close_stream_sources(const int *sources, int count);
void apply_work_dir(const wchar_t *work_dir, int report_fd);
void close_inherited_fds(int report_fd, int sync_fd);

#endif
