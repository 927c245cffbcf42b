#include "unit/sent_input.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/number_text.h"
#include "base/owned.h"
#include "base/paths.h"
#include "unit/file_io.h"
#include "unit/package_place.h"

namespace halvorpin {
namespace {

constexpr int kPlaceRounds = 8;

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

// What may be taken from an input's name: a regular file with a single link
// (with link protections off, a second name may belong to any file of the
// system) owned by the writer whose input it continues.
bool continues_input(const struct stat& st, uid_t owner) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == owner;
}

// Puts `from` at `to` unless a file is there: link() fails atomically with
// EEXIST on every kernel and file system. Then the state name goes.
bool put_back(const std::string& from, const char* to) {
  if (::link(from.c_str(), to) != 0) return false;
  (void)::unlink(from.c_str());
  sync_directory_of(to);
  return true;
}

// Something the client moved from an input's name that it must not read:
// back to where it was, or out of the way when that name is taken again.
void return_untouched(const std::string& moved, const char* input_path) {
  if (!put_back(moved, input_path)) (void)move_aside(moved.c_str(), kAsideStem);
}

// Appends the bytes of `from` past `offset` to `out` at its current end.
// Holes stay holes: a sparse input is copied by its data only.
bool copy_from(int from, off_t offset, int out) {
  struct stat st {};
  const off_t base = ::lseek(out, 0, SEEK_END);
  if (::fstat(from, &st) != 0 || base < 0) return false;
  char block[16 * 1024];
  for (off_t at = offset; at < st.st_size;) {
    off_t data = ::lseek(from, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // only a hole is left
    if (data < 0) data = at;                // no hole support: copy it all
    off_t hole = ::lseek(from, data, SEEK_HOLE);
    if (hole < 0 || hole > st.st_size) hole = st.st_size;
    for (off_t pos = data; pos < hole;) {
      const auto want = static_cast<std::size_t>(
          hole - pos < static_cast<off_t>(sizeof block) ? hole - pos : sizeof block);
      ssize_t n = ::pread(from, block, want, pos);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n == 0;
      if (::pwrite(out, block, static_cast<std::size_t>(n), base + (pos - offset)) != n) {
        return false;
      }
      pos += n;
    }
    at = hole;
  }
  return st.st_size <= offset || ::ftruncate(out, base + (st.st_size - offset)) == 0;
}

// .sent.N becomes .tail: the bytes past N, with the input's owner and mode.
bool cut_tail(const std::string& sent, long long offset, const std::string& tail) {
  UniqueFd in = open_regular_file(sent.c_str());
  struct stat st {};
  if (!in.valid() || ::fstat(in.get(), &st) != 0) return false;
  if (st.st_nlink != 1) {
    // Not the input that was read: another name holds its bytes.
    return ::unlink(sent.c_str()) == 0;
  }
  if (st.st_size > offset) {
    UniqueFd out = create_fresh_file(tail.c_str(), st.st_mode & 0666);
    if (!out.valid() || ::fchown(out.get(), st.st_uid, st.st_gid) != 0 ||
        !copy_from(in.get(), static_cast<off_t>(offset), out.get()) || ::fsync(out.get()) != 0) {
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
                  const char* input_path, uid_t owner) {
  UniqueFd in(::open(newer.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!in.valid() || ::fstat(in.get(), &st) != 0 || !continues_input(st, owner)) {
    return_untouched(newer, input_path);
    return false;
  }
  UniqueFd out(::open(tail.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!out.valid() || ::ftruncate(out.get(), static_cast<off_t>(keep)) != 0 ||
      !copy_from(in.get(), 0, out.get()) || ::fsync(out.get()) != 0 ||
      ::unlink(newer.c_str()) != 0) {
    return false;
  }
  sync_directory_of(newer.c_str());
  return true;
}

// A writer started a new input while the tail was out. It is moved aside to
// follow the tail only when it is a file of the input's owner; anything else
// stays where it is, and the tail waits in the state directory.
bool take_in_newer(const char* input_path, const std::string& newer, uid_t owner) {
  UniqueFd fd(::open(input_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat seen {};
  if (!fd.valid() || ::fstat(fd.get(), &seen) != 0 || !continues_input(seen, owner) ||
      ::rename(input_path, newer.c_str()) != 0) {
    return false;
  }
  struct stat moved {};
  if (::lstat(newer.c_str(), &moved) == 0 && moved.st_dev == seen.st_dev &&
      moved.st_ino == seen.st_ino) {
    sync_directory_of(newer.c_str());
    return true;
  }
  return_untouched(newer, input_path);  // the name changed hands in between
  return false;
}

// Puts .tail back at the input's name, never over a newer file: that is
// moved aside and taken in after the tail, so the lines keep their order.
bool place_tail(const std::string& base, const char* input_path) {
  const std::string tail = base + ".tail";
  const std::string newer_stem = base + ".newer.";
  for (int round = 0; round < kPlaceRounds; ++round) {
    struct stat st {};
    if (::lstat(tail.c_str(), &st) != 0) return errno == ENOENT;
    std::string newer;
    long long keep = find_numbered(newer_stem, newer);
    if (keep >= 0) {
      if (!absorb_newer(newer, keep, tail, input_path, st.st_uid)) return false;
      continue;
    }
    if (put_back(tail, input_path)) return true;
    if (errno != EEXIST ||
        !take_in_newer(input_path,
                       newer_stem + decimal_text(static_cast<std::uint64_t>(st.st_size)),
                       st.st_uid)) {
      return false;
    }
  }
  return false;
}

}  // namespace

Status open_upload_input(const char* path, FilePtr& stream) {
  stream.reset();
  UniqueFd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    return Status(errno == ENOENT ? Code::kInputMissing : Code::kInputNotPlain, path);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    return Status(Code::kInputNotPlain, path);
  }
  stream.reset(::fdopen(fd.get(), "r"));
  if (!stream) return Status(Code::kInputUnreadable, path);
  (void)fd.release();
  return {};
}

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
  const std::string sent =
      state_base_for(input_path) + ".sent." + decimal_text(static_cast<std::uint64_t>(consumed));
  if (::rename(input_path, sent.c_str()) != 0) return;
  struct stat moved {};
  if (::lstat(sent.c_str(), &moved) != 0 || moved.st_dev != read_file.st_dev ||
      moved.st_ino != read_file.st_ino) {
    return_untouched(sent, input_path);  // the name changed hands in between
    return;
  }
  sync_directory_of(sent.c_str());
  settle_sent_input(input_path);
}

}  // namespace halvorpin
