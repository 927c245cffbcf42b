#include "unit/sent_input.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/owned.h"
#include "base/paths.h"
#include "unit/file_io.h"

namespace halvorpin {
namespace {

// "<state dir>/<input's file name>": where this input's steps leave names.
std::string state_base_for(const char* input_path) {
  const char* slash = std::strrchr(input_path, '/');
  return std::string(kStateDir) + "/" + (slash != nullptr ? slash + 1 : input_path);
}

// The number of the first "<stem><digits>" in the state directory, or -1.
long long find_numbered(const std::string& stem_path, std::string& found) {
  const std::string stem = stem_path.substr(std::strlen(kStateDir) + 1);
  DirPtr listing(::opendir(kStateDir));
  if (!listing) return -1;
  while (const dirent* entry = ::readdir(listing.get())) {
    const char* name = entry->d_name;
    if (std::strncmp(name, stem.c_str(), stem.size()) != 0) continue;
    const char* digits = name + stem.size();
    if (*digits == '\0' || std::strspn(digits, "0123456789") != std::strlen(digits)) continue;
    found = std::string(kStateDir) + "/" + name;
    return std::strtoll(digits, nullptr, 10);
  }
  return -1;
}

// Appends the bytes of `from` past `offset` to `out`.
bool copy_from(int from, long long offset, int out) {
  if (::lseek(from, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  char block[16 * 1024];
  for (;;) {
    ssize_t n = ::read(from, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!write_all(out, block, static_cast<std::size_t>(n))) return false;
  }
}

// .sent.N becomes .tail: the bytes past N, with the input's owner and mode.
bool cut_tail(const std::string& sent, long long offset, const std::string& tail) {
  UniqueFd in = open_regular_file(sent.c_str());
  struct stat st {};
  if (!in.valid() || ::fstat(in.get(), &st) != 0) return false;
  if (st.st_size > offset) {
    UniqueFd out = create_fresh_file(tail.c_str(), st.st_mode & 0666);
    if (!out.valid() || ::fchown(out.get(), st.st_uid, st.st_gid) != 0 ||
        !copy_from(in.get(), offset, out.get()) || ::fsync(out.get()) != 0) {
      return false;
    }
  }
  // The tail is whole before the moved input goes.
  if (::unlink(sent.c_str()) != 0) return false;
  sync_directory_of(sent.c_str());
  return true;
}

// .newer.L is appended to the first L bytes of .tail (a killed run may have
// appended part of it already).
bool absorb_newer(const std::string& newer, long long keep, const std::string& tail,
                  const char* input_path) {
  UniqueFd in = open_regular_file(newer.c_str());
  if (!in.valid()) {
    // Not a file a writer made: it goes back where it was found.
    (void)::renameat2(AT_FDCWD, newer.c_str(), AT_FDCWD, input_path, RENAME_NOREPLACE);
    return false;
  }
  UniqueFd out(::open(tail.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!out.valid() || ::ftruncate(out.get(), static_cast<off_t>(keep)) != 0 ||
      ::lseek(out.get(), 0, SEEK_END) < 0 || !copy_from(in.get(), 0, out.get()) ||
      ::fsync(out.get()) != 0 || ::unlink(newer.c_str()) != 0) {
    return false;
  }
  sync_directory_of(newer.c_str());
  return true;
}

// Puts .tail back at the input's name. A writer may have started a new file
// there meanwhile: it is moved aside and taken in after the tail, so the
// tail never replaces a newer file and the lines keep their order.
bool place_tail(const std::string& base, const char* input_path) {
  const std::string tail = base + ".tail";
  const std::string newer_stem = base + ".newer.";
  for (int round = 0; round < 8; ++round) {
    std::string newer;
    long long keep = find_numbered(newer_stem, newer);
    if (keep >= 0) {
      if (!absorb_newer(newer, keep, tail, input_path)) return false;
      continue;
    }
    struct stat st {};
    if (::lstat(tail.c_str(), &st) != 0) return errno == ENOENT;
    if (::renameat2(AT_FDCWD, tail.c_str(), AT_FDCWD, input_path, RENAME_NOREPLACE) == 0) {
      sync_directory_of(input_path);
      return true;
    }
    if (errno != EEXIST) return false;
    newer = newer_stem + std::to_string(st.st_size);
    if (::rename(input_path, newer.c_str()) == 0) sync_directory_of(newer.c_str());
  }
  return false;
}

}  // namespace

void settle_sent_input(const char* input_path) {
  const std::string base = state_base_for(input_path);
  std::string sent;
  for (long long offset; (offset = find_numbered(base + ".sent.", sent)) >= 0;) {
    if (!cut_tail(sent, offset, base + ".tail")) return;
  }
  (void)place_tail(base, input_path);
}

void remove_sent_input(const char* input_path, FILE* input, long long consumed) {
  struct stat read_file {};
  struct stat there {};
  if (::fstat(::fileno(input), &read_file) != 0 || ::lstat(input_path, &there) != 0 ||
      there.st_dev != read_file.st_dev || there.st_ino != read_file.st_ino) {
    return;  // not the file that was read: it stays for the next run
  }
  // From here on writers that open the input by name start a new file, and
  // the name records what went out, so a killed run loses nothing.
  const std::string sent = state_base_for(input_path) + ".sent." + std::to_string(consumed);
  if (::rename(input_path, sent.c_str()) != 0) return;
  sync_directory_of(sent.c_str());
  settle_sent_input(input_path);
}

}  // namespace halvorpin
