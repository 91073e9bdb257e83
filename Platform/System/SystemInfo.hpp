#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Facts about the machine, read from Linux sources. Each is read once and
// kept; an unknown value is empty.
struct SystemInfo {
  std::string hwModel;    // DMI product name, the counterpart of "hw.model"
  std::string processor;  // "model name" of /proc/cpuinfo
  std::string cores;      // physical cores
  std::string threads;    // logical processors
  std::string vendor;     // "vendor_id"
  std::string family;     // "cpu family"

  static const SystemInfo& current();
};

// Processors this process may run on (its CPU affinity), at least 1.
int activeProcessorCount();

// Resident set size of this process in bytes; 0 when it cannot be read.
uint64_t residentMemoryBytes();

// Peak resident set size of this process in bytes; 0 when unknown.
uint64_t peakResidentMemoryBytes();

// Whether the CPU reports the named feature flag of /proc/cpuinfo ("avx512f").
bool cpuHasFlag(const std::string& flag);

}  // namespace platform
