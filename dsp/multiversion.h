#pragma once
// ORMELIN_WIDE_VECTORS marks a hot loop for GCC function multi-versioning: an AVX2 copy and the baseline x86-64
// copy, chosen once at load time by the CPU, so the default build and the package run on every x86-64 machine
// and still use the wider vectors where the CPU has them.
//
// The choice is made by an ifunc resolver that the dynamic loader runs before any constructor, the sanitizers'
// start-up included; under ThreadSanitizer (and with AddressSanitizer on some loaders) the resolver then runs
// against an uninitialised runtime and the program dies before main. Sanitizer builds check the code, not its
// speed, so they get the baseline copy only.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORMELIN_NO_MULTIVERSION 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define ORMELIN_NO_MULTIVERSION 1
#endif
#endif

// ORMELIN_WIDEST_VECTORS adds an AVX-512 copy, for loops written on eight-double vectors (which the AVX2 copy runs
// as register pairs, so it loses nothing there).
#if defined(ORMELIN_NO_MULTIVERSION) || !defined(__x86_64__) || !defined(__GNUC__)
#define ORMELIN_WIDE_VECTORS
#define ORMELIN_WIDEST_VECTORS
#else
#define ORMELIN_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#define ORMELIN_WIDEST_VECTORS __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
