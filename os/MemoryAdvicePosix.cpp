#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "os/MemoryAdvice.h"

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

void UseHugePagesForTheHeap() {
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE)
  constexpr int kStep = 64 << 20;
  // Each time the heap grows it takes a step more than it needs, and it is
  // never shrunk below two steps, so that the part advised below stays.
  if (mallopt(M_TOP_PAD, kStep) == 0 || mallopt(M_TRIM_THRESHOLD, 2 * kStep) == 0)
    return;
  // A block below the size that malloc maps on its own grows the heap now
  // (at start-up little of it is free): everything from the block to the
  // new end of the heap is the heap's own spare room.
  const void* const before = sbrk(0);
  void* const probe = std::malloc(96 << 10);
  const void* const after = sbrk(0);
  if (probe != nullptr && after != before && after != reinterpret_cast<void*>(-1)) {
    AdviseHugePages(probe, static_cast<std::size_t>(static_cast<const char*>(after) -
                                                    static_cast<char*>(probe)));
  }
  std::free(probe);
#endif
}

}  // namespace quillon::devices
