#include "protocol/upload_flows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/number_text.h"
#include "base/paths.h"
#include "protocol/submission.h"
#include "transport/cert_check.h"
#include "transport/connection.h"
#include "unit/file_io.h"
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
  // Encrypts `length` bytes chunk by chunk; the block lengths go to `each`.
  template <typename OnBlock>
  bool encrypt(const unsigned char* clear, std::size_t length, OnBlock each) {
    std::size_t chunk = chunk_size();
    if (!ready_ || chunk == 0 || !has_room_for(length)) return false;
    for (std::size_t done = 0; done < length; done += chunk) {
      std::size_t piece = length - done < chunk ? length - done : chunk;
      int n = rsa_encrypt_block(encryptor_, clear + done, piece, out_.data() + length_,
                                out_.size() - length_);
      if (n <= 0) return false;
      length_ += static_cast<std::size_t>(n);
      each(n);
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

bool load_identity(ServerLink* link) { return loadKeys(link) == 1 && loadUnitId(link) == 1; }

}  // namespace

int submit_max_lines() {
  const char* value = std::getenv("SUBMIT_MAX_LINES");
  return value != nullptr ? parse_leading_int(value) : 100;
}

int run_results_upload(ServerLink* link, FILE* input, bool encrypted) {
  if (!load_identity(link)) return 0;
  const int max_lines = submit_max_lines();
  std::vector<unsigned char> clear(kUploadBufferSize);
  std::vector<unsigned char> cipher(kUploadBufferSize);
  CipherWriter writer(link->server_key.get(), cipher);
  bool connected = false;
  long long consumed = 0;

  for (bool last_batch = false; !last_batch;) {
    std::size_t clear_length = 0;
    int lines = 0;
    writer.restart();
    // A batch also ends early when another line might not fit either buffer.
    while (clear_length + kLineReadSize <= clear.size() &&
           (!encrypted || writer.has_room_for(kLineReadSize - 1))) {
      auto* line = reinterpret_cast<char*>(clear.data() + clear_length);
      if (std::fgets(line, static_cast<int>(kLineReadSize), input) == nullptr) {
        // A read error is not the end of the file: nothing of this batch goes.
        if (std::ferror(input) != 0) return 1;
        last_batch = true;
        break;
      }
      std::size_t n = std::strlen(line);
      if (encrypted && !writer.encrypt(clear.data() + clear_length, n, [](int) {})) return 1;
      clear_length += n;
      // A line with a NUL sends only the bytes before it, but all of it was read.
      consumed = static_cast<long long>(::ftello(input));
      if (++lines >= max_lines) break;
    }
    if (lines == 0) break;
    if (connected ? !ssl_reconnect(link) : !open_checked_connection(link)) return 1;
    connected = true;
    if (submit(link, clear.data(), static_cast<int>(clear_length), cipher.data(),
               static_cast<int>(writer.length()), encrypted ? 1 : 0) == 0) {
      return 1;
    }
  }
  if (std::ferror(input) != 0) return 1;  // a read error is not the end of the file
  remove_sent_input(kResultsPath, input, consumed);
  if (connected) ssl_disconnect(link);
  return 0;
}

int run_log_upload(ServerLink* link, FILE* input, bool encrypted) {
  if (!load_identity(link)) {
    ssl_disconnect(link);
    return 0;
  }
  std::vector<unsigned char> clear(kUploadBufferSize);
  std::vector<unsigned char> cipher(kUploadBufferSize);
  CipherWriter writer(link->server_key.get(), cipher);
  const std::size_t piece = writer.chunk_size();
  if (piece == 0) return 1;
  long long consumed = 0;

  // A log larger than a buffer goes as several requests, each accepted
  // before the next is sent.
  for (bool first_request = true;; first_request = false) {
    std::size_t clear_length = 0;
    writer.restart();
    while (clear_length + piece <= clear.size() && (!encrypted || writer.has_room_for(piece))) {
      std::size_t n = std::fread(clear.data() + clear_length, 1, piece, input);
      if (n == 0) break;
      if (encrypted && !writer.encrypt(clear.data() + clear_length, n, [](int block) {
            std::fprintf(stderr, "bodylength = %d \n", block);
          })) {
        return 1;  // nothing of this log is sent
      }
      clear_length += n;
      consumed += static_cast<long long>(n);
    }
    if (std::ferror(input) != 0) return 1;  // found before anything of it is sent
    if (!first_request) {
      if (clear_length == 0) break;
      if (!ssl_reconnect(link)) return 1;
    }
    if (logdata(link, clear.data(), static_cast<int>(clear_length),
                encrypted ? cipher.data() : clear.data(),
                encrypted ? static_cast<int>(writer.length()) : 0, encrypted ? 1 : 0) == 0) {
      return 1;
    }
    if (std::feof(input) != 0 || std::ferror(input) != 0) break;
  }
  if (std::ferror(input) != 0) return 1;
  remove_sent_input(kLogPath, input, consumed);
  ssl_disconnect(link);
  return 0;
}

}  // namespace halvorpin
