// Shaping the relay's own process into what the child is to inherit: its
// standard streams, its current directory and its descriptors.
#include <errno.h>

#include "relay_internal.h"
#include "runtime.h"

// A parent without a console may hand over a channel as descriptor 0, 1 or 2.
// Redirecting that stream would overwrite the channel, so the channel moves
// to a descriptor of 3 or more first. Its old number is closed: the channel
// must not reach the child as a standard stream either. Returns the channel's
// descriptor from now on.
int keep_channel_off_standard_streams(int channel_fd)
{
    if (channel_fd < 0 || channel_fd > 2)
        return channel_fd;
    int low_copies[3];
    int low_count = 0;
    int moved = rt_dup(channel_fd);
    // The runtime hands out the lowest free number, which may be another
    // standard stream that is not open; hold those until a higher one comes.
    while (moved >= 0 && moved <= 2 && low_count < 3) {
        low_copies[low_count++] = moved;
        moved = rt_dup(channel_fd);
    }
    while (low_count > 0)
        rt_close(low_copies[--low_count]);
    if (moved < 3)
        return channel_fd; // cannot move it; making it private will tell
    rt_close(channel_fd);
    return moved;
}

// A stream naming a channel would give the child the parent's end of the
// protocol, and the parent would read the child's output as the record: such
// a line is refused (-1, EINVAL) before anything changes. A stream naming a descriptor
// that is not open is left as inherited; that is settled now, while the
// channels still stand where the parent put them, so that a channel moved
// onto that number later is not taken for the stream.
int settle_stream_settings(struct relay_settings *settings)
{
    for (int target = 0; target < 3; ++target) {
        struct stream_setting *setting = &settings->streams[target];
        if (setting->kind != STREAM_FD)
            continue;
        if (setting->fd == settings->report_fd || setting->fd == settings->sync_fd) {
            rt_set_errno(EINVAL);
            return -1;
        }
        if (!rt_fd_is_open(setting->fd))
            setting->kind = STREAM_INHERIT;
    }
    return 0;
}

// Points target at the stream the setting names. Returns a parent-named
// descriptor that the caller closes once every stream is set, or -1. Sources
// are not closed here: stderr may name the same source as stdout ("5 = 1"
// or both to one pipe), and a standard stream named as a source stays open.
int apply_stream_setting(struct stream_setting setting, int target, int null_access)
{
    if (setting.kind == STREAM_INHERIT)
        return -1;
    if (setting.kind == STREAM_NULL) {
        int null_fd = rt_open_null(null_access);
        if (null_fd >= 0 && null_fd != target) {
            rt_dup2(null_fd, target);
            rt_close(null_fd);
        }
        return -1;
    }
    int source = setting.fd;
    if (source == target)
        return -1;
    // A failed duplication (source not open, negative, too large) leaves the
    // target as inherited.
    if (rt_dup2(source, target) != 0)
        return -1;
    if (source <= 2)
        return -1;
    return source;
}

void close_stream_sources(const int *sources, int count)
{
    for (int i = 0; i < count; ++i) {
        if (sources[i] < 0)
            continue;
        bool closed_already = false;
        for (int j = 0; j < i; ++j)
            closed_already = closed_already || sources[j] == sources[i];
        if (!closed_already)
            rt_close(sources[i]);
    }
}

int apply_work_dir(const wchar_t *work_dir)
{
    // The wide view may be too short to hold the directory.
    if (!work_dir) {
        rt_set_errno(EINVAL);
        return -1;
    }
    return rt_change_dir(work_dir) < 0 ? -1 : 0;
}

void close_inherited_fds(int report_fd, int sync_fd)
{
    for (int fd = RELAY_FIRST_CLOSED_FD; fd <= RELAY_LAST_CLOSED_FD; ++fd)
        if (fd != report_fd && fd != sync_fd)
            rt_close(fd);
}
