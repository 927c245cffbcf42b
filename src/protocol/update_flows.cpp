#include "protocol/update_flows.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "base/paths.h"
#include "protocol/enrollment.h"
#include "protocol/package_download.h"
#include "protocol/version_query.h"
#include "transport/connection.h"
#include "unit/file_io.h"
#include "unit/state_files.h"

namespace halvorpin {
namespace {

bool is_directory(const char* path) {
  struct stat st {};
  return ::lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file(const char* path, bool executable) {
  struct stat st {};
  return ::lstat(path, &st) == 0 && S_ISREG(st.st_mode) && (!executable || (st.st_mode & S_IXUSR));
}

// A package is usable only with its scheduler configuration and start script.
bool staged_package_valid() {
  return is_directory(kStagedPackageDir) &&
         is_regular_file("/tmp/.kelvoz.new/kelvoz/schedulerconfig", false) &&
         is_regular_file("/tmp/.kelvoz.new/kelvoz/runonce.sh", true);
}

// Puts the staged package in place; the old one, if any, ends up in the
// staging directory. The swap is a single rename where the kernel offers it.
bool swap_in_staged_package() {
  if (!is_directory(kPackageDir)) {
    (void)run_shell("rm -rf /tmp/kelvoz");
    return std::rename(kStagedPackageDir, kPackageDir) == 0;
  }
  if (::renameat2(AT_FDCWD, kStagedPackageDir, AT_FDCWD, kPackageDir, RENAME_EXCHANGE) == 0) {
    return true;
  }
  (void)run_shell("rm -rf /tmp/.kelvoz.old");
  if (std::rename(kPackageDir, "/tmp/.kelvoz.old") != 0) return false;
  if (std::rename(kStagedPackageDir, kPackageDir) != 0) {
    (void)std::rename("/tmp/.kelvoz.old", kPackageDir);
    return false;
  }
  (void)run_shell("rm -rf /tmp/.kelvoz.old");
  return true;
}

// Decompresses the downloaded archive, unpacks it beside the installed
// package and swaps it in only when it is a valid package. The installed
// package, its scheduler configuration and the version file stay as they
// were on any failure.
bool unpack_and_swap() {
  if (run_shell("gunzip /tmp/testpackage.tar.gz") != 0) return false;
  (void)run_shell("rm -rf /tmp/.kelvoz.new");
  bool unpacked = make_directories(kStagingDir, 0755) &&
                  run_shell("tar -xvf /tmp/testpackage.tar -C /tmp/.kelvoz.new") == 0;
  (void)std::remove(kUnpackedArchivePath);
  bool swapped = unpacked && staged_package_valid() && swap_in_staged_package();
  (void)run_shell("rm -rf /tmp/.kelvoz.new");
  return swapped;
}

enum class Download { kDone, kRefused };

Download download_package(ServerLink* link, const std::string& locator, bool reconnect_first) {
  (void)std::remove(kPackageArchivePath);
  (void)std::remove(kUnpackedArchivePath);
  FilePtr out(std::fopen(kPackageArchivePath, "w"));
  if (!out) return Download::kRefused;
  if (reconnect_first) ssl_reconnect(link);
  int fetched = packages(link, locator.c_str(), out.get());
  bool closed = std::fclose(out.release()) == 0;
  return fetched == 1 && closed ? Download::kDone : Download::kRefused;
}

// Download, unpack, record the version, install the scheduler configuration
// and start the package. Returns the exit status.
int install_package(ServerLink* link, const VersionReply& reply, bool version_update) {
  if (download_package(link, reply.locator, version_update) == Download::kRefused) {
    ssl_disconnect(link);
    return version_update ? 0 : 1;
  }
  if (!unpack_and_swap()) {
    ssl_disconnect(link);
    return 1;
  }
  // Plain data, never shell input: the version text comes from the server.
  (void)write_file_atomic(kVersionPath, reply.new_version + "\n", 0644);
  (void)run_shell("cp /tmp/kelvoz/schedulerconfig /tmp/schedulerconfig");
  (void)run_shell("/tmp/kelvoz/runonce.sh >/dev/null 2>&1");
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
  ssl_reconnect(link);
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
  FilePtr out(std::fopen(kPackageArchivePath, "w"));
  if (out) {
    std::string locator = link->host + ":" + std::to_string(link->port) + "/testpackage.tar.gz";
    (void)packages(link, locator.c_str(), out.get());
  }
  out.reset();
  ssl_disconnect(link);
  return 0;
}

}  // namespace halvorpin
