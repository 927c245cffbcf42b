// Seconds on the monotonic clock, for deadlines that wall-clock changes must
// not stretch or cut.
#pragma once

#include <ctime>

namespace halvorpin {

inline double monotonic_seconds() {
  timespec now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace halvorpin
