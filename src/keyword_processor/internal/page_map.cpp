#include "page_map.hpp"

#include <cstdint>
#include <new>

#if !defined(WORDSIEVE_PORTABLE_ONLY) && defined(_WIN32)
#define WORDSIEVE_PAGES_VIRTUALALLOC 1
#include <windows.h>
#elif !defined(WORDSIEVE_PORTABLE_ONLY) && (defined(__unix__) || defined(__APPLE__))
#define WORDSIEVE_PAGES_MMAP 1
#include <sys/mman.h>
#endif

namespace wordsieve::page_map {

#if defined(WORDSIEVE_PAGES_MMAP)

void* map_aligned(std::size_t bytes) noexcept {
  // Twice the size, so that an aligned range lies inside; the rest is unmapped at once.
  const std::size_t span = 2 * bytes;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + bytes - 1) & ~(bytes - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + bytes;
  if (start + span > tail) munmap(reinterpret_cast<void*>(tail), start + span - tail);
  return reinterpret_cast<void*>(aligned);
}

void unmap(void* memory, std::size_t bytes) noexcept { munmap(memory, bytes); }

#elif defined(WORDSIEVE_PAGES_VIRTUALALLOC)

// Windows reserves address space in 64 KiB units, so every reservation is already aligned to
// 64 KiB; larger alignments reserve a wider range, release it and reserve the aligned part of it,
// which another thread may take in between, hence the retries.
void* map_aligned(std::size_t bytes) noexcept {
  constexpr DWORD kFlags = MEM_RESERVE | MEM_COMMIT;
  void* memory = VirtualAlloc(nullptr, bytes, kFlags, PAGE_READWRITE);
  if (memory == nullptr || (reinterpret_cast<std::uintptr_t>(memory) & (bytes - 1)) == 0) return memory;
  VirtualFree(memory, 0, MEM_RELEASE);
  for (int attempt = 0; attempt < 8; ++attempt) {
    void* wide = VirtualAlloc(nullptr, 2 * bytes, MEM_RESERVE, PAGE_NOACCESS);
    if (wide == nullptr) return nullptr;
    const std::uintptr_t aligned = (reinterpret_cast<std::uintptr_t>(wide) + bytes - 1) & ~(bytes - 1);
    VirtualFree(wide, 0, MEM_RELEASE);
    memory = VirtualAlloc(reinterpret_cast<void*>(aligned), bytes, kFlags, PAGE_READWRITE);
    if (memory != nullptr) return memory;
  }
  return nullptr;
}

void unmap(void* memory, std::size_t /*bytes*/) noexcept { VirtualFree(memory, 0, MEM_RELEASE); }

#else

// The C++ allocator, where the system's page mapping is not used.
void* map_aligned(std::size_t bytes) noexcept {
  return ::operator new(bytes, std::align_val_t{bytes}, std::nothrow);
}

void unmap(void* memory, std::size_t bytes) noexcept {
  ::operator delete(memory, bytes, std::align_val_t{bytes});
}

#endif

}  // namespace wordsieve::page_map
