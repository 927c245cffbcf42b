#include "driver/outcomes.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/command_table.h"

namespace halvorpin {
namespace {

constexpr char kLetters[] = "avpsSlL";

// Every command ends every way with a status, and every failure says why.
TEST(Outcomes, EveryCodeOfEveryCommandHasAnEndingAndEveryFailureAMessage) {
  for (const char* letter = kLetters; *letter != '\0'; ++letter) {
    ASSERT_NE(find_command(*letter), nullptr) << *letter;
    for (int c = 0; c <= static_cast<int>(Code::kLogRefused); ++c) {
      const Ending* ending = ending_for(*letter, static_cast<Code>(c));
      if (ending == nullptr) continue;  // a code this command never meets
      EXPECT_TRUE(ending->exit_status == 0 || ending->exit_status == 1);
      if (ending->exit_status == 1) {
        EXPECT_NE(ending->message, nullptr) << *letter << " " << c;
        EXPECT_EQ(ending->stream, Stream::kStderr) << *letter << " " << c;
        EXPECT_EQ(std::string(ending->message).back(), '\n') << *letter << " " << c;
      }
    }
  }
}

// What each flow can return has its row: what the commands meet.
TEST(Outcomes, StatusesOfTheCommands) {
  struct Case {
    char letter;
    Code code;
    int status;
  };
  for (Case c : {Case{'a', Code::kOk, 0}, Case{'v', Code::kNotEnrolled, 0},
                 Case{'a', Code::kNotEnrolled, 1}, Case{'s', Code::kNotEnrolled, 0},
                 Case{'v', Code::kNoVersion, 0}, Case{'a', Code::kNoVersion, 1},
                 Case{'v', Code::kDownloadRefused, 0}, Case{'a', Code::kDownloadRefused, 1},
                 Case{'p', Code::kDownloadRefused, 0}, Case{'v', Code::kDownloadCutShort, 1},
                 Case{'p', Code::kDownloadCutShort, 0}, Case{'v', Code::kArchiveNotGzip, 1},
                 Case{'L', Code::kLogRefused, 1}, Case{'S', Code::kBatchRefused, 1},
                 Case{'x', Code::kNoMac, 1}, Case{'l', Code::kInputMissing, 1}}) {
    const Ending* ending = ending_for(c.letter, c.code);
    ASSERT_NE(ending, nullptr) << c.letter;
    EXPECT_EQ(ending->exit_status, c.status) << c.letter << " " << static_cast<int>(c.code);
  }
}

}  // namespace
}  // namespace halvorpin
