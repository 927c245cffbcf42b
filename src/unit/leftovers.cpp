#include "unit/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <vector>

#include "base/owned.h"
#include "unit/file_io.h"

namespace halvorpin {

bool is_temp_name(const std::string& name, const std::string& stem) {
  constexpr std::size_t kRandomChars = 6;
  if (name.size() != stem.size() + kRandomChars || name.compare(0, stem.size(), stem) != 0) {
    return false;
  }
  for (std::size_t i = stem.size(); i < name.size(); ++i) {
    if (std::isalnum(static_cast<unsigned char>(name[i])) == 0) return false;
  }
  return true;
}

void remove_stale_temps_of(const char* final_path) {
  const std::string path(final_path);
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return;
  const std::string dir = path.substr(0, slash == 0 ? 1 : slash);
  const std::string stem = path.substr(slash + 1) + ".";
  DirPtr listing(::opendir(dir.c_str()));
  if (!listing) return;
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(listing.get())) {
    struct stat st {};
    // In a sticky /tmp only we can rename or remove what we own, so the
    // name still means this entry when it is removed below.
    if (is_temp_name(entry->d_name, stem) &&
        ::fstatat(::dirfd(listing.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_uid == ::geteuid()) {
      stale.push_back(dir + "/" + entry->d_name);
    }
  }
  for (const std::string& name : stale) (void)remove_tree(name.c_str());
}

void remove_if_ours(const char* path) {
  struct stat st {};
  if (::lstat(path, &st) == 0 && st.st_uid == ::geteuid()) (void)remove_tree(path);
}

}  // namespace halvorpin
