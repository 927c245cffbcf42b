#include "transport/speed_floor.h"

#include <cmath>

namespace halvorpin {

void SpeedFloor::advance_to(double now) {
  const auto second = static_cast<std::int64_t>(std::floor(now - start_));
  if (second <= second_) return;
  // Seconds that passed without a byte empty their buckets; a gap longer
  // than the window empties them all.
  const std::int64_t gap = second - second_;
  const std::int64_t cleared = gap > kWindowSeconds ? kWindowSeconds + 1 : gap;
  for (std::int64_t k = 1; k <= cleared; ++k) {
    buckets_[static_cast<std::size_t>((second_ + k) % (kWindowSeconds + 1))] = 0;
  }
  second_ = second;
}

void SpeedFloor::add(double now, std::uint64_t bytes) {
  advance_to(now);
  buckets_[static_cast<std::size_t>(second_ % (kWindowSeconds + 1))] += bytes;
}

bool SpeedFloor::broken(double now) {
  advance_to(now);
  if (now - start_ < kWindowSeconds) return false;
  std::uint64_t sum = 0;
  for (std::uint64_t bytes : buckets_) sum += bytes;
  return sum < kBytesPerSecond * kWindowSeconds;
}

}  // namespace halvorpin
