// Whether this test build runs under AddressSanitizer or ThreadSanitizer, which need address space
// beyond any small limit a test sets and do not fail thread creation quietly.
#ifndef FLOWSENTRY_PLATFORM_TESTING_SANITIZERS_H_
#define FLOWSENTRY_PLATFORM_TESTING_SANITIZERS_H_

namespace flowsentry::testing {

#if defined(__has_feature)  // clang names its sanitizers this way, GCC with the macros below
#define FLOWSENTRY_CLANG_SANITIZED \
  (__has_feature(address_sanitizer) || __has_feature(thread_sanitizer))
#else
#define FLOWSENTRY_CLANG_SANITIZED 0
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || FLOWSENTRY_CLANG_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#undef FLOWSENTRY_CLANG_SANITIZED

}  // namespace flowsentry::testing

#endif  // FLOWSENTRY_PLATFORM_TESTING_SANITIZERS_H_
