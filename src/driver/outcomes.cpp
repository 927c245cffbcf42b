#include "driver/outcomes.h"

#include <openssl/err.h>

#include <cstring>

namespace halvorpin {
namespace {

constexpr const char* kAll = "*";  // every command, and a letter the client does not know

// Rows are looked up in order: where some commands end otherwise (a refused
// download leaves -v and -p with status 0), their row comes first and the
// row for every command follows, so every command has a row for every code.
const Ending kEndings[] = {
    {kAll, Code::kOk, 0, Stream::kNone, false, false, nullptr},
    {kAll, Code::kOutOfMemory, 1, Stream::kStderr, false, false, "Out of memory\n"},

    // Start-up and the unit's own files.
    {kAll, Code::kNoMac, 1, Stream::kStderr, false, false, "%sUnable to get MAC\n"},
    {kAll, Code::kLockTimeout, 1, Stream::kStderr, false, false,
     "Another run holds %s; gave up after 30 seconds\n"},
    {kAll, Code::kLockUnusable, 1, Stream::kStderr, false, false, "Unable to lock %s\n"},
    {kAll, Code::kStateDirUnusable, 1, Stream::kStderr, false, false,
     "Unable to make the state directory %s\n"},
    {kAll, Code::kInputMissing, 1, Stream::kStderr, false, false, "Nothing to upload: no %s\n"},
    {kAll, Code::kInputNotPlain, 1, Stream::kStderr, false, false,
     "Not uploading %s: not a regular file with a single link\n"},
    {kAll, Code::kUnreadable, 1, Stream::kStderr, false, false, "Unable to read %s\n"},

    // Connections: the messages of a unit's log since its first release.
    {kAll, Code::kCaUnreadable, 1, Stream::kStderr, true, false, "Ca\xE2\x80\x99t read CA list\n"},
    {kAll, Code::kResolveFailed, 1, Stream::kStderr, true, false, "Couldn't resolve host\n"},
    {kAll, Code::kSocketFailed, 1, Stream::kStderr, false, false, "Couldn't create socket\n"},
    {kAll, Code::kConnectFailed, 1, Stream::kStderr, false, false,
     "Error establishing connection\n"},
    {kAll, Code::kConnectTimeout, 1, Stream::kStderr, false, false,
     "TCP connection Timeout or error()\n"},
    {kAll, Code::kHandshakeFailed, 1, Stream::kStderr, false, false,
     "Unable to create HttpSocket\n"},
    {kAll, Code::kCertNotVerified, 1, Stream::kStderr, true, true, "Certificate doesn't verify\n"},
    {kAll, Code::kNameMismatch, 1, Stream::kStderr, false, false,
     "Common name doesn't match host name\n"},

    // Enrollment. A refusal names the host and the status line it answered
    // with, so an operator can tell a proxy's refusal from the server's.
    {kAll, Code::kNoRandomness, 1, Stream::kStderr, false, false,
     "No key made: the random generator has no seed from the system\n"},
    {kAll, Code::kKeysNotStored, 1, Stream::kStderr, false, false,
     "Unable to store the unit's keys and identifier\n"},
    {kAll, Code::kEnrollmentRefused, 1, Stream::kStderr, false, false,
     "Enrollment refused by %s\n"},
    {kAll, Code::kEnrollmentUnusable, 1, Stream::kStderr, false, false,
     "Unusable enrollment reply from %s\n"},
    {kAll, Code::kConfirmationRefused, 1, Stream::kStderr, false, false,
     "Enrollment confirmation refused by %s\n"},
    {kAll, Code::kConfirmationUnusable, 1, Stream::kStderr, false, false,
     "Unusable confirmation reply from %s\n"},
    {"v", Code::kNotEnrolled, 0, Stream::kStdout, false, false,
     "Unable to load keys and/or unit id"},
    {"psSlL", Code::kNotEnrolled, 0, Stream::kNone, false, false, nullptr},
    {kAll, Code::kNotEnrolled, 1, Stream::kStderr, false, false,
     "Unable to load keys and/or unit id\n"},

    // Updates: -v keeps its old package when the server or the host says no.
    {"v", Code::kVersionRefused, 0, Stream::kStderr, false, false, "Version query refused by %s\n"},
    {kAll, Code::kVersionRefused, 1, Stream::kStderr, false, false,
     "Version query refused by %s\n"},
    {"v", Code::kVersionUnusable, 0, Stream::kStderr, false, false,
     "Unusable version reply from %s\n"},
    {kAll, Code::kVersionUnusable, 1, Stream::kStderr, false, false,
     "Unusable version reply from %s\n"},
    {"vp", Code::kLocatorUnusable, 0, Stream::kStderr, false, false,
     "Unusable package locator in the version reply\n"},
    {kAll, Code::kLocatorUnusable, 1, Stream::kStderr, false, false,
     "Unusable package locator in the version reply\n"},
    {"vp", Code::kDownloadRefused, 0, Stream::kStderr, false, false,
     "Package download refused by %s\n"},
    {kAll, Code::kDownloadRefused, 1, Stream::kStderr, false, false,
     "Package download refused by %s\n"},
    {"p", Code::kPackageReplyUnusable, 0, Stream::kStderr, false, false,
     "Unusable package reply from %s\n"},
    {kAll, Code::kPackageReplyUnusable, 1, Stream::kStderr, false, false,
     "Unusable package reply from %s\n"},
    {"p", Code::kDownloadCutShort, 0, Stream::kStderr, false, false,
     "Package download from %s broke off\n"},
    {kAll, Code::kDownloadCutShort, 1, Stream::kStderr, false, false,
     "Package download from %s broke off\n"},
    {"p", Code::kPackageKeysUnusable, 0, Stream::kStderr, false, false,
     "Unusable package keys in %s\n"},
    {kAll, Code::kPackageKeysUnusable, 1, Stream::kStderr, false, false,
     "Unusable package keys in %s\n"},
    {"p", Code::kSignatureMissing, 0, Stream::kStderr, false, false,
     "Package signature missing: %s\n"},
    {kAll, Code::kSignatureMissing, 1, Stream::kStderr, false, false,
     "Package signature missing: %s\n"},
    {"p", Code::kSignatureBad, 0, Stream::kStderr, false, false,
     "Package signature does not verify: %s\n"},
    {kAll, Code::kSignatureBad, 1, Stream::kStderr, false, false,
     "Package signature does not verify: %s\n"},
    {kAll, Code::kPackageNotStored, 1, Stream::kStderr, false, false,
     "Unable to store the package in %s\n"},
    {kAll, Code::kArchiveNotGzip, 1, Stream::kStderr, false, false,
     "The package archive does not decompress\n"},
    {kAll, Code::kArchiveNotTar, 1, Stream::kStderr, false, false,
     "The package archive does not unpack\n"},
    {kAll, Code::kPackageInvalid, 1, Stream::kStderr, false, false, "Package refused: %s\n"},
    {kAll, Code::kToolFailed, 1, Stream::kStderr, false, false, "Unable to run %s\n"},
    {kAll, Code::kInstallFailed, 1, Stream::kStderr, false, false,
     "Package not installed: %s could not be put in place\n"},
    // Installed, and recorded as due: a later run starts it.
    {kAll, Code::kStartFailed, 1, Stream::kStderr, false, false,
     "Unable to start /tmp/kelvoz/runonce.sh: %s; the next run starts it\n"},

    // Uploads.
    {kAll, Code::kEncryptionFailed, 1, Stream::kStderr, false, false,
     "Unable to encrypt %s for the server\n"},
    {kAll, Code::kBatchRefused, 1, Stream::kStderr, false, false,
     "A results batch was refused by %s; /tmp/output stays\n"},
    {kAll, Code::kBatchUnusable, 1, Stream::kStderr, false, false,
     "Unusable reply to a results batch from %s; /tmp/output stays\n"},
    {kAll, Code::kLogRefused, 1, Stream::kStderr, false, false,
     "The log was refused by %s; /tmp/debug.out stays\n"},
    {kAll, Code::kLogUnusable, 1, Stream::kStderr, false, false,
     "Unusable reply to the log from %s; /tmp/debug.out stays\n"},
    {kAll, Code::kHandBackUnfinished, 1, Stream::kStderr, false, false,
     "Unable to finish the hand-back of %s; the next upload does\n"},
};

}  // namespace

const Ending* ending_for(char letter, Code code) {
  for (const Ending& ending : kEndings) {
    if (ending.code == code &&
        (std::strcmp(ending.commands, kAll) == 0 ||
         (letter != '\0' && std::strchr(ending.commands, letter) != nullptr))) {
      return &ending;
    }
  }
  return nullptr;
}

int report(char letter, const Status& status) {
  const Ending* ending = ending_for(letter, status.code());
  if (ending == nullptr) {
    std::fputs("Internal error\n", stderr);  // a code without a row: a fault of the client's
    return 1;
  }
  FILE* out = ending->stream == Stream::kStdout ? stdout : stderr;
  if (ending->message != nullptr && ending->stream != Stream::kNone) {
    // A format with one %s at most, taken from the table above.
    std::fprintf(out, ending->message,
                 status.reason());  // NOLINT(clang-diagnostic-format-nonliteral)
  }
  if (ending->library_errors) ERR_print_errors_fp(stderr);
  if (ending->reason_line && status.reason()[0] != '\0') {
    std::fprintf(stderr, "%s\n", status.reason());
  }
  return ending->exit_status;
}

}  // namespace halvorpin
