// How long the tests wait for wine, in one place. Each limit is written as a
// native host needs it; where wine runs several times slower, every limit is
// widened by the same factor, so that a slow host changes no verdict.
#ifndef PROCFERRY_WAIT_LIMITS_H
#define PROCFERRY_WAIT_LIMITS_H

namespace parent {

// Whether the slow host's limits apply: to a 32-bit test program that the
// user-mode emulator runs (the scripts say so with PROCFERRY_I386_EMULATED=1),
// or to one run with PROCFERRY_EMULATED_LIMITS=1, which tries the emulated
// run's limits on a host that runs 32-bit programs itself.
bool emulated_limits();

// How much wider each limit is then: a process start, a window's first
// appearance and its close each cost several times their native time.
enum { EMULATED_WAIT_FACTOR = 4 };

// A limit of native_ms on this host.
int wait_limit_ms(int native_ms);

} // namespace parent

#endif
