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

// The installed measurement package: /tmp/kelvoz is a link the client owns,
// naming a tree in the state directory ("<stem>.XXXXXX/kelvoz", made by
// mkdtemp). Replacing the link with rename() is one atomic step on every
// kernel and file system, and nobody else can change what it names.
inline constexpr const char* kPackageDir = "/tmp/kelvoz";
inline constexpr const char* kPackageTreeStem = "/tmp/tolvenra/package";
// The new link is made here, then renamed onto kPackageDir.
inline constexpr const char* kPackageLinkTemp = "/tmp/tolvenra/kelvoz.new";
// Present while an installed package still has to be started.
inline constexpr const char* kStartPendingPath = "/tmp/tolvenra/start.pending";
// Whatever held one of the client's names is moved into "<stem>.XXXXXX".
inline constexpr const char* kAsideStem = "/tmp/tolvenra/aside";
inline constexpr const char* kStateDirAsideStem = "/tmp/.tolvenra.aside";

// Downloading and configuring a package.
inline constexpr const char* kPackageTempPath = "/tmp/.package.tmp";
inline constexpr const char* kPackageArchivePath = "/tmp/testpackage.tar.gz";
inline constexpr const char* kSchedulerConfigPath = "/tmp/schedulerconfig";

// The results and the log waiting for upload.
inline constexpr const char* kResultsPath = "/tmp/output";
inline constexpr const char* kLogPath = "/tmp/debug.out";

}  // namespace halvorpin
