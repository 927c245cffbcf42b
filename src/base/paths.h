// The client's fixed paths. A unit has no configuration file: its trust,
// its state, its package and what it uploads are always found here.
#pragma once

namespace halvorpin {

// The only trusted certificate authorities (PEM).
inline constexpr const char* kCaBundlePath = "/etc/ca-bundle.crt";
// The operator's package keys: when present, every package must be signed.
inline constexpr const char* kPackageKeysPath = "/etc/package-keys.pem";

// The state directory: the unit's keys, identifier and installed version,
// kept between runs, and the client's work files: only root can make or
// change a name in it.
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
// Held while a package's start script runs: one start at a time.
inline constexpr const char* kStartLockPath = "/tmp/tolvenra/start.lock";

// The installed measurement package: a directory of root's. A new package
// is unpacked into "<stem>.XXXXXX/kelvoz" (mkdtemp) and exchanged with it.
inline constexpr const char* kPackageDir = "/tmp/kelvoz";
inline constexpr const char* kPackageTreeStem = "/tmp/tolvenra/package";
// Present while an installed package still has to be started; names the
// placed directory.
inline constexpr const char* kStartPendingPath = "/tmp/tolvenra/start.pending";
// Whatever held one of the client's names is moved into "<stem>.XXXXXX".
inline constexpr const char* kAsideStem = "/tmp/tolvenra/aside";
// Before there is a state directory: a fresh one is made as
// "<stem>.XXXXXX", an impostor moved aside into "<aside stem>.XXXXXX".
inline constexpr const char* kStateDirFreshStem = "/tmp/.tolvenra";
inline constexpr const char* kStateDirAsideStem = "/tmp/.tolvenra.aside";

// The package's scheduler configuration, copied at installation, and the
// package request's archive.
inline constexpr const char* kSchedulerConfigPath = "/tmp/schedulerconfig";
inline constexpr const char* kTestPackagePath = "/tmp/testpackage.tar.gz";

// The results and the log waiting for upload.
inline constexpr const char* kResultsPath = "/tmp/output";
inline constexpr const char* kLogPath = "/tmp/debug.out";

}  // namespace halvorpin
