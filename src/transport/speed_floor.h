// How slow a body may arrive: on average at least `bytes_per_second` over
// any `window_seconds`, counted from when it began (as curl's
// --speed-limit and --speed-time), so a peer that sends a little now and
// then cannot hold a run for hours. Time is whole seconds since the start:
// the window looked at spans between `window_seconds` and one second more.
#pragma once

#include <array>
#include <cstdint>

namespace halvorpin {

class SpeedFloor {
 public:
  static constexpr unsigned kWindowSeconds = 60;
  static constexpr std::uint32_t kBytesPerSecond = 1024;

  // Starts counting at `start` (seconds on any clock).
  void start(double start) {
    start_ = start;
    started_ = true;
  }
  bool started() const { return started_; }

  // Counts `bytes` that arrived at `now` (same clock as the start).
  void add(double now, std::uint32_t bytes);
  // True once a whole window has passed and the last one carried less than
  // the floor.
  bool broken(double now);

 private:
  void advance_to(double now);

  double start_ = 0;
  bool started_ = false;
  std::uint32_t second_ = 0;  // the bucket of the latest time seen
  std::array<std::uint32_t, kWindowSeconds + 1> buckets_{};
};

}  // namespace halvorpin
