// The one way a result travels up to main: a code saying what happened and,
// where a message needs it, a short reason (a host, a lock's path, a host and
// the status line it answered with). The driver's table turns (command, code) into the exit
// status and the message; nothing below it prints an ending or ends the run.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace halvorpin {

enum class Code {
  kOk,
  kOutOfMemory,
  // Start-up and the unit's own files.
  kNoMac,
  kLockTimeout,
  kLockUnusable,
  kStateDirUnusable,
  kInputMissing,
  kInputNotPlain,
  kUnreadable,
  // Connections.
  kCaUnreadable,
  kResolveFailed,
  kSocketFailed,
  kConnectFailed,
  kConnectTimeout,
  kHandshakeFailed,
  kCertNotVerified,
  kNameMismatch,
  // Enrollment.
  kNoRandomness,
  kKeysNotStored,
  kEnrollmentRefused,
  kEnrollmentUnusable,
  kConfirmationRefused,
  kConfirmationUnusable,
  kNotEnrolled,
  // Updates.
  kVersionRefused,
  kVersionUnusable,
  kLocatorUnusable,
  kDownloadRefused,
  kPackageReplyUnusable,
  kDownloadCutShort,
  kPackageKeysUnusable,
  kSignatureMissing,
  kSignatureBad,
  kPackageNotStored,
  kArchiveNotGzip,
  kArchiveNotTar,
  kPackageInvalid,
  kToolFailed,
  kInstallFailed,
  kStartFailed,
  // Uploads.
  kEncryptionFailed,
  kBatchRefused,
  kBatchUnusable,
  kLogRefused,
  kLogUnusable,
  kHandBackUnfinished,
  kLastCode = kHandBackUnfinished,  // for tables that must cover every code
};

class [[nodiscard]] Status {
 public:
  static constexpr std::size_t kReasonCapacity = 256;

  Status() = default;
  // The reason is cut to fit.
  explicit Status(Code code, std::string_view reason = {}) : code_(code) { append(reason); }
  // A reason of two parts, "<subject>: <detail>" (a host and what it said).
  Status(Code code, std::string_view subject, std::string_view detail) : code_(code) {
    append(subject);
    append(": ");
    append(detail);
  }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const char* reason() const { return reason_; }

 private:
  void append(std::string_view piece) {
    const std::size_t room = kReasonCapacity - 1 - length_;
    const std::size_t n = piece.size() < room ? piece.size() : room;
    if (n > 0) std::memcpy(reason_ + length_, piece.data(), n);
    length_ += n;
    reason_[length_] = '\0';
  }

  Code code_ = Code::kOk;
  std::size_t length_ = 0;
  char reason_[kReasonCapacity] = {};
};

// A local call just failed: kOutOfMemory when it found no memory, `code`
// otherwise. Call it before anything else can change errno.
inline Status local_failure(Code code, std::string_view reason = {}) {
  return Status(errno == ENOMEM ? Code::kOutOfMemory : code, reason);
}

}  // namespace halvorpin
