#include "driver/library_memory.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <cstdlib>

namespace halvorpin {
namespace {

// A run killed at any moment loses nothing (README), so it may end here.
[[noreturn]] void out_of_memory() {
  static const char kMessage[] = "Out of memory\n";
  (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::_Exit(1);
}

void* library_malloc(std::size_t size, const char*, int) {
  void* block = std::malloc(size);
  if (block == nullptr && size != 0) out_of_memory();
  return block;
}

void* library_realloc(void* block, std::size_t size, const char*, int) {
  void* moved = std::realloc(block, size);
  if (moved == nullptr && size != 0) out_of_memory();
  return moved;
}

void library_free(void* block, const char*, int) { std::free(block); }

}  // namespace

void watch_library_memory() {
  (void)CRYPTO_set_mem_functions(library_malloc, library_realloc, library_free);
}

}  // namespace halvorpin
