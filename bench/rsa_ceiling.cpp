// What the library itself achieves for the client's RSA operations, as a
// ceiling for the benchmarks: operations per second of CPU time (user +
// system) with a fresh 1024-bit key, exponent 65537, through the same EVP
// calls the client makes, one context per kind reused for every block.
//
//   rsa_ceiling [seconds per kind]      (default 1)
//
// Prints one line per kind, "<kind> <operations per CPU second>":
//   public_raw     public-key operation without padding (what a verify costs)
//   encrypt_pkcs1  PKCS #1 v1.5 encryption of 116 bytes (the upload's blocks)
//   decrypt_pkcs1  PKCS #1 v1.5 decryption of one 128-byte block (packages)
// The kinds are measured in alternating short rounds so that a busy machine
// weighs on all of them alike.
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

constexpr std::size_t kBlock = 128;
constexpr std::size_t kUploadPiece = 116;
constexpr std::size_t kPackagePiece = 117;
constexpr double kRound = 0.05;  // CPU seconds per kind and round

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

EVP_PKEY_CTX* make_ctx(EVP_PKEY* key, bool encrypt, int padding) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  int ok = encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx);
  if (ctx == nullptr || ok != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, padding) != 1) {
    std::fprintf(stderr, "rsa_ceiling: cannot set up an RSA context\n");
    std::exit(1);
  }
  return ctx;
}

struct Kind {
  const char* name;
  EVP_PKEY_CTX* ctx;
  bool encrypt;
  std::vector<unsigned char> input;
  long operations = 0;
  double seconds = 0;
};

void run_round(Kind& kind) {
  std::array<unsigned char, kBlock> out{};
  double start = cpu_seconds();
  double now = start;
  while (now - start < kRound) {
    for (int i = 0; i < 16; ++i) {
      std::size_t length = out.size();
      int ok = kind.encrypt ? EVP_PKEY_encrypt(kind.ctx, out.data(), &length, kind.input.data(),
                                               kind.input.size())
                            : EVP_PKEY_decrypt(kind.ctx, out.data(), &length, kind.input.data(),
                                               kind.input.size());
      if (ok != 1) {
        std::fprintf(stderr, "rsa_ceiling: %s failed\n", kind.name);
        std::exit(1);
      }
    }
    kind.operations += 16;
    now = cpu_seconds();
  }
  kind.seconds += now - start;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  EVP_PKEY* key = EVP_RSA_gen(1024);
  if (key == nullptr) {
    std::fprintf(stderr, "rsa_ceiling: cannot make a key\n");
    return 1;
  }
  // Below the modulus: a leading zero byte.
  std::vector<unsigned char> raw(kBlock, 0x5a);
  raw[0] = 0;
  // One valid cipher block for the decryption rounds.
  EVP_PKEY_CTX* packer = make_ctx(key, true, RSA_PKCS1_PADDING);
  std::vector<unsigned char> piece(kPackagePiece, 0x5a);
  std::vector<unsigned char> block(kBlock);
  std::size_t block_length = block.size();
  if (EVP_PKEY_encrypt(packer, block.data(), &block_length, piece.data(), piece.size()) != 1) {
    std::fprintf(stderr, "rsa_ceiling: cannot make a cipher block\n");
    return 1;
  }

  std::array<Kind, 3> kinds{{
      {"public_raw", make_ctx(key, true, RSA_NO_PADDING), true, raw},
      {"encrypt_pkcs1", make_ctx(key, true, RSA_PKCS1_PADDING), true,
       std::vector<unsigned char>(kUploadPiece, 0x5a)},
      {"decrypt_pkcs1", make_ctx(key, false, RSA_PKCS1_PADDING), false, block},
  }};
  while (kinds[0].seconds < seconds) {
    for (Kind& kind : kinds) run_round(kind);
  }
  for (const Kind& kind : kinds) {
    std::printf("%s %.0f\n", kind.name, static_cast<double>(kind.operations) / kind.seconds);
  }
  return 0;
}
