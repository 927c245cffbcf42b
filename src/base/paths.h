// The client's fixed paths. A unit has no configuration file: its trust,
// its state, its package and what it uploads are always found here.
#pragma once

namespace halvorpin {

// The only trusted certificate authorities (PEM).
inline constexpr const char* kCaBundlePath = "/etc/ca-bundle.crt";

// The state directory: the unit's keys, identifier and installed version,
// kept between runs.
inline constexpr const char* kStateDir = "/tmp/tolvenra";
inline constexpr const char* kUnitPublicKeyPath = "/tmp/tolvenra/unitpublickey";
inline constexpr const char* kUnitPrivateKeyPath = "/tmp/tolvenra/unitprivatekey";
inline constexpr const char* kServerKeyPath = "/tmp/tolvenra/zorpublickey";
inline constexpr const char* kUnitIdPath = "/tmp/tolvenra/unitid";
inline constexpr const char* kVersionPath = "/tmp/tolvenra/version";
// Locks that make overlapping runs take turns.
inline constexpr const char* kUpdateLockPath = "/tmp/tolvenra/update.lock";
inline constexpr const char* kResultsLockPath = "/tmp/tolvenra/output.lock";
inline constexpr const char* kLogLockPath = "/tmp/tolvenra/debug.out.lock";

// The installed measurement package, and the work paths of downloading,
// unpacking and swapping in a new one.
inline constexpr const char* kPackageDir = "/tmp/kelvoz";
inline constexpr const char* kPackageTempPath = "/tmp/.package.tmp";
// Staging directories are "<stem>.XXXXXX", made by mkdtemp.
inline constexpr const char* kStagingDirStem = "/tmp/.kelvoz";
inline constexpr const char* kPackageArchivePath = "/tmp/testpackage.tar.gz";
inline constexpr const char* kSchedulerConfigPath = "/tmp/schedulerconfig";

// The results and the log waiting for upload.
inline constexpr const char* kResultsPath = "/tmp/output";
inline constexpr const char* kLogPath = "/tmp/debug.out";

}  // namespace halvorpin
