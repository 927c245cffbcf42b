#include "protocol/update_flows.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/paths.h"
#include "protocol/enrollment.h"
#include "protocol/package_download.h"
#include "protocol/version_query.h"
#include "transport/connection.h"
#include "unit/child_process.h"
#include "unit/package_store.h"
#include "unit/state_files.h"
#include "unit/unit_lock.h"

namespace halvorpin {
namespace {

constexpr const char* kStartCommand = "/tmp/kelvoz/runonce.sh >/dev/null 2>&1";

// Whether the end of an update run starts the installed package.
enum class Start {
  kNever,         // `p`, and a run that failed
  kIfDue,         // nothing installed: a start a killed run left due, unless a script runs now
  kAfterInstall,  // this run installed: once no earlier start script runs any more
};

// A refused download leaves the host's answer to look at.
bool refused(const Status& status) {
  return status.code() == Code::kDownloadRefused || status.code() == Code::kLocatorUnusable;
}

// The one download of `a`, `v` and `p`, into the package store's work files.
// Where the operator placed package keys, it must be signed; keys the unit
// cannot rely on let nothing be fetched.
Status download_package(ServerLink* link, const std::string& locator) {
  const PackageKeys keys = PackageKeys::load(kPackageKeysPath);
  if (keys.state() == PackageKeys::State::kUnusable) {
    return Status(Code::kPackageKeysUnusable, kPackageKeysPath);
  }
  FilePtr out = PackageStore::create_archive();
  if (!out) return local_failure(Code::kPackageNotStored, PackageStore::kArchivePath);
  Status status = packages(link, locator.c_str(), out.get(),
                           keys.state() == PackageKeys::State::kUsable ? &keys : nullptr);
  if (std::fclose(out.release()) != 0 && status.ok()) {
    status = Status(Code::kPackageNotStored, PackageStore::kArchivePath);
  }
  return status;
}

// Download, unpack, check and place the package; the version is recorded
// last. Anything but the download's answer to a refusal goes when nothing
// was installed.
Status install_package(ServerLink* link, PackageStore& store, const VersionReply& reply) {
  Status status = download_package(link, reply.locator);
  ssl_disconnect(link);
  if (status.ok()) status = store.unpack();
  if (status.ok()) status = store.check();
  if (status.ok()) status = store.place(reply.new_version);
  if (!status.ok()) PackageStore::discard_download(refused(status));
  return status;
}

// The end of every update run. The update lock goes first: what follows
// touches nothing another update needs, and removing what users left or
// running a start script may take long. The start lock makes start scripts
// take turns and keeps every tree in the state directory until no script
// that may run from it is left: a run that installed waits for it, any
// other run leaves its work to a later one when a script runs. The script
// holds no lock of the client's but the start lock, which its keeper
// process holds until it ends; the run waits for it. A start that could not
// be made stays due, and the run says so.
Status finish_update(ServerLink* link, PackageStore& store, Start start) {
  store.note_leftovers();
  link->run_lock.reset();
  Status status = store.hold_start_lock(start == Start::kAfterInstall ? kLockWaitUnbounded : 0);
  if (!status.ok()) {
    // Held by a running script: what is due waits for a later run.
    return start == Start::kNever || status.code() == Code::kLockTimeout ? Status() : status;
  }
  pid_t script = -1;
  const StartRecord record = start == Start::kNever ? StartRecord::kNone : start_record();
  if (record == StartRecord::kDue) {
    script = start_shell_command(kStartCommand);
    if (script >= 0) clear_start_pending();
  } else if (record == StartRecord::kStale) {
    clear_start_pending();  // a record of a directory no longer in place starts nothing
  }
  if (record == StartRecord::kUnreadable || (record == StartRecord::kDue && script < 0)) {
    status = Status(Code::kStartFailed, std::strerror(errno));
  }
  store.remove_leftovers();
  store.release_start_lock();
  if (script >= 0) (void)wait_for_exit(script);
  return status;
}

// What `v` and `p` need before they ask: the unit's private key (its
// replies come encrypted to it), and no work files a killed run left.
Status begin_download_flow(ServerLink* link) {
  const Status status = load_identity(link, KeyUse::kDecrypt);
  if (!status.ok()) {
    ssl_disconnect(link);
    return status;
  }
  PackageStore::clear_stale_work_files();
  return {};
}

}  // namespace

VersionReply read_version_reply(const std::string& text, bool stop_at_carriage_return) {
  VersionReply reply;
  std::string::size_type line_end = text.find('\n');
  std::string first_line = text.substr(0, line_end);
  std::string::size_type cut = stop_at_carriage_return ? first_line.find('\r') : std::string::npos;
  reply.new_version = first_line.substr(0, std::min(cut, kVersionCapacity - 1));
  if (line_end != std::string::npos) reply.locator = text.substr(line_end + 1);
  return reply;
}

bool same_version(const std::string& installed, const std::string& offered) {
  return std::strncmp(installed.c_str(), offered.c_str(), 8) == 0;
}

Status run_activation(ServerLink* link) {
  Status status = enroll_unit(link);
  if (!status.ok()) return status;
  PackageStore::clear_stale_work_files();
  PackageStore store;
  std::string text;
  status = ssl_reconnect(link);
  if (status.ok()) status = version(link, "", text);
  if (status.ok()) {
    status = install_package(link, store, read_version_reply(text, false));
  } else {
    ssl_disconnect(link);
  }
  const Status finished =
      finish_update(link, store, status.ok() ? Start::kAfterInstall : Start::kNever);
  return status.ok() ? finished : status;
}

Status run_version_update(ServerLink* link) {
  Status status = begin_download_flow(link);
  if (!status.ok()) return status;
  PackageStore store;
  char installed[kVersionCapacity] = {};
  std::string text;
  errno = 0;
  // A version file that is there but cannot be read is no reason to install.
  if (!getcurver(installed, sizeof installed) && errno != 0 && errno != ENOENT) {
    status = local_failure(Code::kUnreadable, kVersionPath);
  } else {
    status = version(link, installed, text);
  }
  Start start = Start::kNever;
  if (status.ok()) {
    const VersionReply reply = read_version_reply(text, true);
    if (same_version(installed, reply.new_version)) {
      // A run killed between recording the version and starting the
      // package left the start due.
      start = Start::kIfDue;
    } else {
      status = ssl_reconnect(link);
      if (status.ok()) status = install_package(link, store, reply);
      if (status.ok()) start = Start::kAfterInstall;
    }
  }
  ssl_disconnect(link);
  const Status finished = finish_update(link, store, start);
  return status.ok() ? finished : status;
}

Status run_package_request(ServerLink* link) {
  Status status = begin_download_flow(link);
  if (!status.ok()) return status;
  PackageStore store;
  const std::string locator = link->host + ":" + std::to_string(link->port) + "/testpackage.tar.gz";
  status = download_package(link, locator);
  ssl_disconnect(link);
  // What came, or an empty archive when the host sent none, is the
  // command's product; a local failure leaves whatever is there.
  if (status.code() != Code::kPackageNotStored && status.code() != Code::kOutOfMemory) {
    const Status delivered = store.deliver(kTestPackagePath, status.ok());
    if (status.ok()) status = delivered;
  }
  PackageStore::discard_download(refused(status));
  (void)finish_update(link, store, Start::kNever);
  return status;
}

}  // namespace halvorpin
