// Advice to the system about memory that is about to be filled.
#pragma once

#include <cstddef>

namespace quillon::devices {

// Asks for huge pages behind the whole 2 MiB blocks of a large buffer that is
// about to be written, so that filling it takes one page fault per 2 MiB
// instead of one per 4 KiB: on the virtual machines Quillon is timed on a
// fault costs about 10 us, and a 20 MB device file would spend 60 ms in them.
// Only advice: nothing changes where the system does not take it.
void AdviseHugePages(void* data, std::size_t size);

// The same for the many small blocks of a large device list (names, records,
// IDs): makes the C library's heap grow in steps of 64 MiB, of which only the
// pages touched are taken, backed by huge pages. Call once, first thing at
// start-up. Nothing happens where the C library or the system cannot do it.
void UseHugePagesForTheHeap();

}  // namespace quillon::devices
