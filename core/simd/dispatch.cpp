#include <atomic>

#include "core/simd/kernels.h"

namespace sarvek::simd {
namespace scalar {
extern const Kernels table;
}
#ifdef SARVEK_X86_KERNELS
namespace avx2 {
extern const Kernels table;
}
namespace avx512 {
extern const Kernels table;
}
#endif

namespace {

struct Path {
  const Kernels* table;
  bool (*supported)();
};

bool always() { return true; }
#ifdef SARVEK_X86_KERNELS
// __builtin_cpu_supports also checks that the operating system saves the
// wider registers.
bool has_avx2() { return __builtin_cpu_supports("avx2"); }
bool has_avx512() { return __builtin_cpu_supports("avx512f"); }
#endif

// Plainest first.
const Path kPaths[] = {
    {&scalar::table, always},
#ifdef SARVEK_X86_KERNELS
    {&avx2::table, has_avx2},
    {&avx512::table, has_avx512},
#endif
};

const Kernels* best() {
  const Kernels* chosen = &scalar::table;
  for (const Path& p : kPaths)
    if (p.supported()) chosen = p.table;
  return chosen;
}

std::atomic<const Kernels*>& current() {
  static std::atomic<const Kernels*> chosen{best()};
  return chosen;
}

}  // namespace

const Kernels& kernels() { return *current().load(std::memory_order_relaxed); }

std::vector<std::string> available_paths() {
  std::vector<std::string> names;
  for (const Path& p : kPaths)
    if (p.supported()) names.emplace_back(p.table->name);
  return names;
}

bool set_path(std::string_view name) {
  for (const Path& p : kPaths) {
    if (name != p.table->name) continue;
    if (!p.supported()) return false;
    current().store(p.table, std::memory_order_relaxed);
    return true;
  }
  return false;
}

std::string current_path() { return kernels().name; }

}  // namespace sarvek::simd
