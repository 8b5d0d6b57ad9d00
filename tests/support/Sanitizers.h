#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <string>

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

// Why a test that runs the real password check (pam_unix) cannot run in this build, or nothing.
// AddressSanitizer binds its crypt_r interceptor at start-up; when libcrypt only arrives later
// with pam_unix, the interceptor calls a null pointer. Such a build must link libcrypt up front.
inline std::string sanitizerReasonToSkipPam() {
#if defined(__SANITIZE_ADDRESS__)
    void* crypt = ::dlopen("libcrypt.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (!crypt) return "this AddressSanitizer build does not load libcrypt at start-up (link it with -lcrypt)";
    ::dlclose(crypt);
#endif
    return {};
}

// A sanitized Host keeps what it frees in quarantine (256 MB by default), which would count as
// its memory: called before a Host is started, it gives that Host almost none, so its resident
// size says what it holds.
inline void keepLittleInQuarantine() {
    if (!runsUnderAddressSanitizer) return;
    const char* options = std::getenv("ASAN_OPTIONS");
    const std::string kept = options && *options ? std::string(options) + ":" : std::string();
    ::setenv("ASAN_OPTIONS", (kept + "quarantine_size_mb=1").c_str(), 1);
}

}  // namespace qm::test
