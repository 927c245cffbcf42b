#include "unit/package_place.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/owned.h"
#include "base/paths.h"
#include "unit/file_io.h"

namespace halvorpin {
namespace {

constexpr int kPlaceRounds = 8;
constexpr std::size_t kRandomChars = 6;  // what mkdtemp puts for "XXXXXX"

std::string base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

std::string dir_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? "." : std::string(path, slash == path ? 1 : slash - path);
}

// "<stem base>.XXXXXX" as mkdtemp makes it.
bool is_stem_name(const std::string& name, const std::string& stem) {
  if (name.size() != stem.size() + 1 + kRandomChars || name.compare(0, stem.size(), stem) != 0 ||
      name[stem.size()] != '.') {
    return false;
  }
  for (std::size_t i = stem.size() + 1; i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
      return false;
    }
  }
  return true;
}

// The link's text: the tree's path relative to the link's own directory,
// so that it means the same seen from anywhere, a chroot included.
std::string link_text_for(const std::string& tree_dir) {
  const std::string parent = dir_name(kPackageDir) + "/";
  return tree_dir.substr(parent.size()) + "/" + base_name(kPackageDir);
}

}  // namespace

bool move_aside(const char* path, const char* aside_stem) {
  struct stat st {};
  if (::lstat(path, &st) != 0) return errno == ENOENT;
  std::string aside = std::string(aside_stem) + ".XXXXXX";
  if (::mkdtemp(aside.data()) == nullptr) return false;
  // Inside a directory just made, the new name is free: the rename cannot
  // land on anything, and it moves a tree of any depth in one step.
  const std::string moved = aside + "/" + base_name(path);
  const bool freed = ::rename(path, moved.c_str()) == 0 || errno == ENOENT;
  (void)remove_tree(aside.c_str());
  return freed;
}

bool place_by_rename(const char* from, const char* to) {
  for (int round = 0; round < kPlaceRounds; ++round) {
    if (::rename(from, to) == 0) {
      sync_directory_of(to);
      return true;
    }
    if (errno != EISDIR && errno != ENOTEMPTY && errno != EEXIST && errno != ENOTDIR) break;
    if (!move_aside(to, kAsideStem)) break;
  }
  return false;
}

std::string make_package_tree_dir() {
  std::string dir = std::string(kPackageTreeStem) + ".XXXXXX";
  return ::mkdtemp(dir.data()) != nullptr ? dir : std::string();
}

std::string installed_tree_dir() {
  struct stat st {};
  if (::lstat(kPackageDir, &st) != 0 || !S_ISLNK(st.st_mode) || st.st_uid != ::geteuid()) {
    return {};
  }
  char text[PATH_MAX];
  ssize_t n = ::readlink(kPackageDir, text, sizeof text - 1);
  if (n <= 0) return {};
  text[n] = '\0';
  const std::string parent = dir_name(kPackageDir) + "/";
  const std::string tree = parent + std::string(text, static_cast<std::size_t>(n));
  const std::string suffix = "/" + base_name(kPackageDir);
  if (tree.size() <= suffix.size() ||
      tree.compare(tree.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return {};
  }
  std::string dir = tree.substr(0, tree.size() - suffix.size());
  const std::string stem = base_name(kPackageTreeStem);
  if (dir_name(dir.c_str()) != dir_name(kPackageTreeStem) ||
      !is_stem_name(base_name(dir.c_str()), stem)) {
    return {};
  }
  return dir;
}

bool link_package(const std::string& tree_dir) {
  if (::unlink(kPackageLinkTemp) != 0 && errno != ENOENT) return false;
  if (::symlink(link_text_for(tree_dir).c_str(), kPackageLinkTemp) != 0) return false;
  if (place_by_rename(kPackageLinkTemp, kPackageDir)) return true;
  (void)::unlink(kPackageLinkTemp);
  return false;
}

void remove_unused_package_trees() {
  const std::string keep = installed_tree_dir();
  const std::string dir = dir_name(kPackageTreeStem);
  const std::string tree_stem = base_name(kPackageTreeStem);
  const std::string aside_stem = base_name(kAsideStem);
  std::vector<std::string> unused;
  {
    DirPtr listing(::opendir(dir.c_str()));
    if (!listing) return;
    while (const dirent* entry = ::readdir(listing.get())) {
      std::string path = dir;
      path.append("/").append(entry->d_name);
      const std::string name = entry->d_name;
      if ((is_stem_name(name, tree_stem) && path != keep) || is_stem_name(name, aside_stem)) {
        unused.push_back(std::move(path));
      }
    }
  }
  for (const std::string& path : unused) (void)remove_tree(path.c_str());
  (void)::unlink(kPackageLinkTemp);
}

bool mark_start_pending() { return write_file_atomic(kStartPendingPath, "", 0644); }

bool start_pending() {
  struct stat st {};
  return ::lstat(kStartPendingPath, &st) == 0;
}

void clear_start_pending() {
  if (::unlink(kStartPendingPath) == 0) sync_directory_of(kStartPendingPath);
}

}  // namespace halvorpin
