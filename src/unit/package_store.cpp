#include "unit/package_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/paths.h"
#include "unit/child_process.h"
#include "unit/file_io.h"
#include "unit/leftovers.h"
#include "unit/name_takeover.h"
#include "unit/package_tree.h"
#include "unit/state_files.h"
#include "unit/tree_removal.h"
#include "unit/unit_lock.h"

namespace halvorpin {
namespace {

constexpr int kPlaceRounds = 4;
constexpr std::size_t kScheduleLimit = std::size_t{1} << 20;
constexpr std::size_t kStartRecordLimit = 64;
// The scheduler configuration is written here, then takes its name in /tmp.
constexpr const char* kScheduleTempBase = "/tmp/tolvenra/schedulerconfig";
// Names an earlier release used for the same work.
constexpr const char* kOldDownloadPath = "/tmp/.package.tmp";
constexpr const char* kOldLinkTemp = "/tmp/tolvenra/kelvoz.new";

// The scheduler configuration, prepared in the state directory and put in
// place only when the package is in; removed if that never happens.
class PreparedFile {
 public:
  PreparedFile() = default;
  PreparedFile(const PreparedFile&) = delete;
  PreparedFile& operator=(const PreparedFile&) = delete;
  ~PreparedFile() {
    if (!temp_.empty()) (void)::unlink(temp_.c_str());
  }
  bool prepare(const char* temp_base, const std::string& data) {
    fd_ = create_temp_beside(temp_base, 0644, temp_);
    if (!fd_.valid()) temp_.clear();
    return fd_.valid() && write_all(fd_.get(), data.data(), data.size());
  }
  // Durable first, then put at `name` in /tmp, whoever holds it.
  bool commit_taking(const char* name) {
    if (!durable()) return false;
    const Taken taken = take_name(temp_.c_str(), name, kAsideStem);
    if (taken == Taken::kFailed) return false;
    // The former holder is at the temporary name now: it joins the leftovers.
    if (taken == Taken::kExchanged) (void)move_aside(temp_.c_str(), kAsideStem);
    temp_.clear();
    sync_directory_of(name);
    return true;
  }

 private:
  bool durable() {
    if (!fd_.valid()) return false;
    const bool synced = ::fsync(fd_.get()) == 0;
    return ::close(fd_.release()) == 0 && synced;
  }

  std::string temp_;
  UniqueFd fd_;
};

// Copies what a tool wrote to `fd` (from its start) to standard error.
void show_tool_messages(int fd) {
  char block[4096];
  ssize_t n = 0;
  for (off_t at = 0; (n = ::pread(fd, block, sizeof block, at)) > 0; at += n) {
    (void)std::fwrite(block, 1, static_cast<std::size_t>(n), stderr);
  }
}

// Decompresses the archive straight into tar, so no decompressed copy takes
// room in the unit's RAM-backed /tmp, and unpacks it into `dir` without
// restoring the archive's owners; tar's member list goes to standard
// output. The options are those GNU and BusyBox tools both take. A tool
// ended by a signal failed. When gzip fails, tar's complaints about the
// stream it broke off are not shown. A tool that could not be started is
// the unit's failure, not the archive's (kToolFailed: the tool and why).
Status unpack_archive(const char* archive, const std::string& dir) {
  const char* const gzip[] = {"gzip", "-dc", archive, nullptr};
  const char* const tar[] = {"tar", "-xovf", "-", "-C", dir.c_str(), nullptr};
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0)
    return Status(Code::kToolFailed, gzip[0], std::strerror(errno));
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  // Kept without a name, so nothing tar unpacks can meet it.
  const std::string messages_path = dir + "/.tar-messages";
  UniqueFd tar_messages = create_fresh_file(messages_path.c_str(), 0600);
  (void)::unlink(messages_path.c_str());
  const pid_t gzip_pid = start_program(gzip, -1, write_end.get());
  write_end.reset();
  const pid_t tar_pid =
      gzip_pid < 0 ? -1 : start_program(tar, read_end.get(), -1, tar_messages.get());
  const int error = errno;
  read_end.reset();  // a gzip without its reader ends
  int gzip_signal = 0;
  const int gzip_status = gzip_pid < 0 ? -1 : wait_for_exit(gzip_pid, &gzip_signal);
  const int tar_status = tar_pid < 0 ? -1 : wait_for_exit(tar_pid);
  if (tar_pid < 0)
    return Status(Code::kToolFailed, gzip_pid < 0 ? "gzip" : "tar", std::strerror(error));
  // gzip ended by SIGPIPE only stopped because tar gave up first.
  if (gzip_status != 0 && gzip_signal != SIGPIPE) return Status(Code::kArchiveNotGzip);
  if (tar_messages.valid()) show_tool_messages(tar_messages.get());
  return tar_status == 0 ? Status() : Status(Code::kArchiveNotTar);
}

// A call that just failed for want of resources or for the device, not for
// what a package holds.
bool failed_locally() {
  return errno == EIO || errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOSPC ||
         errno == EACCES || errno == EPERM;
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The start script: an executable regular file of the package, or a link
// that leads to one inside the package.
bool is_start_script(const std::string& package) {
  const std::string script = package + "/runonce.sh";
  char resolved[PATH_MAX];
  char top[PATH_MAX];
  if (::realpath(script.c_str(), resolved) == nullptr ||
      ::realpath(package.c_str(), top) == nullptr) {
    return false;
  }
  const std::size_t length = std::strlen(top);
  struct stat st {};
  return std::strncmp(resolved, top, length) == 0 && resolved[length] == '/' &&
         ::stat(resolved, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

// The record that the placed directory `placed` still has to be started.
bool mark_start_pending(const struct stat& placed) {
  char text[kStartRecordLimit];
  const int n = std::snprintf(text, sizeof text, "%llu %llu\n",
                              static_cast<unsigned long long>(placed.st_dev),
                              static_cast<unsigned long long>(placed.st_ino));
  return n > 0 && static_cast<std::size_t>(n) < sizeof text &&
         write_file_atomic(kStartPendingPath, std::string(text, static_cast<std::size_t>(n)), 0644);
}

// The tree an earlier release's link at /tmp/kelvoz names
// ("tolvenra/package.XXXXXX/kelvoz"): it stays until a new package replaces
// the link. Empty when /tmp/kelvoz is no such link.
std::string linked_tree() {
  char text[PATH_MAX];
  const ssize_t n = ::readlink(kPackageDir, text, sizeof text - 1);
  if (n <= 0) return {};
  const std::string target(text, static_cast<std::size_t>(n));
  const std::string::size_type slash = target.rfind('/');
  if (slash == std::string::npos || target.find('/') == slash) return {};
  return "/tmp/" + target.substr(0, slash);
}

}  // namespace

void PackageStore::clear_stale_work_files() {
  (void)::unlink(kDownloadPath);
  (void)::unlink(kArchivePath);
  remove_if_ours(kOldDownloadPath);
  remove_if_ours(kOldLinkTemp);
  remove_stale_temps_of({kScheduleTempBase, kVersionPath, kUnitIdPath, kUnitPublicKeyPath,
                         kUnitPrivateKeyPath, kServerKeyPath, kStartPendingPath});
  remove_stale_temps_of({kSchedulerConfigPath});  // where an earlier release wrote it
  adopt_state_dir_leftovers();
}

FilePtr PackageStore::create_archive() { return create_fresh_stream(kArchivePath, 0644); }

void PackageStore::discard_download(bool keep_answer) {
  if (!keep_answer) (void)::unlink(kDownloadPath);
  (void)::unlink(kArchivePath);
}

Status PackageStore::unpack() {
  std::string dir = std::string(kPackageTreeStem) + ".XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) {
    (void)::unlink(kArchivePath);
    return Status(Code::kPackageNotStored, kPackageTreeStem);
  }
  staged_dir_ = dir;
  const Status unpacked = unpack_archive(kArchivePath, staged_dir_);
  (void)::unlink(kArchivePath);
  return unpacked;
}

Status PackageStore::check() {
  const std::string package = staged_dir_ + "/kelvoz";
  errno = 0;
  if (!secure_package_tree(package.c_str())) {
    return failed_locally()
               ? local_failure(Code::kUnreadable, package)
               : Status(Code::kPackageInvalid, "it holds what a root-run package must not");
  }
  if (!is_regular_file(package + "/schedulerconfig")) {
    return Status(Code::kPackageInvalid, "no kelvoz/schedulerconfig");
  }
  if (!is_start_script(package)) {
    return Status(Code::kPackageInvalid, "no executable kelvoz/runonce.sh");
  }
  return {};
}

Status PackageStore::place(const std::string& new_version) {
  const std::string tree = staged_dir_ + "/kelvoz";
  std::string schedule;
  const std::string schedule_path = tree + "/schedulerconfig";
  errno = 0;
  // Plain data, never shell input: the version text comes from the server.
  if (!read_small_file(schedule_path.c_str(), kScheduleLimit, schedule)) {
    return errno != 0 ? local_failure(Code::kUnreadable, schedule_path)
                      : Status(Code::kPackageInvalid, "kelvoz/schedulerconfig larger than 1 MiB");
  }
  PreparedFile schedule_file;
  if (!schedule_file.prepare(kScheduleTempBase, schedule)) {
    return Status(Code::kInstallFailed, kSchedulerConfigPath);
  }
  struct stat staged {};
  if (::lstat(tree.c_str(), &staged) != 0 || !place_tree(tree, staged)) {
    return Status(Code::kInstallFailed, kPackageDir);
  }
  if (!schedule_file.commit_taking(kSchedulerConfigPath)) {
    return Status(Code::kInstallFailed, kSchedulerConfigPath);
  }
  if (!mark_start_pending(staged)) return Status(Code::kInstallFailed, kStartPendingPath);
  if (!write_file_atomic(kVersionPath, new_version + "\n", 0644)) {
    return Status(Code::kInstallFailed, kVersionPath);
  }
  return {};
}

Status PackageStore::deliver(const char* product, bool fetched) {
  UniqueFd archive =
      fetched ? open_regular_file(kArchivePath) : create_fresh_file(kArchivePath, 0644);
  if (!archive.valid() || ::fsync(archive.get()) != 0) {
    return Status(Code::kPackageNotStored, product);
  }
  const Taken taken = take_name(kArchivePath, product, kAsideStem);
  if (taken == Taken::kFailed) {
    (void)::unlink(kArchivePath);
    return Status(Code::kPackageNotStored, product);
  }
  if (taken == Taken::kExchanged) (void)move_aside(kArchivePath, kAsideStem);
  sync_directory_of(product);
  return {};
}

// Puts the tree at /tmp/kelvoz. True only when /tmp/kelvoz is then the
// placed directory itself, and root's.
bool PackageStore::place_tree(const std::string& tree, const struct stat& staged) {
  const std::string stash = staged_dir_ + "/old";
  Taken taken = Taken::kFailed;
  bool emptied = false;
  for (int round = 0; round < kPlaceRounds; ++round) {
    taken = take_name(tree.c_str(), kPackageDir, kAsideStem, /*keep_ours=*/true);
    if (taken != Taken::kOursInTheWay) break;
    // No exchange, and the installed package is in the way: it is emptied
    // into the state directory, and the rename then replaces the empty
    // directory. Not while a start script may run from it.
    if (!hold_start_lock(kLockWaitSeconds).ok()) return false;
    emptied = true;
    if (!empty_into(kPackageDir, stash.c_str())) break;
  }
  if (taken != Taken::kPlaced && taken != Taken::kExchanged) {
    // The installed package goes back whole: the unit is never left without one.
    if (emptied) (void)empty_into(stash.c_str(), kPackageDir);
    return false;
  }
  sync_directory_of(kPackageDir);
  struct stat there {};
  return ::lstat(kPackageDir, &there) == 0 && S_ISDIR(there.st_mode) &&
         there.st_uid == ::geteuid() && there.st_dev == staged.st_dev &&
         there.st_ino == staged.st_ino;
}

Status PackageStore::hold_start_lock(int wait_seconds) {
  return start_lock_.valid() ? Status() : lock_unit(kStartLockPath, wait_seconds, start_lock_);
}

void PackageStore::note_leftovers() {
  const std::string keep = linked_tree();
  for (std::string& path :
       find_temps_of({kPackageTreeStem, kAsideStem, kScheduleTempBase}, /*any_owner=*/true)) {
    if (path != keep) leftovers_.push_back(std::move(path));
  }
}

void PackageStore::remove_leftovers() {
  RemovalBudget budget(kRemovalSeconds, kRemovalEntries);
  for (const std::string& path : leftovers_) (void)remove_tree(path.c_str(), budget);
  leftovers_.clear();
}

StartRecord start_record() {
  std::string record;
  errno = 0;
  if (!read_small_file(kStartPendingPath, kStartRecordLimit, record)) {
    if (errno == ENOENT) return StartRecord::kNone;
    return errno == 0 ? StartRecord::kStale : StartRecord::kUnreadable;  // 0: too long
  }
  char* end = nullptr;
  const unsigned long long dev = std::strtoull(record.c_str(), &end, 10);
  const unsigned long long ino = std::strtoull(end, &end, 10);
  struct stat st {};
  return *end == '\n' && ::lstat(kPackageDir, &st) == 0 && S_ISDIR(st.st_mode) &&
                 st.st_uid == ::geteuid() && static_cast<unsigned long long>(st.st_dev) == dev &&
                 static_cast<unsigned long long>(st.st_ino) == ino
             ? StartRecord::kDue
             : StartRecord::kStale;
}

void clear_start_pending() {
  if (::unlink(kStartPendingPath) == 0) sync_directory_of(kStartPendingPath);
}

}  // namespace halvorpin
