#pragma once
// MURLO_TSAN is 1 in a ThreadSanitizer build (GCC or clang), 0 otherwise: some
// tests (fork with locks held) cannot run under it.

#if defined(__SANITIZE_THREAD__)
#define MURLO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MURLO_TSAN 1
#endif
#endif
#ifndef MURLO_TSAN
#define MURLO_TSAN 0
#endif
