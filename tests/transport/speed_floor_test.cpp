#include "transport/speed_floor.h"

#include <gtest/gtest.h>

namespace halvorpin {
namespace {

// Bytes arrive as (from second, to second, bytes per second); the floor must
// break first at `breaks_at` (whole seconds after the start), or never
// within the 200 seconds looked at (0).
struct Pace {
  int from;
  int to;
  std::uint32_t per_second;
};

int first_break(std::initializer_list<Pace> paces) {
  SpeedFloor floor;
  floor.start(1000.0);
  for (int second = 0; second < 200; ++second) {
    for (const Pace& pace : paces) {
      if (second >= pace.from && second < pace.to)
        floor.add(1000.0 + second + 0.5, pace.per_second);
    }
    if (floor.broken(1000.0 + second + 0.9)) return second;
  }
  return 0;
}

TEST(SpeedFloor, ABodyMustAverageAKibibyteASecondOverAnyMinute) {
  // Steady at the floor: never broken.
  EXPECT_EQ(first_break({{0, 200, 1024}}), 0);
  // A fast start buys nothing later: the window moves on. 100 B/s after a
  // megabyte breaks once the megabyte left the window.
  EXPECT_EQ(first_break({{0, 1, 1 << 20}, {1, 200, 100}}), 61);
  // Nothing in the first minute: broken as soon as a whole minute passed.
  EXPECT_EQ(first_break({{70, 200, 1 << 20}}), 60);
  // Bursts every half minute carry the average.
  EXPECT_EQ(first_break({{0, 1, 40000},
                         {30, 31, 40000},
                         {60, 61, 40000},
                         {90, 91, 40000},
                         {120, 121, 40000},
                         {150, 151, 40000},
                         {180, 181, 40000}}),
            0);
  // Four times the floor for 100 s, then silence: broken once the last
  // minute carried less than 60 KiB, 46 s into the silence.
  EXPECT_EQ(first_break({{0, 100, 4096}}), 146);
}

}  // namespace
}  // namespace halvorpin
