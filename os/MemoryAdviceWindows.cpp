#include "os/MemoryAdvice.h"

namespace quillon::devices {

// Large pages need a privilege on Windows; ordinary pages it is.
void AdviseHugePages(void*, std::size_t) {}
void UseHugePagesForTheHeap() {}

}  // namespace quillon::devices
