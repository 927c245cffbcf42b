// The little of the C++ runtime the client uses, without exceptions. Memory
// comes from malloc; running out of it cannot travel up to main as a value
// from inside a container, so it ends the run here, with a message and
// status 1, never a signal. The library's inline code reports exhaustion and
// misuse through the __throw_* hooks below instead of throwing.
//
// Nothing else lives in this file: memory checkers replace these operators by
// their symbols, so no code may have them inlined, or a block taken here as
// plain malloc would be given back through the replaced delete, or the other
// way round (the string code is in string_code.cpp for that reason).
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>  // declares the library's __throw_* hooks defined below

#include "base/library_memory.h"

namespace {

[[noreturn]] void end_run(const char* message, std::size_t length) {
  (void)!::write(STDERR_FILENO, message, length);
  std::_Exit(1);
}

template <std::size_t N>
[[noreturn]] void end_run(const char (&message)[N]) {
  end_run(message, N - 1);
}

[[noreturn]] void out_of_memory() { end_run("Out of memory\n"); }

void* allocate(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr && halvorpin::release_memory_reserve())
    block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) out_of_memory();
  return block;
}

}  // namespace

// Never inlined, not even across files by link-time optimisation.
[[gnu::noinline]] void* operator new(std::size_t size) { return allocate(size); }
[[gnu::noinline]] void* operator new[](std::size_t size) { return allocate(size); }
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete[](void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace std {

// A length no memory could hold is running out of memory too.
void __throw_bad_alloc() { out_of_memory(); }
void __throw_bad_array_new_length() { out_of_memory(); }
void __throw_length_error(const char*) { out_of_memory(); }
// Misuse of a container: a fault of the client's, never of its input.
void __throw_logic_error(const char*) { end_run("Internal error\n"); }
void __throw_out_of_range(const char*) { end_run("Internal error\n"); }
void __throw_out_of_range_fmt(const char*, ...) { end_run("Internal error\n"); }
void __throw_invalid_argument(const char*) { end_run("Internal error\n"); }

}  // namespace std
