#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zandrel {

// What the helper asks of its engine, kept small so that the engine behind it
// can be exchanged without touching the protocol code.

// Compute units in the model runtime's numbering.
enum class ComputeUnits : int { cpuOnly = 0, cpuAndGPU = 1, all = 2, cpuAndNeuralEngine = 3 };

// The engine configuration. The helper always serves one fixed model from a
// local folder; only the folder comes from outside.
struct HelperConfiguration {
  std::string model = "large-v3-v20240930";
  std::string modelFolder;
  ComputeUnits melCompute = ComputeUnits::cpuAndGPU;
  ComputeUnits audioEncoderCompute = ComputeUnits::cpuAndNeuralEngine;
  ComputeUnits textDecoderCompute = ComputeUnits::cpuAndNeuralEngine;
  bool verbose = false;  // keeps the engine's own logging silent
  bool prewarm = true;
  bool load = true;
  bool download = true;  // without effect: a model folder is always given
  bool useBackgroundDownloadSession = false;
};

struct EngineWordTiming {
  std::string word;
  float start = 0;
  float end = 0;
  float probability = 0;
};

struct EngineSegment {
  // Absent when the segment carries no word timings.
  std::optional<std::vector<EngineWordTiming>> words;
};

struct EngineResult {
  std::string text;
  std::vector<EngineSegment> segments;
};

class HelperEngine {
 public:
  virtual ~HelperEngine() = default;
  // Transcribes 16 kHz mono samples in `language` ("en" unless the request
  // named one; passed on as given). Throws the engine's error on failure.
  virtual std::vector<EngineResult> transcribe(std::span<const float> samples,
                                               const std::string& language) = 0;
};

// Builds, prewarms and loads an engine; throws the engine's error on failure.
using EngineBuilder = std::function<std::unique_ptr<HelperEngine>(const HelperConfiguration&)>;

}  // namespace zandrel
