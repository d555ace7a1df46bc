// Routines shared between the relay's stages. A stage that fails returns -1
// (or null) with errno set; relay_main alone turns that into the record.
#ifndef PROCFERRY_RELAY_INTERNAL_H
#define PROCFERRY_RELAY_INTERNAL_H

#include "relay.h"
#include "settings.h"

// The child's command (child_command.cpp).
wchar_t *quote_child_argument(const wchar_t *argument);
wchar_t **build_child_argv(wchar_t **first_argument);
long child_command_length(wchar_t **child_argv);
// The interpreter's vector that runs script with args exactly, or null with
// errno EINVAL (cannot be made safe) or E2BIG.
wchar_t **build_batch_argv(const wchar_t *interpreter, const wchar_t *script, wchar_t **args);

// Finding the program (find_program.cpp). found has PF_PROGRAM_PATH_CAPACITY
// units.
int find_program(const wchar_t *program, bool search, wchar_t *found);

// Channels, launch and record (launch.cpp).
void send_record(int report_fd, int32_t code, int32_t value);
int make_private_fd(int fd, int access);
int launch_child(bool wait, const wchar_t *program, wchar_t **child_argv, int32_t *value);

// Child set-up (child_setup.cpp).
int keep_channel_off_standard_streams(int channel_fd);
int settle_stream_settings(struct relay_settings *settings);
int apply_stream_setting(struct stream_setting setting, int target, int null_access);
void close_stream_sources(const int *sources, int count);
int apply_work_dir(const wchar_t *work_dir);
void close_inherited_fds(int report_fd, int sync_fd);

#endif
