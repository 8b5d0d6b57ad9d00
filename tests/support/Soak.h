#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qm::test {

class LiveServer;

// What the process holds at one point of a soak.
struct SoakSample {
    std::size_t cycle = 0;        // cycles completed when it was taken
    std::size_t descriptors = 0;  // entries of /proc/self/fd
    std::int64_t residentKB = 0;  // VmRSS
    std::int64_t heapInUseKB = 0; // what malloc has handed out and not had back
};

struct SoakReport {
    std::vector<SoakSample> samples;  // the first is taken after the warm-up, before cycle 1
    std::size_t cyclesRun = 0;
    std::string failure;  // empty when every cycle went through
};

// How much the samples may move and still count as flat. Descriptors must come back to the first
// sample's count (the Host closes its end of a socket on its network thread, so a sample waits a
// moment for that). Memory may move by a little as allocator caches settle, never by an amount
// that grows with the number of cycles: 2.7 kB kept per cycle would pass 1 MiB of heap within
// 400 cycles.
struct SoakTolerance {
    std::size_t descriptors = 0;
    std::int64_t heapInUseKB = 1024;
    std::int64_t residentKB = 4096;
};

std::size_t openDescriptors();
std::int64_t residentKilobytes();
std::int64_t heapInUseKilobytes();

// Runs `cycles` Viewer lifetimes against the live server, one after another on real sockets: a
// control connection signs in and opens its file channel with the token it was given, a video
// connection signs in, then all three leave (in an order that rotates: control first, video first,
// file channel first) and the cycle ends once every count in resourceCounts() is back at zero.
// Cycles run for `warmUpSeconds` before the first sample: a departed session's memory is held
// until its sign-in deadline timer would have fired, so memory reaches its steady level once the
// run is one sign-in timeout old (give the server a short one). Another sample is taken every
// `sampleEvery` cycles and handed to `onSample` as it is taken. Stops at the first cycle that does
// not go through.
SoakReport runSoak(LiveServer& live, std::size_t cycles, std::size_t sampleEvery, double warmUpSeconds,
                   const std::function<void(const SoakSample&)>& onSample = {});

// Empty when the samples are flat within the tolerance, else what moved. `judgeMemory` false
// leaves memory out (AddressSanitizer keeps freed memory in quarantine and has its own malloc).
std::string soakVerdict(const SoakReport& report, const SoakTolerance& tolerance, bool judgeMemory = true);

}  // namespace qm::test
