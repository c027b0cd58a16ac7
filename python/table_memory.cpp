#include "python/table_memory.h"

#include <cstdlib>

#include <sys/mman.h>

namespace sarvek::py {

void* allocate_table(std::size_t bytes) {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (bytes < 2 * kHuge) return std::malloc(bytes == 0 ? sizeof(double) : bytes);
  void* memory = nullptr;
  if (posix_memalign(&memory, kHuge, bytes) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(memory, bytes, MADV_HUGEPAGE);  // advice only: its failure changes nothing
#endif
  return memory;
}

void free_table(void* memory) { std::free(memory); }

}  // namespace sarvek::py
