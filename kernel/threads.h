// Work of one call split over threads, where it is large enough to pay.
//
// Only independent work is split (columns, rows, whole passes), never one
// sum, so results do not depend on the thread count. Threads are started
// for the call and joined before it returns: nothing outlives a call, so
// unloading a plug-in stays safe. No thread but the caller's calls the host.
// Each thread that computes sets the module's floating-point state itself.
//
// How many: the processors this process may run on (its affinity mask where
// the system has one), at most OMP_NUM_THREADS where that is set (the
// convention numerical libraries share: MATLAB users set it to 1 in
// parallel pool workers).
#ifndef ZEB_KERNEL_THREADS_H
#define ZEB_KERNEL_THREADS_H

#include <cstdint>

namespace threads {

// The threads a call may use (at least 1). Asks the system: call it only
// for work above a threshold, never for a small call.
int available();

// The threads for `work` units when `threshold` units pay for a thread: at
// most available(), at most work / threshold, at most `parts` (the pieces
// the work splits into); 1 (and no system query) below the threshold.
int forWork(std::int64_t work, std::int64_t threshold, std::int64_t parts);

// Runs task(arg, k) for k = 0 .. count - 1: k = 0 on the calling thread,
// the others each on a thread of its own, all joined before it returns.
// Where a thread cannot be started its part runs on the calling thread.
void run(int count, void (*task)(void *arg, int k), void *arg);

// Tests only: the thread count forWork gives (0: as the system says) and
// the threshold it applies (0: the caller's).
void force(int count, std::int64_t threshold);

} // namespace threads

#endif
