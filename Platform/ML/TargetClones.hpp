#pragma once

// Compiles a function for AVX-512, AVX2 and plain x86-64, chosen when the
// program starts. The sanitizers' runtimes are not ready when those choices
// are made (ThreadSanitizer crashes), so sanitized builds get one version.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || !defined(__x86_64__)
#define KESTRUNE_TARGET_CLONES
#else
#define KESTRUNE_TARGET_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace platform::ml {

// Whether the CPU converts half floats in hardware. __builtin_cpu_supports
// names "f16c" only in GCC and recent clang; CPUID leaf 1 tells it for any
// compiler.
inline bool cpuSupportsF16C() noexcept {
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
#else
  return false;
#endif
}

}  // namespace platform::ml
