#pragma once

// Compiles a function for AVX-512, AVX2 and plain x86-64, chosen when the
// program starts. The sanitizers' runtimes are not ready when those choices
// are made (ThreadSanitizer crashes), so sanitized builds get one version.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || !defined(__x86_64__)
#define KESTRUNE_TARGET_CLONES
#else
#define KESTRUNE_TARGET_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
