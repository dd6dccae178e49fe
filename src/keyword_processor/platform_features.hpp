// Which platform-specific fast paths this build uses. Every one of them has a portable path beside
// it that gives the same results; building with WORDSIEVE_PORTABLE_ONLY defined switches all of them
// off, so that the portable paths can be built and tested on any machine.
//
//   WORDSIEVE_SSE2        SSE2 intrinsics may be used unconditionally (every x86-64 processor).
//   WORDSIEVE_AVX2        AVX2 code may be compiled (with a target attribute) and chosen at run
//                         time, where the processor reports it.
//   WORDSIEVE_NEON        NEON intrinsics may be used unconditionally (every AArch64 processor).
//   WORDSIEVE_STATIC_TLS  the thread-local variables read on hot paths are placed in the static
//                         TLS block (ELF initial-exec). Only glibc reserves room for that in modules
//                         loaded at run time; musl refuses to load such a module, and the Mach-O and
//                         Windows loaders have their own models.
#pragma once

#include <cstddef>  // defines __GLIBC__ where the C library is glibc

#if !defined(WORDSIEVE_PORTABLE_ONLY)

#if defined(__x86_64__) || defined(_M_X64)
#define WORDSIEVE_SSE2 1
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define WORDSIEVE_AVX2 1
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
#define WORDSIEVE_NEON 1
#endif

#if defined(__linux__) && defined(__GLIBC__) && defined(__GNUC__)
#define WORDSIEVE_STATIC_TLS 1
#endif

#endif  // !WORDSIEVE_PORTABLE_ONLY

// A thread-local variable read on a hot path, in the static TLS block where that is sound (see
// WORDSIEVE_STATIC_TLS): one load instead of a call to the dynamic TLS lookup. glibc also allocates
// a dynamic slot lazily on a thread's first use and aborts the process when that allocation fails.
#if defined(WORDSIEVE_STATIC_TLS)
#define WORDSIEVE_FAST_THREAD_LOCAL __attribute__((tls_model("initial-exec"))) thread_local
#else
#define WORDSIEVE_FAST_THREAD_LOCAL thread_local
#endif

// Keeps a rarely taken function out of line on compilers that know how.
#if defined(__GNUC__) || defined(__clang__)
#define WORDSIEVE_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define WORDSIEVE_NOINLINE __declspec(noinline)
#else
#define WORDSIEVE_NOINLINE
#endif

// Keeps a function that names one part of a hot loop inlined into the loop, on compilers that know
// how: splitting the loop's body into named parts then costs nothing.
#if defined(__GNUC__) || defined(__clang__)
#define WORDSIEVE_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define WORDSIEVE_ALWAYS_INLINE __forceinline
#else
#define WORDSIEVE_ALWAYS_INLINE inline
#endif
