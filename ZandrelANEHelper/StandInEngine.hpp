#pragma once

#include "ZandrelANEHelper/HelperEngine.hpp"

namespace zandrel {

// Takes the engine's place until the engine itself is wired in: it checks the
// model folder exactly as model loading does, so start-up errors are the real
// ones, and answers every request with one empty result.
class StandInEngine : public HelperEngine {
 public:
  // Throws WhisperError::modelsUnavailable naming the first missing model.
  static std::unique_ptr<HelperEngine> build(const HelperConfiguration& configuration);

  std::vector<EngineResult> transcribe(std::span<const float> samples,
                                       const std::string& language) override;
};

}  // namespace zandrel
