#include "unit/state_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/owned.h"
#include "base/paths.h"
#include "unit/file_io.h"
#include "unit/leftovers.h"
#include "unit/name_takeover.h"
#include "unit/rsa_key.h"

namespace halvorpin {
namespace {

constexpr std::size_t kKeyFileLimit = std::size_t{64} * 1024;

}  // namespace

bool state_dir_trusted() {
  struct stat st {};
  return ::lstat(kStateDir, &st) == 0 && is_trusted_directory(st);
}

namespace {

// An impostor at the state directory's name is exchanged with a fresh
// directory of ours, or, without the exchange, moved aside until ours can
// be renamed there. An impostor of any depth goes in one step: getting the
// directory never depends on removing what someone else made.
void take_state_dir_name() {
  std::string fresh = std::string(kStateDirFreshStem) + ".XXXXXX";
  if (::mkdtemp(fresh.data()) == nullptr) return;
  (void)::chmod(fresh.c_str(), 0755);
  const Taken taken = take_name(fresh.c_str(), kStateDir, kStateDirAsideStem);
  struct stat displaced {};
  if (taken == Taken::kExchanged && ::lstat(fresh.c_str(), &displaced) == 0 &&
      is_trusted_directory(displaced)) {
    // Another run made the state directory since we looked: it stays.
    (void)exchange_names(fresh.c_str(), kStateDir);
  }
  if (taken != Taken::kPlaced && ::rmdir(fresh.c_str()) != 0 && state_dir_trusted()) {
    // The impostor: removed with what other runs leave, as its owner.
    (void)move_aside(fresh.c_str(), kAsideStem);
  }
}

}  // namespace

bool is_trusted_directory(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

Status prepare_state_dir() {
  // Another process may race for the name; a few rounds settle it.
  for (int round = 0; round < 3 && !state_dir_trusted(); ++round) {
    if (::mkdir(kStateDir, 0755) == 0) {
      (void)::chmod(kStateDir, 0755);
    } else if (errno == EEXIST) {
      take_state_dir_name();
    }
  }
  if (!state_dir_trusted()) return Status(Code::kStateDirUnusable, kStateDir);
  adopt_state_dir_leftovers();
  return {};
}

void adopt_state_dir_leftovers() {
  for (const std::string& path : find_temps_of({kStateDirFreshStem, kStateDirAsideStem})) {
    (void)move_aside(path.c_str(), kAsideStem);
  }
}

namespace {

// A state file a flow needs did not read (errno was cleared before): one
// that is missing, too short or too long leaves the unit not enrolled; one
// that is there but cannot be read ends the run.
Status not_read(const char* path) {
  return errno == 0 || errno == ENOENT ? Status(Code::kNotEnrolled)
                                       : local_failure(Code::kUnreadable, path);
}

}  // namespace

Status loadUnitId(ServerLink* link) {
  char buffer[kUnitIdCapacity] = {};
  if (!state_dir_trusted()) return Status(Code::kNotEnrolled);
  errno = 0;
  // One byte short of the buffer, so the text always ends within it.
  if (read_file_prefix(kUnitIdPath, buffer, sizeof buffer - 1) < 0) return not_read(kUnitIdPath);
  link->unit_id.assign(buffer, strnlen(buffer, sizeof buffer));
  return {};
}

Status load_identity(ServerLink* link, KeyUse use) {
  // The server's key file marks an enrolled unit, whether or not this flow
  // uses the key.
  char mark[2];
  errno = 0;
  if (state_dir_trusted() && read_file_prefix(kServerKeyPath, mark, sizeof mark) < 2) {
    return not_read(kServerKeyPath);
  }
  Status status = loadUnitId(link);
  if (!status.ok() || use == KeyUse::kNone) return status;
  const bool decrypt = use == KeyUse::kDecrypt;
  const char* path = decrypt ? kUnitPrivateKeyPath : kServerKeyPath;
  std::string pem;
  errno = 0;
  if (!read_small_file(path, kKeyFileLimit, pem)) return not_read(path);
  EvpPkeyPtr& key = decrypt ? link->unit_key : link->server_key;
  key = decrypt ? parse_rsa_private_pem(pem) : parse_rsa_public_pem(pem);
  return key ? Status() : Status(Code::kNotEnrolled);
}

bool getcurver(char* out, std::size_t capacity) {
  if (capacity == 0 || !state_dir_trusted()) return false;
  long n = read_file_prefix(kVersionPath, out, capacity - 1);
  if (n < 0) return false;
  for (long i = 0; i < n; ++i) {
    char c = out[i];
    if (!((c >= '0' && c <= '9') || c == '.')) out[i] = '\0';
  }
  return true;
}

bool checkunitactivated() {
  if (!state_dir_trusted()) return false;
  char buffer[2];
  return read_file_prefix(kServerKeyPath, buffer, sizeof buffer) > 1;
}

void cleanup_nvram() {
  if (!state_dir_trusted()) return;
  for (const char* path : {kUnitPublicKeyPath, kUnitPrivateKeyPath, kServerKeyPath}) {
    (void)std::remove(path);
  }
}

}  // namespace halvorpin
