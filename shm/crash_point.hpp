// Crash points: a test-only build (FENNOWICK_CRASH_POINTS) ends the process
// with _exit at the k-th point reached after arm(k), the way a SIGKILL would
// end it there. A point follows every store to shared memory that an
// operation makes while it holds a lock (and the stores that publish or end
// one), so that a test can walk k over every instant at which a process can
// die inside an operation and check what survivors make of it. In every other
// build the points compile to nothing.
#pragma once

#include <cstdint>

namespace fennowick::crash_points {

inline constexpr int exit_code = 86;

#ifdef FENNOWICK_CRASH_POINTS
void reached() noexcept;
#endif
// Arm: end the process at the k-th point from now (0 disarms). Returns the
// number of points reached since the last arm.
void arm(std::uint64_t k) noexcept;
std::uint64_t count() noexcept;

}  // namespace fennowick::crash_points

#ifdef FENNOWICK_CRASH_POINTS
#define FENNOWICK_CRASH_POINT() ::fennowick::crash_points::reached()
#else
#define FENNOWICK_CRASH_POINT() ((void)0)
#endif
