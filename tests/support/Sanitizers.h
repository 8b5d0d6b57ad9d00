#pragma once

namespace qm::test {

// True in the AddressSanitizer build, where our own code runs several times slower and holds
// freed memory in quarantine: tests whose subject is a time or a memory figure say less there.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool runsUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool runsUnderAddressSanitizer = true;
#else
inline constexpr bool runsUnderAddressSanitizer = false;
#endif
#else
inline constexpr bool runsUnderAddressSanitizer = false;
#endif

// True in the ThreadSanitizer build (scripts/tsan): slower still than under AddressSanitizer.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool runsUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool runsUnderThreadSanitizer = true;
#else
inline constexpr bool runsUnderThreadSanitizer = false;
#endif
#else
inline constexpr bool runsUnderThreadSanitizer = false;
#endif

}  // namespace qm::test
