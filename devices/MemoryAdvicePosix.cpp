#include <sys/mman.h>

#include <cstdint>

#include "MemoryAdvice.h"

namespace quillon::devices {

void AdviseHugePages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePage - 1);
  // Whole huge pages inside the buffer only: advice on memory around it
  // would reach other allocations. A refusal leaves ordinary pages.
  if (last > first)
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace quillon::devices
