#include "protocol/update_flows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/paths.h"
#include "protocol/enrollment.h"
#include "protocol/package_download.h"
#include "protocol/version_query.h"
#include "transport/connection.h"
#include "unit/child_process.h"
#include "unit/file_io.h"
#include "unit/leftovers.h"
#include "unit/package_place.h"
#include "unit/package_tree.h"
#include "unit/state_files.h"

namespace halvorpin {
namespace {

constexpr const char* kStartCommand = "/tmp/kelvoz/runonce.sh >/dev/null 2>&1";
constexpr std::size_t kScheduleLimit = std::size_t{1} << 20;

bool is_regular_file(const std::string& path, bool executable) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         (!executable || (st.st_mode & S_IXUSR));
}

// A new package tree in the state directory, removed again unless it was
// installed.
class PackageTree {
 public:
  PackageTree() : dir_(make_package_tree_dir()) {}
  PackageTree(const PackageTree&) = delete;
  PackageTree& operator=(const PackageTree&) = delete;
  ~PackageTree() {
    if (!dir_.empty() && !installed_) (void)remove_tree(dir_.c_str());
  }
  bool ok() const { return !dir_.empty(); }
  const std::string& dir() const { return dir_; }
  std::string package() const { return dir_ + "/kelvoz"; }
  void keep() { installed_ = true; }

 private:
  std::string dir_;
  bool installed_ = false;
};

// A file prepared beside its final path and put in place only when the
// package is in; removed if that never happens.
class PreparedFile {
 public:
  PreparedFile() = default;
  PreparedFile(const PreparedFile&) = delete;
  PreparedFile& operator=(const PreparedFile&) = delete;
  ~PreparedFile() {
    if (fd_.valid()) (void)::unlink(temp_.c_str());
  }
  bool prepare(const char* path, const std::string& data) {
    path_ = path;
    fd_ = create_temp_beside(path, 0644, temp_);
    return fd_.valid() && write_all(fd_.get(), data.data(), data.size());
  }
  // Durable first, then renamed into place; whatever held the name and
  // cannot be replaced by a rename (a directory) is moved aside.
  bool commit() {
    if (!fd_.valid()) return false;
    bool durable = ::fsync(fd_.get()) == 0;
    durable = ::close(fd_.release()) == 0 && durable;
    if (durable && place_by_rename(temp_.c_str(), path_)) return true;
    (void)::unlink(temp_.c_str());
    return false;
  }

 private:
  const char* path_ = nullptr;
  std::string temp_;
  UniqueFd fd_;
};

enum class Unpack { kDone, kNotGzip, kNotTar };

// Copies what a tool wrote to `fd` (from its start) to standard error.
void show_tool_messages(int fd) {
  char block[4096];
  ssize_t n = 0;
  for (off_t at = 0; (n = ::pread(fd, block, sizeof block, at)) > 0; at += n) {
    (void)std::fwrite(block, 1, static_cast<std::size_t>(n), stderr);
  }
}

// Decompresses the downloaded archive straight into tar, so no decompressed
// copy takes room in the unit's RAM-backed /tmp, and unpacks it into `dir`
// without restoring the archive's owners; tar's member list goes to standard
// output. The options are those GNU and BusyBox tools both take. When gzip
// fails, tar's complaints about the stream it broke off are not shown.
Unpack unpack_archive(const std::string& dir) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return Unpack::kNotTar;
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  // Kept without a name, so nothing tar unpacks can meet it.
  const std::string messages_path = dir + "/.tar-messages";
  UniqueFd tar_messages = create_fresh_file(messages_path.c_str(), 0600);
  (void)::unlink(messages_path.c_str());
  const char* const gzip[] = {"gzip", "-dc", kPackageArchivePath, nullptr};
  const char* const tar[] = {"tar", "-xovf", "-", "-C", dir.c_str(), nullptr};
  const pid_t gzip_pid = start_program(gzip, -1, write_end.get());
  write_end.reset();
  const pid_t tar_pid = start_program(tar, read_end.get(), -1, tar_messages.get());
  read_end.reset();
  int gzip_signal = 0;
  const int gzip_status = gzip_pid < 0 ? -1 : wait_for_exit(gzip_pid, &gzip_signal);
  const int tar_status = tar_pid < 0 ? -1 : wait_for_exit(tar_pid);
  // gzip ended by SIGPIPE only stopped because tar gave up first.
  if (gzip_status != 0 && gzip_signal != SIGPIPE) return Unpack::kNotGzip;
  if (tar_messages.valid()) show_tool_messages(tar_messages.get());
  return tar_status == 0 ? Unpack::kDone : Unpack::kNotTar;
}

// A package is usable only with its scheduler configuration and start
// script, and a tree that stays inside itself and belongs to root alone.
Status package_valid(const std::string& package) {
  if (!secure_package_tree(package.c_str())) {
    return Status(Code::kPackageInvalid, "it holds what a root-run package must not");
  }
  if (!is_regular_file(package + "/schedulerconfig", false)) {
    return Status(Code::kPackageInvalid, "no kelvoz/schedulerconfig");
  }
  if (!is_regular_file(package + "/runonce.sh", true)) {
    return Status(Code::kPackageInvalid, "no executable kelvoz/runonce.sh");
  }
  return {};
}

// Puts the checked package in place and records it: the link, the scheduler
// configuration, the record that its start is due, and last the version.
// The package's own users may read the tree, nobody else may change it.
Status commit_installation(PackageTree& tree, const std::string& new_version) {
  std::string schedule;
  PreparedFile version_file;
  PreparedFile schedule_file;
  // Plain data, never shell input: the version text comes from the server.
  if (!read_small_file((tree.package() + "/schedulerconfig").c_str(), kScheduleLimit, schedule)) {
    return Status(Code::kPackageInvalid, "kelvoz/schedulerconfig larger than 1 MiB");
  }
  if (!version_file.prepare(kVersionPath, new_version + "\n")) {
    return Status(Code::kInstallFailed, kVersionPath);
  }
  if (!schedule_file.prepare(kSchedulerConfigPath, schedule)) {
    return Status(Code::kInstallFailed, kSchedulerConfigPath);
  }
  if (::chmod(tree.dir().c_str(), 0755) != 0 || !link_package(tree.dir())) {
    return Status(Code::kInstallFailed, kPackageDir);
  }
  tree.keep();
  remove_unused_package_trees();
  if (!schedule_file.commit()) return Status(Code::kInstallFailed, kSchedulerConfigPath);
  if (!mark_start_pending()) return Status(Code::kInstallFailed, kStartPendingPath);
  if (!version_file.commit()) return Status(Code::kInstallFailed, kVersionPath);
  return {};
}

// Starts the installed package's script and waits for it to end, without
// the update lock: a slow script delays no other run, and one that never
// ends blocks none. The record of the due start goes once it started.
void start_installed_package(ServerLink* link) {
  // Only the client's own link leads to a tree nobody else can change.
  if (installed_tree_dir().empty()) {
    clear_start_pending();
    return;
  }
  const pid_t pid = start_shell_command(kStartCommand);
  if (pid < 0) return;  // still due: the next run starts it
  clear_start_pending();
  link->run_lock.reset();
  (void)wait_for_exit(pid);
}

// Decompresses and unpacks the downloaded archive into a new tree in the
// state directory and installs it when it is a valid package. On any failure
// before the link is replaced the installed package, its scheduler
// configuration and the version file stay as they were; after it, the
// version stays the old one, so the next run installs again.
Status unpack_and_install(const std::string& new_version) {
  PackageTree tree;
  if (!tree.ok()) return Status(Code::kPackageNotStored, kPackageTreeStem);
  const Unpack unpacked = unpack_archive(tree.dir());
  (void)::unlink(kPackageArchivePath);
  if (unpacked == Unpack::kNotGzip) return Status(Code::kArchiveNotGzip);
  if (unpacked == Unpack::kNotTar) return Status(Code::kArchiveNotTar);
  Status status = package_valid(tree.package());
  return status.ok() ? commit_installation(tree, new_version) : status;
}

// What a killed download, installation or enrollment left: unused package
// trees, the temporary files of the scheduler configuration and the state
// files, an impostor state directory moved aside, the encrypted download.
// Called with the update lock held.
void remove_stale_work_files() {
  remove_stale_temps_of({kSchedulerConfigPath, kVersionPath, kUnitIdPath, kUnitPublicKeyPath,
                         kUnitPrivateKeyPath, kServerKeyPath, kStartPendingPath,
                         kStateDirAsideStem});
  remove_unused_package_trees();
  remove_if_ours(kPackageTempPath);
}

// Every work file of a download, after a failure.
void remove_work_files() {
  (void)::unlink(kPackageTempPath);
  (void)::unlink(kPackageArchivePath);
}

Status download_package(ServerLink* link, const std::string& locator) {
  FilePtr out = create_fresh_stream(kPackageArchivePath, 0644);
  if (!out) return Status(Code::kPackageNotStored, kPackageArchivePath);
  Status status = packages(link, locator.c_str(), out.get());
  if (std::fclose(out.release()) != 0 && status.ok()) {
    status = Status(Code::kPackageNotStored, kPackageArchivePath);
  }
  return status;
}

// Download, unpack, record the version, install the scheduler configuration
// and start the package.
Status install_package(ServerLink* link, const VersionReply& reply) {
  Status status = download_package(link, reply.locator);
  if (status.ok()) status = unpack_and_install(reply.new_version);
  ssl_disconnect(link);
  // A refusal leaves the host's answer to look at; anything else of a
  // download that did not install goes.
  if (status.code() != Code::kDownloadRefused && status.code() != Code::kLocatorUnusable) {
    remove_work_files();
  }
  if (status.ok()) start_installed_package(link);
  return status;
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
  remove_stale_work_files();
  std::string text;
  status = ssl_reconnect(link);
  if (status.ok()) status = version(link, "", text);
  if (!status.ok()) {
    ssl_disconnect(link);
    return status;
  }
  return install_package(link, read_version_reply(text, false));
}

Status run_version_update(ServerLink* link) {
  Status status = load_identity(link, KeyUse::kDecrypt);
  if (!status.ok()) {
    ssl_disconnect(link);
    return status;
  }
  remove_stale_work_files();
  char installed[kVersionCapacity] = {};
  (void)getcurver(installed, sizeof installed);
  std::string text;
  status = version(link, installed, text);
  if (!status.ok()) {
    ssl_disconnect(link);
    return status;
  }
  VersionReply reply = read_version_reply(text, true);
  if (same_version(installed, reply.new_version)) {
    ssl_disconnect(link);
    // A run killed between recording the version and starting the package
    // left the start due.
    if (start_pending()) start_installed_package(link);
    return {};
  }
  status = ssl_reconnect(link);
  return status.ok() ? install_package(link, reply) : status;
}

Status run_package_request(ServerLink* link) {
  Status status = load_identity(link, KeyUse::kDecrypt);
  if (status.ok()) {
    remove_stale_work_files();
    FilePtr out = create_fresh_stream(kPackageArchivePath, 0644);
    if (out) {
      std::string locator = link->host + ":" + std::to_string(link->port) + "/testpackage.tar.gz";
      status = packages(link, locator.c_str(), out.get());
    }
  }
  ssl_disconnect(link);
  return status;
}

}  // namespace halvorpin
