#include "base/library_memory.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <cstdlib>

namespace halvorpin {
namespace {

// Enough for the hand-back's names and the reply of a last request.
constexpr std::size_t kReserveBytes = std::size_t{64} * 1024;

bool g_failure_returned = false;
bool g_ran_out = false;
void* g_reserve = nullptr;

// A run killed at any moment loses nothing (README), so it may end here.
[[noreturn]] void out_of_memory() {
  static const char kMessage[] = "Out of memory\n";
  (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::_Exit(1);
}

void* library_malloc(std::size_t size, const char*, int) {
  void* block = std::malloc(size);
  if (block == nullptr && size != 0) {
    if (!g_failure_returned) out_of_memory();
    g_ran_out = true;
  }
  return block;
}

void* library_realloc(void* block, std::size_t size, const char*, int) {
  void* moved = std::realloc(block, size);
  if (moved == nullptr && size != 0) {
    if (!g_failure_returned) out_of_memory();
    g_ran_out = true;
  }
  return moved;
}

void library_free(void* block, const char*, int) { std::free(block); }

}  // namespace

void watch_library_memory() {
  (void)CRYPTO_set_mem_functions(library_malloc, library_realloc, library_free);
}

void let_library_memory_fail() {
  g_failure_returned = true;
  if (g_reserve == nullptr) g_reserve = std::malloc(kReserveBytes);
}

bool release_memory_reserve() {
  if (g_reserve == nullptr) return false;
  std::free(g_reserve);
  g_reserve = nullptr;
  g_ran_out = true;
  return true;
}

bool library_memory_ran_out() { return g_ran_out; }

}  // namespace halvorpin
