#include "unit/sent_input.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/number_text.h"
#include "base/owned.h"
#include "base/paths.h"
#include "unit/file_io.h"
#include "unit/name_takeover.h"
#include "unit/state_files.h"

#ifndef FALLOC_FL_KEEP_SIZE
#define FALLOC_FL_KEEP_SIZE 0x01
#endif
#ifndef FALLOC_FL_PUNCH_HOLE
#define FALLOC_FL_PUNCH_HOLE 0x02
#endif

namespace halvorpin {
namespace {

constexpr int kPlaceRounds = 8;
// A rest of more data than this is handed back as it is, not copied.
constexpr long long kCopyLimit = 1LL << 20;
constexpr std::size_t kRecordLimit = 128;

// Whether `path` names the file `st` describes.
bool is_file_at(const char* path, const struct stat& st) {
  struct stat there {};
  return ::lstat(path, &there) == 0 && there.st_dev == st.st_dev && there.st_ino == st.st_ino;
}

// "<state dir>/<input's file name>": where this input's steps leave names.
std::string state_base_for(const char* input_path) {
  const char* slash = std::strrchr(input_path, '/');
  return std::string(kStateDir) + "/" + (slash != nullptr ? slash + 1 : input_path);
}

// The number of the first "<stem><digits>" in the state directory; -1 when
// there is none, kUnlisted when the directory could not be read.
constexpr long long kUnlisted = -2;
long long find_numbered(const std::string& stem_path, std::string& found) {
  const std::string stem = stem_path.substr(std::strlen(kStateDir) + 1);
  DirPtr listing(::opendir(kStateDir));
  if (!listing) return kUnlisted;
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
// Holes stay holes where the file system reports them: a sparse input is
// copied by its data only.
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

// The record of a file handed back as it was: which file, how much of it
// went out, and how large it was then (a writer only appends to it).
struct SentPart {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  long long offset = 0;
  long long size = 0;
};

bool read_sent_part(const std::string& base, SentPart& part) {
  std::string text;
  if (!read_small_file((base + ".offset").c_str(), kRecordLimit, text)) return false;
  return std::sscanf(text.c_str(), "%llu %llu %lld %lld", &part.device, &part.inode, &part.offset,
                     &part.size) == 4;
}

bool names_file(const SentPart& part, const struct stat& st) {
  return part.device == static_cast<unsigned long long>(st.st_dev) &&
         part.inode == static_cast<unsigned long long>(st.st_ino) &&
         static_cast<long long>(st.st_size) >= part.size && part.offset <= part.size;
}

bool record_sent_part(const std::string& base, const struct stat& st, long long offset) {
  char text[kRecordLimit];
  const int n = std::snprintf(
      text, sizeof text, "%llu %llu %lld %lld\n", static_cast<unsigned long long>(st.st_dev),
      static_cast<unsigned long long>(st.st_ino), offset, static_cast<long long>(st.st_size));
  return n > 0 && static_cast<std::size_t>(n) < sizeof text &&
         write_file_atomic((base + ".offset").c_str(),
                           std::string(text, static_cast<std::size_t>(n)), 0644);
}

// The record goes once the file it names is no longer handed back.
void forget_sent_part(const std::string& base, const struct stat& st) {
  SentPart part;
  if (read_sent_part(base, part) && names_file(part, st))
    (void)::unlink((base + ".offset").c_str());
}

// The bytes of data in [offset, size) of `fd`: holes do not count where the
// file system reports them; where it does not, everything counts.
long long data_bytes(int fd, long long offset, long long size) {
  long long total = 0;
  for (off_t at = offset; at < size;) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) return errno == ENXIO ? total : size - offset;
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0 || hole > size) hole = static_cast<off_t>(size);
    total += hole - data;
    at = hole;
  }
  return total;
}

// A copy of `bytes` leaves at least as much free on the file system of `fd`.
bool copy_fits(int fd, long long bytes) {
  struct statvfs vfs {};
  return ::fstatvfs(fd, &vfs) == 0 &&
         static_cast<unsigned long long>(bytes) * 2 <=
             static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
}

// .sent.N is done with: its rest is in .tail, or there was none.
bool finish_cut(const std::string& base, const std::string& sent, const struct stat& st) {
  forget_sent_part(base, st);
  if (::unlink(sent.c_str()) != 0) return false;
  sync_directory_of(sent.c_str());
  return true;
}

// .sent.N becomes .tail: the bytes past N, with the input's owner and mode,
// copied when they are few and fit; otherwise the file itself, its first N
// bytes recorded as sent. A second link to the file changes neither.
bool cut_tail(const std::string& base, const std::string& sent, long long offset) {
  const std::string tail = base + ".tail";
  UniqueFd in = open_regular_file(sent.c_str());
  struct stat st {};
  if (!in.valid() || ::fstat(in.get(), &st) != 0) return false;
  struct stat complete {};
  // A tail is complete once it has its name: a killed run cut it from this file.
  if (::lstat(tail.c_str(), &complete) == 0 || st.st_size <= offset) {
    return finish_cut(base, sent, st);
  }
  const long long rest = data_bytes(in.get(), offset, st.st_size);
  if (rest <= kCopyLimit && copy_fits(in.get(), rest)) {
    const std::string part = tail + ".part";
    UniqueFd out = create_fresh_file(part.c_str(), st.st_mode & 0666);
    if (!out.valid() || ::fchown(out.get(), st.st_uid, st.st_gid) != 0 ||
        !copy_from(in.get(), static_cast<off_t>(offset), out.get()) || ::fsync(out.get()) != 0 ||
        ::rename(part.c_str(), tail.c_str()) != 0) {
      (void)::unlink(part.c_str());
      return false;
    }
    return finish_cut(base, sent, st);
  }
  // Handed back as it is; the sent part goes back to the file system as a
  // hole where it can.
  if (!record_sent_part(base, st, offset)) return false;
  (void)::fallocate(in.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0,
                    static_cast<off_t>(offset));
  if (::rename(sent.c_str(), tail.c_str()) != 0) return false;
  sync_directory_of(tail.c_str());
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
    // A tail with another name (a link made to the input while it was
    // read) would be no input at the input's name: it stays the next
    // run's input here.
    if (st.st_nlink != 1) return false;
    std::string newer;
    long long keep = find_numbered(newer_stem, newer);
    if (keep == kUnlisted) return false;
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
  const std::string base = state_base_for(path);
  const std::string tail = base + ".tail";
  struct stat st {};
  // A tail that waits goes first: nothing newer is read before it.
  const bool waiting = state_dir_trusted() && ::lstat(tail.c_str(), &st) == 0;
  UniqueFd fd(
      ::open(waiting ? tail.c_str() : path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    // A link at the name is no input; any other failure is the unit's own.
    if (errno == ENOENT || errno == ELOOP) {
      return Status(errno == ENOENT ? Code::kInputMissing : Code::kInputNotPlain, path);
    }
    return local_failure(Code::kUnreadable, path);
  }
  // The tail's name is the client's own; the input's name is anyone's.
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (!waiting && st.st_nlink != 1)) {
    return Status(Code::kInputNotPlain, path);
  }
  stream.reset(::fdopen(fd.get(), "r"));
  if (!stream) return local_failure(Code::kUnreadable, path);
  (void)fd.release();
  SentPart part;
  errno = 0;
  if (!state_dir_trusted() || !read_sent_part(base, part)) {
    // Without its record of what went out, the file would go again.
    return errno == 0 || errno == ENOENT ? Status() : local_failure(Code::kUnreadable, path);
  }
  if (!names_file(part, st)) {
    // The file it named is gone: what stands there now is new.
    (void)::unlink((base + ".offset").c_str());
    return {};
  }
  // Past what an earlier run sent of a file it handed back as it was.
  return ::fseeko(stream.get(), static_cast<off_t>(part.offset), SEEK_SET) == 0
             ? Status()
             : Status(Code::kUnreadable, path);
}

bool settle_sent_input(const char* input_path) {
  const std::string base = state_base_for(input_path);
  const std::string tail = base + ".tail";
  struct stat ours {};
  struct stat there {};
  // Killed between the link that put the tail back and the unlink of its
  // state name: the second link is the tail's own, not a foreign one.
  if (::lstat(tail.c_str(), &ours) == 0 && ::lstat(input_path, &there) == 0 &&
      ours.st_dev == there.st_dev && ours.st_ino == there.st_ino && ::unlink(tail.c_str()) == 0) {
    sync_directory_of(tail.c_str());
  }
  std::string sent;
  long long offset = 0;
  while ((offset = find_numbered(base + ".sent.", sent)) >= 0) {
    if (!cut_tail(base, sent, offset)) return false;
  }
  // A tail that cannot go back waits: the next run reads it first.
  (void)place_tail(base, input_path);
  return offset != kUnlisted;
}

Status remove_sent_input(const char* input_path, FILE* input, long long consumed) {
  struct stat read_file {};
  if (::fstat(::fileno(input), &read_file) != 0) return {};
  const std::string base = state_base_for(input_path);
  const std::string tail = base + ".tail";
  const char* name = is_file_at(input_path, read_file)     ? input_path
                     : is_file_at(tail.c_str(), read_file) ? tail.c_str()
                                                           : nullptr;
  if (name == nullptr) return {};  // not the file that was read: it stays for the next run
  // From here on writers that open the input by name start a new file, and
  // the name records what went out, so a killed run loses nothing.
  const std::string sent = base + ".sent." + decimal_text(static_cast<std::uint64_t>(consumed));
  if (::rename(name, sent.c_str()) != 0) {
    // The file stays where it is; the next run starts past what went out.
    (void)record_sent_part(base, read_file, consumed);
    return Status(Code::kHandBackUnfinished, input_path);
  }
  struct stat moved {};
  if (::lstat(sent.c_str(), &moved) != 0 || moved.st_dev != read_file.st_dev ||
      moved.st_ino != read_file.st_ino) {
    return_untouched(sent, input_path);  // the name changed hands in between
    return {};
  }
  sync_directory_of(sent.c_str());
  return settle_sent_input(input_path) ? Status() : Status(Code::kHandBackUnfinished, input_path);
}

}  // namespace halvorpin
