// Owners for every OpenSSL object and POSIX descriptor the client holds.
// The deleter is part of the type, so nothing is ever freed by hand.
#pragma once

#include <dirent.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

namespace halvorpin {

template <typename T, void (*Free)(T*)>
struct FreeWith {
  void operator()(T* p) const noexcept { Free(p); }
};

namespace detail {
inline void bio_free_all(BIO* b) { BIO_free_all(b); }
inline void fclose_quiet(FILE* f) { std::fclose(f); }
inline void closedir_quiet(DIR* d) { (void)::closedir(d); }
inline void free_x509_infos(STACK_OF(X509_INFO) * s) { sk_X509_INFO_pop_free(s, X509_INFO_free); }
}  // namespace detail

template <typename T, void (*Free)(T*)>
using OwnedBy = std::unique_ptr<T, FreeWith<T, Free>>;

using BioPtr = OwnedBy<BIO, detail::bio_free_all>;
using BignumPtr = OwnedBy<BIGNUM, BN_free>;
using EvpPkeyPtr = OwnedBy<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtxPtr = OwnedBy<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpMdCtxPtr = OwnedBy<EVP_MD_CTX, EVP_MD_CTX_free>;
using EncoderCtxPtr = OwnedBy<OSSL_ENCODER_CTX, OSSL_ENCODER_CTX_free>;
using DecoderCtxPtr = OwnedBy<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;
using ParamBldPtr = OwnedBy<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamPtr = OwnedBy<OSSL_PARAM, OSSL_PARAM_free>;
using SslCtxPtr = OwnedBy<SSL_CTX, SSL_CTX_free>;
using SslPtr = OwnedBy<SSL, SSL_free>;
using SslSessionPtr = OwnedBy<SSL_SESSION, SSL_SESSION_free>;
using X509Ptr = OwnedBy<X509, X509_free>;
using X509InfosPtr = OwnedBy<STACK_OF(X509_INFO), detail::free_x509_infos>;
using X509LookupMethodPtr = OwnedBy<X509_LOOKUP_METHOD, X509_LOOKUP_meth_free>;
using FilePtr = OwnedBy<FILE, detail::fclose_quiet>;
using DirPtr = OwnedBy<DIR, detail::closedir_quiet>;

// A file descriptor closed when its owner goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace halvorpin
