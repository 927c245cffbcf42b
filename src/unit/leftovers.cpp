#include "unit/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "base/owned.h"
#include "unit/tree_removal.h"

namespace halvorpin {
namespace {

// `name` is `stem` and a dot followed by the six letters and digits that
// mkstemp and mkdtemp put in place of "XXXXXX".
bool is_temp_name(const std::string& name, const std::string& stem) {
  constexpr std::size_t kRandomChars = 6;
  if (name.size() != stem.size() + 1 + kRandomChars || name.compare(0, stem.size(), stem) != 0 ||
      name[stem.size()] != '.') {
    return false;
  }
  for (std::size_t i = stem.size() + 1; i < name.size(); ++i) {
    if (std::isalnum(static_cast<unsigned char>(name[i])) == 0) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> find_temps_of(std::initializer_list<const char*> final_paths,
                                       bool any_owner) {
  std::vector<std::string> found;
  const char* first = *final_paths.begin();
  const std::string dir(first, static_cast<std::size_t>(std::strrchr(first, '/') - first));
  DirPtr listing(::opendir(dir.c_str()));
  while (const dirent* entry = listing ? ::readdir(listing.get()) : nullptr) {
    bool temp = false;
    for (const char* path : final_paths) {
      temp = temp || is_temp_name(entry->d_name, path + dir.size() + 1);
    }
    struct stat st {};
    // In a sticky /tmp only we can rename or remove what we own, so the
    // name still means this entry when it is used.
    if (temp && ::fstatat(::dirfd(listing.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (any_owner || st.st_uid == ::geteuid())) {
      found.push_back(dir + "/" + entry->d_name);
    }
  }
  return found;
}

void remove_stale_temps_of(std::initializer_list<const char*> final_paths) {
  for (const std::string& name : find_temps_of(final_paths)) (void)remove_tree(name.c_str());
}

void remove_if_ours(const char* path) {
  struct stat st {};
  if (::lstat(path, &st) == 0 && st.st_uid == ::geteuid()) (void)remove_tree(path);
}

}  // namespace halvorpin
