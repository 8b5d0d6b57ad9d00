#pragma once

namespace qm {

// Sets the allocator up for a process whose large users come and go (a video session's pictures
// and encoder, a file transfer's buffers): a few shared arenas instead of one per thread that ever
// allocated, and blocks of a picture's size taken from the system and given back when freed,
// rather than kept in an arena's free top where no trim reaches them. Call once, before threads
// start.
void configureAllocatorForLongRuns();

// Hands memory the allocator holds free (in every arena) back to the system. Takes a few
// milliseconds with a large heap: call it off the queues that serve Viewers.
void releaseFreeMemory();

}  // namespace qm
