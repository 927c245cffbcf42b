// The one way a result travels up to main: a code saying what happened and,
// where a message needs it, a short reason (a host, a lock's path, a host and
// the status line it answered with). The driver's table turns (command, code) into the exit
// status and the message; nothing below it prints an ending or ends the run.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace halvorpin {

enum class Code {
  kOk,
  // Start-up and the unit's own files.
  kNoMac,
  kLockTimeout,
  kLockUnusable,
  kStateDirUnusable,
  kInputMissing,
  kInputNotPlain,
  kInputUnreadable,
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
  kPackageNotStored,
  kArchiveNotGzip,
  kArchiveNotTar,
  kPackageInvalid,
  kInstallFailed,
  // Uploads.
  kEncryptionFailed,
  kBatchRefused,
  kBatchUnusable,
  kLogRefused,
  kLogUnusable,
  kLastCode = kLogUnusable,  // for tables that must cover every code
};

class [[nodiscard]] Status {
 public:
  static constexpr std::size_t kReasonCapacity = 256;

  Status() = default;
  // The reason is cut to fit.
  explicit Status(Code code, std::string_view reason = {}) : code_(code) {
    std::size_t n = reason.size() < kReasonCapacity - 1 ? reason.size() : kReasonCapacity - 1;
    if (n > 0) std::memcpy(reason_, reason.data(), n);
    reason_[n] = '\0';
  }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const char* reason() const { return reason_; }

 private:
  Code code_ = Code::kOk;
  char reason_[kReasonCapacity] = {};
};

}  // namespace halvorpin
