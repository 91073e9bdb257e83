#pragma once

namespace platform::ml {

// Which processing units a model may use; the raw values are the platform's.
enum class MLComputeUnits : int { cpuOnly = 0, cpuAndGPU = 1, all = 2, cpuAndNeuralEngine = 3 };

struct MLModelConfiguration {
  MLComputeUnits computeUnits = MLComputeUnits::all;
};

// Options of one prediction; none are needed yet.
struct MLPredictionOptions {};

}  // namespace platform::ml
