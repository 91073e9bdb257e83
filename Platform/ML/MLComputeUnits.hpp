#pragma once

#include <string_view>

namespace platform::ml {

// Which processing units a model may use; the raw values are the platform's.
enum class MLComputeUnits : int { cpuOnly = 0, cpuAndGPU = 1, all = 2, cpuAndNeuralEngine = 3 };

// The units' name as the platform spells it, for messages and logs.
constexpr std::string_view computeUnitsName(MLComputeUnits units) noexcept {
  switch (units) {
    case MLComputeUnits::cpuOnly: return "cpuOnly";
    case MLComputeUnits::cpuAndGPU: return "cpuAndGPU";
    case MLComputeUnits::all: return "all";
    case MLComputeUnits::cpuAndNeuralEngine: return "cpuAndNeuralEngine";
  }
  return "unknown";
}

struct MLModelConfiguration {
  MLComputeUnits computeUnits = MLComputeUnits::all;
};

// Options of one prediction; none are needed yet.
struct MLPredictionOptions {};

}  // namespace platform::ml
