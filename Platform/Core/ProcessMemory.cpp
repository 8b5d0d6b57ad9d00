#include "Platform/Core/ProcessMemory.h"

#include <cstdlib>  // defines __GLIBC__ where glibc is the C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace qm {

void configureAllocatorForLongRuns() {
#if defined(__GLIBC__)
    ::mallopt(M_ARENA_MAX, 4);
    // Fixed thresholds (setting them turns off glibc's adaptive ones, which rise after the first
    // large free until a 1080p picture no longer counts as large and its pages stay with the
    // process): blocks from 256 KiB are mapped and unmapped, and an arena gives back a free top
    // past 4 MiB.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    ::mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
#endif
}

void releaseFreeMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

}  // namespace qm
