#include "driver/outcomes.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/command_table.h"

namespace halvorpin {
namespace {

constexpr char kLetters[] = "avpsSlL";

// The table is total: every command ends every way with a status, and every
// failure says why in one line.
TEST(Outcomes, EveryCodeOfEveryCommandHasAnEndingAndEveryFailureAMessage) {
  for (const char* letter = kLetters; *letter != '\0'; ++letter) {
    ASSERT_NE(find_command(*letter), nullptr) << *letter;
    for (int c = 0; c <= static_cast<int>(Code::kLastCode); ++c) {
      const Ending* ending = ending_for(*letter, static_cast<Code>(c));
      ASSERT_NE(ending, nullptr) << *letter << " " << c;
      EXPECT_TRUE(ending->exit_status == 0 || ending->exit_status == 1);
      if (ending->exit_status == 1) {
        EXPECT_NE(ending->message, nullptr) << *letter << " " << c;
        EXPECT_EQ(ending->stream, Stream::kStderr) << *letter << " " << c;
        EXPECT_EQ(std::string(ending->message).back(), '\n') << *letter << " " << c;
      }
    }
  }
}

}  // namespace
}  // namespace halvorpin
