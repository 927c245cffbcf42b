#include "driver/outcomes.h"

#include <openssl/err.h>

#include <cstring>

namespace halvorpin {
namespace {

constexpr const char* kAll = "*";  // every command, and a letter the client does not know
constexpr const char* kUpdates = "avp";
constexpr const char* kUploads = "sSlL";

const Ending kEndings[] = {
    {kAll, Code::kOk, 0, Stream::kNone, nullptr, false, false},

    // Start-up and the unit's own files.
    {kAll, Code::kNoMac, 1, Stream::kStderr, "%sUnable to get MAC\n", false, false},
    {kAll, Code::kLockTimeout, 1, Stream::kStderr,
     "Another run holds %s; gave up after 30 seconds\n", false, false},
    {kAll, Code::kLockUnusable, 1, Stream::kStderr, "Unable to lock %s\n", false, false},
    {kAll, Code::kStateDirUnusable, 1, Stream::kStderr, "Unable to make the state directory %s\n",
     false, false},
    {kUploads, Code::kInputMissing, 1, Stream::kStderr, "Nothing to upload: no %s\n", false, false},
    {kUploads, Code::kInputNotPlain, 1, Stream::kStderr,
     "Not uploading %s: not a regular file with a single link\n", false, false},
    {kUploads, Code::kInputUnreadable, 1, Stream::kStderr, "Unable to read %s\n", false, false},

    // Connections: the messages of a unit's log since its first release.
    {kAll, Code::kCaUnreadable, 1, Stream::kStderr, "Ca\xE2\x80\x99t read CA list\n", true, false},
    {kAll, Code::kResolveFailed, 1, Stream::kStderr, "Couldn't resolve host\n", true, false},
    {kAll, Code::kSocketFailed, 1, Stream::kStderr, "Couldn't create socket\n", false, false},
    {kAll, Code::kConnectFailed, 1, Stream::kStderr, "Error establishing connection\n", false,
     false},
    {kAll, Code::kConnectTimeout, 1, Stream::kStderr, "TCP connection Timeout or error()\n", false,
     false},
    {kAll, Code::kHandshakeFailed, 1, Stream::kStderr, "Unable to create HttpSocket\n", false,
     false},
    {kAll, Code::kCertNotVerified, 1, Stream::kStderr, "Certificate doesn't verify\n", true, true},
    {kAll, Code::kNameMismatch, 1, Stream::kStderr, "Common name doesn't match host name\n", false,
     false},

    // Enrollment.
    {"a", Code::kNoRandomness, 1, Stream::kStderr,
     "No key made: the random generator has no seed from the system\n", false, false},
    {"a", Code::kKeysNotStored, 1, Stream::kStderr,
     "Unable to store the unit's keys and identifier\n", false, false},
    {"a", Code::kEnrollmentRefused, 1, Stream::kStderr, "Enrollment refused by the server\n", false,
     false},
    {"a", Code::kEnrollmentUnusable, 1, Stream::kStderr, "Unusable enrollment reply: %s\n", false,
     false},
    {"a", Code::kConfirmationRefused, 1, Stream::kStderr,
     "Enrollment confirmation refused by the server\n", false, false},
    {"a", Code::kNotEnrolled, 1, Stream::kStderr, "Unable to load keys and/or unit id\n", false,
     false},
    {"v", Code::kNotEnrolled, 0, Stream::kStdout, "Unable to load keys and/or unit id", false,
     false},
    {"psSlL", Code::kNotEnrolled, 0, Stream::kNone, nullptr, false, false},

    // Updates.
    {"a", Code::kNoVersion, 1, Stream::kStderr, "No version reply from the server\n", false, false},
    {"v", Code::kNoVersion, 0, Stream::kNone, nullptr, false, false},
    {"a", Code::kLocatorUnusable, 1, Stream::kStderr,
     "Unusable package locator in the version reply\n", false, false},
    {"vp", Code::kLocatorUnusable, 0, Stream::kStderr,
     "Unusable package locator in the version reply\n", false, false},
    {"a", Code::kDownloadRefused, 1, Stream::kStderr, "Package download refused by %s\n", false,
     false},
    {"vp", Code::kDownloadRefused, 0, Stream::kStderr, "Package download refused by %s\n", false,
     false},
    {"av", Code::kDownloadCutShort, 1, Stream::kStderr, "Package download from %s broke off\n",
     false, false},
    {"p", Code::kDownloadCutShort, 0, Stream::kStderr, "Package download from %s broke off\n",
     false, false},
    {"av", Code::kPackageNotStored, 1, Stream::kStderr, "Unable to store the package in %s\n",
     false, false},
    {"p", Code::kPackageNotStored, 0, Stream::kStderr, "Unable to store the package in %s\n", false,
     false},
    {kUpdates, Code::kArchiveNotGzip, 1, Stream::kStderr,
     "The package archive does not decompress\n", false, false},
    {kUpdates, Code::kArchiveNotTar, 1, Stream::kStderr, "The package archive does not unpack\n",
     false, false},
    {kUpdates, Code::kPackageInvalid, 1, Stream::kStderr, "Package refused: %s\n", false, false},
    {kUpdates, Code::kInstallFailed, 1, Stream::kStderr,
     "Package not installed: %s could not be put in place\n", false, false},

    // Uploads.
    {kUploads, Code::kEncryptionFailed, 1, Stream::kStderr, "Unable to encrypt %s for the server\n",
     false, false},
    {"sS", Code::kBatchRefused, 1, Stream::kStderr,
     "A results batch was not accepted; /tmp/output stays\n", false, false},
    {"lL", Code::kLogRefused, 1, Stream::kStderr,
     "The log was not accepted; /tmp/debug.out stays\n", false, false},
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
