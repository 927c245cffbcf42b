#include "protocol/upload_flows.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/library_memory.h"
#include "base/number_text.h"
#include "base/paths.h"
#include "protocol/submission.h"
#include "transport/cert_check.h"
#include "transport/connection.h"
#include "unit/line_share.h"
#include "unit/rsa_key.h"
#include "unit/sent_input.h"
#include "unit/state_files.h"

namespace halvorpin {
namespace {

// Cipher blocks of one request, appended in place after each chunk.
class CipherWriter {
 public:
  CipherWriter(EVP_PKEY* server_key, std::vector<unsigned char>& out)
      : block_size_(static_cast<std::size_t>(rsa_size(server_key))),
        ready_(init_rsa_encryptor(encryptor_, server_key)),
        out_(out) {}

  // Clear bytes per block: one less than the padding would allow.
  std::size_t chunk_size() const { return block_size_ > 12 ? block_size_ - 12 : 0; }
  std::size_t length() const { return length_; }
  void restart() { length_ = 0; }
  // Room for the blocks of `clear_length` more clear bytes.
  bool has_room_for(std::size_t clear_length) const {
    std::size_t chunk = chunk_size();
    std::size_t blocks = chunk == 0 ? 0 : (clear_length + chunk - 1) / chunk;
    return length_ + blocks * block_size_ <= out_.size();
  }
  // Encrypts `length` bytes chunk by chunk; with `announce`, each block's
  // length goes to standard error.
  bool encrypt(const unsigned char* clear, std::size_t length, bool announce) {
    std::size_t chunk = chunk_size();
    if (!ready_ || chunk == 0 || !has_room_for(length)) return false;
    for (std::size_t done = 0; done < length; done += chunk) {
      std::size_t piece = length - done < chunk ? length - done : chunk;
      int n = rsa_encrypt_block(encryptor_, clear + done, piece, out_.data() + length_,
                                out_.size() - length_);
      if (n <= 0) return false;
      length_ += static_cast<std::size_t>(n);
      if (announce) std::fprintf(stderr, "bodylength = %d \n", n);
    }
    return true;
  }

 private:
  std::size_t block_size_;
  RsaEncryptor encryptor_;
  bool ready_;
  std::vector<unsigned char>& out_;
  std::size_t length_ = 0;
};

// One request's clear text and, when encrypted, its cipher blocks.
struct Batch {
  explicit Batch(EVP_PKEY* server_key, bool encrypted_batch)
      : clear(kUploadBufferSize),
        cipher(kUploadBufferSize),
        writer(server_key, cipher),
        encrypted(encrypted_batch) {}
  std::vector<unsigned char> clear;
  std::vector<unsigned char> cipher;
  CipherWriter writer;
  bool encrypted;
  std::size_t clear_length = 0;
  std::size_t units = 0;  // line reads or pieces taken
  bool at_end = false;    // nothing more for this run: the input ended or its share is read
};

// How far one run reads into its input: from where an earlier run stopped
// to the end of this run's share.
struct Reading {
  explicit Reading(FILE* in)
      : input(in),
        consumed(std::max<long long>(0, ::ftello(in))),
        end(run_share_end(::fileno(in), consumed)) {}
  FILE* input;
  long long consumed;  // the input's offset reached so far
  long long end;
  Code failure = Code::kOk;
  long long left() const { return end - consumed; }
};

// Results: up to `max_lines` line reads of at most 4095 characters each. A
// batch also ends early when another line might not fit either buffer. A
// line with a NUL sends only the bytes before it, but all of it was read.
void read_lines(Reading& reading, Batch& batch, int max_lines) {
  while (batch.clear_length + kLineReadSize <= batch.clear.size() &&
         (!batch.encrypted || batch.writer.has_room_for(kLineReadSize - 1))) {
    if (reading.left() <= 0) {
      batch.at_end = true;
      return;
    }
    auto* line = reinterpret_cast<char*>(batch.clear.data() + batch.clear_length);
    const auto size =
        static_cast<int>(reading.left() < static_cast<long long>(kLineReadSize) ? reading.left() + 1
                                                                                : kLineReadSize);
    if (std::fgets(line, size, reading.input) == nullptr) {
      if (std::ferror(reading.input) != 0) reading.failure = Code::kUnreadable;
      batch.at_end = true;
      return;
    }
    std::size_t n = std::strlen(line);
    if (batch.encrypted &&
        !batch.writer.encrypt(batch.clear.data() + batch.clear_length, n, false)) {
      reading.failure = Code::kEncryptionFailed;
      return;
    }
    batch.clear_length += n;
    reading.consumed = static_cast<long long>(::ftello(reading.input));
    if (static_cast<int>(++batch.units) >= max_lines) return;
  }
}

// The log, over the whole file: encrypted, in pieces of one cipher block's
// clear size until a buffer is full, each block announced; in clear, as much
// as the buffer holds, so the server's key is not needed.
void read_pieces(Reading& reading, Batch& batch) {
  const std::size_t piece = batch.encrypted ? batch.writer.chunk_size() : batch.clear.size();
  if (piece == 0) {
    reading.failure = Code::kEncryptionFailed;
    return;
  }
  while (batch.clear_length + piece <= batch.clear.size() &&
         (!batch.encrypted || batch.writer.has_room_for(piece))) {
    const std::size_t want = reading.left() < static_cast<long long>(piece)
                                 ? static_cast<std::size_t>(reading.left())
                                 : piece;
    std::size_t n =
        want == 0 ? 0 : std::fread(batch.clear.data() + batch.clear_length, 1, want, reading.input);
    if (n == 0) {
      if (std::ferror(reading.input) != 0) reading.failure = Code::kUnreadable;
      batch.at_end = true;
      return;
    }
    if (batch.encrypted &&
        !batch.writer.encrypt(batch.clear.data() + batch.clear_length, n, true)) {
      reading.failure = Code::kEncryptionFailed;
      return;
    }
    batch.clear_length += n;
    reading.consumed += static_cast<long long>(n);
    ++batch.units;
    // A short read of a regular file is its end: what a writer appends from
    // now on waits for the next run, as it does for the results.
    if (n < want) {
      if (std::ferror(reading.input) != 0) reading.failure = Code::kUnreadable;
      batch.at_end = true;
      return;
    }
  }
}

struct UploadKind {
  const char* path;
  bool lines;             // results: lines; the log: pieces
  bool first_even_empty;  // the log sends its first request even when empty
};

const UploadKind kResults{kResultsPath, true, false};
const UploadKind kLog{kLogPath, false, true};

// The one upload loop: batches read, each sent as one request (the first
// on a checked connection, the next on re-connections), until the input or
// this run's share of it ends; then what went out leaves the input, also
// when a later request failed.
Status upload(ServerLink* link, FILE* input, bool encrypted, const UploadKind& kind) {
  Status status = load_identity(link, encrypted ? KeyUse::kEncrypt : KeyUse::kNone);
  if (!status.ok()) {
    ssl_disconnect(link);
    return status;
  }
  const int max_lines = submit_max_lines();
  Batch batch(link->server_key.get(), encrypted);
  Reading reading(input);
  const long long start = reading.consumed;
  long long sent = start;
  bool connected = link->ssl != nullptr;
  for (int request = 0; status.ok() && !batch.at_end; ++request) {
    batch.clear_length = 0;
    batch.units = 0;
    batch.writer.restart();
    if (kind.lines) {
      read_lines(reading, batch, max_lines);
    } else {
      read_pieces(reading, batch);
    }
    // A read or encryption failure is found before anything of it is sent.
    if (reading.failure != Code::kOk) {
      status = Status(reading.failure, kind.path);
      break;
    }
    if (batch.units == 0 && !(kind.first_even_empty && request == 0)) break;
    // The first request goes on the connection the run opened and checked
    // (the log's), or on one opened now (the results'); each later one on a
    // re-connection.
    if (!connected) {
      status = open_checked_connection(link);
    } else if (request > 0) {
      status = ssl_reconnect(link);
    }
    if (!status.ok()) break;
    connected = true;
    const auto clear_length = static_cast<int>(batch.clear_length);
    const auto cipher_length = static_cast<int>(batch.writer.length());
    status = kind.lines ? submit(link, batch.clear.data(), clear_length, batch.cipher.data(),
                                 cipher_length, encrypted ? 1 : 0)
                        : logdata(link, batch.clear.data(), clear_length,
                                  encrypted ? batch.cipher.data() : batch.clear.data(),
                                  encrypted ? cipher_length : 0, encrypted ? 1 : 0);
    if (!status.ok()) break;
    // Accepted lines must leave the input before the run ends.
    if (sent == start) let_library_memory_fail();
    sent = reading.consumed;
  }
  if (status.ok() || sent > start) {
    const Status removed = remove_sent_input(kind.path, input, sent);
    if (status.ok()) status = removed;
  }
  if (connected) ssl_disconnect(link);
  return status;
}

}  // namespace

int submit_max_lines() {
  const char* value = std::getenv("SUBMIT_MAX_LINES");
  return value != nullptr ? parse_leading_int(value) : 100;
}

Status run_results_upload(ServerLink* link, FILE* input, bool encrypted) {
  return upload(link, input, encrypted, kResults);
}

Status run_log_upload(ServerLink* link, FILE* input, bool encrypted) {
  return upload(link, input, encrypted, kLog);
}

}  // namespace halvorpin
