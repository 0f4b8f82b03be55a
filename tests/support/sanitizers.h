// Whether this test binary runs under AddressSanitizer or ThreadSanitizer:
// some tests shrink their load there, or leave to the plain build what the
// sanitizer runtimes cannot take part in.
#pragma once

namespace kv::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace kv::testing
