#pragma once

namespace qm {

// How many CPUs the video road may keep busy at once: the CPUs this process may run on (its
// affinity mask, which a container or `taskset` narrows, unlike the machine's core count), or the
// number in the environment variable QUILLMERE_VIDEO_THREADS when that is a positive integer.
// Every video thread pool is sized from this, so that two CPUs are not crowded by eight threads.
int videoThreadBudget();

// The threads libx264 encodes one picture with: a small fixed number, so that the stream (which
// slices a picture per thread) does not depend on the machine, and never more than the budget.
int encoderThreadCount(int budget);

}  // namespace qm
