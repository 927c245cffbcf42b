#include "protocol/update_flows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/paths.h"
#include "protocol/enrollment.h"
#include "protocol/package_download.h"
#include "protocol/version_query.h"
#include "transport/connection.h"
#include "unit/file_io.h"
#include "unit/leftovers.h"
#include "unit/package_tree.h"
#include "unit/state_files.h"

namespace halvorpin {
namespace {

bool is_regular_file(const std::string& path, bool executable) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         (!executable || (st.st_mode & S_IXUSR));
}

// A private directory under /tmp with an unpredictable name, for unpacking.
class StagingDir {
 public:
  StagingDir() {
    std::string name = std::string(kStagingDirStem) + ".XXXXXX";
    if (::mkdtemp(name.data()) != nullptr) path_ = name;
  }
  StagingDir(const StagingDir&) = delete;
  StagingDir& operator=(const StagingDir&) = delete;
  ~StagingDir() {
    if (!path_.empty()) (void)remove_tree(path_.c_str());
  }
  bool ok() const { return !path_.empty(); }
  std::string at(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A file prepared beside its final path and renamed into place only when the
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
  bool commit() { return fd_.valid() && commit_temp_file(std::move(fd_), temp_, path_); }

 private:
  const char* path_ = nullptr;
  std::string temp_;
  UniqueFd fd_;
};

// Decompresses the downloaded archive into `tar_path`, reporting as gunzip
// would; the compressed file goes once it decompressed.
bool decompress_archive(const std::string& tar_path) {
  UniqueFd out = create_fresh_file(tar_path.c_str(), 0600);
  if (!out.valid()) return false;
  const char* const gzip[] = {"gzip", "-dc", kPackageArchivePath, nullptr};
  if (run_program(gzip, -1, out.get()) != 0) return false;
  (void)::unlink(kPackageArchivePath);
  return true;
}

// Unpacks as root without restoring the archive's owners; the member list
// goes to standard output.
bool unpack_archive(const std::string& tar_path, const std::string& into) {
  if (::mkdir(into.c_str(), 0700) != 0) return false;
  const char* const tar[] = {"tar", "--no-same-owner", "-xvf", tar_path.c_str(),
                             "-C",  into.c_str(),      nullptr};
  return run_program(tar, -1, -1) == 0;
}

// A package is usable only with its scheduler configuration and start script.
bool staged_package_valid(const std::string& package) {
  return secure_package_tree(package.c_str()) &&
         is_regular_file(package + "/schedulerconfig", false) &&
         is_regular_file(package + "/runonce.sh", true);
}

// Puts the staged package in place with one rename; the old one, or whatever
// else held the name, ends up in the staging directory.
bool swap_in_staged_package(const std::string& staged, const std::string& old_place) {
  if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, kPackageDir, RENAME_EXCHANGE) == 0) {
    return true;
  }
  if (errno == ENOENT) {
    return ::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, kPackageDir, RENAME_NOREPLACE) == 0;
  }
  // Without the exchange: the old package aside first, then the new one in.
  if (::rename(kPackageDir, old_place.c_str()) != 0) return false;
  if (::rename(staged.c_str(), kPackageDir) != 0) {
    (void)::rename(old_place.c_str(), kPackageDir);
    return false;
  }
  return true;
}

// Decompresses and unpacks the downloaded archive in a private directory,
// swaps it in only when it is a valid package, installs its scheduler
// configuration and starts it. The version file is prepared first and
// committed last: it records a whole installation, so a run killed anywhere
// before leaves a unit whose next run installs the package again. On any
// failure before the swap the installed package, its scheduler configuration
// and the version file stay as they were.
bool unpack_and_install(const std::string& new_version) {
  StagingDir staging;
  if (!staging.ok()) return false;
  const std::string tar_path = staging.at("archive.tar");
  const std::string package = staging.at("tree/kelvoz");
  if (!decompress_archive(tar_path)) return false;
  bool unpacked = unpack_archive(tar_path, staging.at("tree"));
  (void)::unlink(tar_path.c_str());
  if (!unpacked || !staged_package_valid(package)) return false;

  constexpr std::size_t kScheduleLimit = std::size_t{1} << 20;
  std::string schedule;
  PreparedFile version_file;
  PreparedFile schedule_file;
  // Plain data, never shell input: the version text comes from the server.
  if (!read_small_file((package + "/schedulerconfig").c_str(), kScheduleLimit, schedule) ||
      !version_file.prepare(kVersionPath, new_version + "\n") ||
      !schedule_file.prepare(kSchedulerConfigPath, schedule) ||
      !swap_in_staged_package(package, staging.at("old"))) {
    return false;
  }
  sync_directory_of(kPackageDir);
  (void)schedule_file.commit();
  (void)run_shell("/tmp/kelvoz/runonce.sh >/dev/null 2>&1");
  (void)version_file.commit();
  return true;
}

// What a killed download or installation left: its staging directory, the
// temporary files of the scheduler configuration and the state files, the
// encrypted download. Called with the update lock held.
void remove_stale_work_files() {
  remove_stale_temps_of({kStagingDirStem, kSchedulerConfigPath, kVersionPath, kUnitIdPath,
                         kUnitPublicKeyPath, kUnitPrivateKeyPath, kServerKeyPath});
  remove_if_ours(kPackageTempPath);
}

// Every work file of a download, after a failure.
void remove_work_files() {
  (void)::unlink(kPackageTempPath);
  (void)::unlink(kPackageArchivePath);
}

enum class Download { kDone, kRefused, kLocalFailure, kFatal };

Download download_package(ServerLink* link, const std::string& locator, bool reconnect_first) {
  FilePtr out = create_fresh_stream(kPackageArchivePath, 0644);
  if (!out) return Download::kLocalFailure;
  int fetched = reconnect_first && !ssl_reconnect(link)
                    ? kPackageFatal
                    : packages(link, locator.c_str(), out.get());
  bool closed = std::fclose(out.release()) == 0;
  if (fetched == kPackageFatal) return Download::kFatal;
  if (fetched == kPackageLocalFailure || (fetched == 1 && !closed)) return Download::kLocalFailure;
  return fetched == 1 ? Download::kDone : Download::kRefused;
}

// Download, unpack, record the version, install the scheduler configuration
// and start the package. Returns the exit status.
int install_package(ServerLink* link, const VersionReply& reply, bool version_update) {
  Download download = download_package(link, reply.locator, version_update);
  if (download != Download::kDone) {
    ssl_disconnect(link);
    if (download == Download::kLocalFailure) {
      remove_work_files();
      return 1;
    }
    if (download == Download::kFatal) return 1;
    return version_update ? 0 : 1;
  }
  if (!unpack_and_install(reply.new_version)) {
    (void)::unlink(kPackageTempPath);
    ssl_disconnect(link);
    return 1;
  }
  ssl_disconnect(link);
  return 0;
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

int run_activation(ServerLink* link) {
  if (!enroll_unit(link)) return 1;
  remove_stale_work_files();
  if (!ssl_reconnect(link)) return 1;
  std::optional<std::string> text = version(link, "");
  if (!text) {
    ssl_disconnect(link);
    return 1;
  }
  return install_package(link, read_version_reply(*text, false), false);
}

int run_version_update(ServerLink* link) {
  if (loadKeys(link) == 0 || loadUnitId(link) == 0) {
    std::fputs("Unable to load keys and/or unit id", stdout);
    ssl_disconnect(link);
    return 0;
  }
  remove_stale_work_files();
  char installed[kVersionCapacity] = {};
  (void)getcurver(installed, sizeof installed);
  std::optional<std::string> text = version(link, installed);
  if (!text) {
    ssl_disconnect(link);
    return 0;
  }
  VersionReply reply = read_version_reply(*text, true);
  if (same_version(installed, reply.new_version)) {
    ssl_disconnect(link);
    return 0;
  }
  return install_package(link, reply, true);
}

int run_package_request(ServerLink* link) {
  if (loadKeys(link) == 0 || loadUnitId(link) == 0) {
    ssl_disconnect(link);
    return 0;
  }
  remove_stale_work_files();
  FilePtr out = create_fresh_stream(kPackageArchivePath, 0644);
  if (out) {
    std::string locator = link->host + ":" + std::to_string(link->port) + "/testpackage.tar.gz";
    if (packages(link, locator.c_str(), out.get()) == kPackageFatal) return 1;
  }
  out.reset();
  ssl_disconnect(link);
  return 0;
}

}  // namespace halvorpin
