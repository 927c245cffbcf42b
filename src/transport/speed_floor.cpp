#include "transport/speed_floor.h"

namespace halvorpin {

void SpeedFloor::advance_to(double now) {
  // Whole seconds since the start, in 32 bits: a unit has no 64-bit divide.
  const double elapsed = now - start_;
  const std::uint32_t second = elapsed <= 0 ? 0 : static_cast<std::uint32_t>(elapsed);
  if (second <= second_) return;
  // Seconds that passed without a byte empty their buckets; a gap longer
  // than the window empties them all.
  const std::uint32_t gap = second - second_;
  const std::uint32_t cleared = gap > kWindowSeconds ? kWindowSeconds + 1 : gap;
  for (std::uint32_t k = 1; k <= cleared; ++k) buckets_[(second_ + k) % (kWindowSeconds + 1)] = 0;
  second_ = second;
}

void SpeedFloor::add(double now, std::uint32_t bytes) {
  advance_to(now);
  std::uint32_t& bucket = buckets_[second_ % (kWindowSeconds + 1)];
  bucket = bytes > UINT32_MAX - bucket ? UINT32_MAX : bucket + bytes;
}

bool SpeedFloor::broken(double now) {
  advance_to(now);
  if (now - start_ < kWindowSeconds) return false;
  std::uint64_t sum = 0;
  for (std::uint32_t bytes : buckets_) sum += bytes;
  return sum < std::uint64_t{kBytesPerSecond} * kWindowSeconds;
}

}  // namespace halvorpin
