#pragma once

#include <memory>

#include "ZandrelANEHelper/HelperEngine.hpp"

namespace kestrune {
class Kestrune;
}

namespace zandrel {

// The helper's engine: a Kestrune engine built once from the helper's fixed
// configuration, asked for one transcription per request.
class KestruneHelperEngine : public HelperEngine {
 public:
  // Builds, prewarms and loads the engine; throws the engine's error.
  static std::unique_ptr<HelperEngine> build(const HelperConfiguration& configuration);

  explicit KestruneHelperEngine(std::shared_ptr<kestrune::Kestrune> engine);

  std::vector<EngineResult> transcribe(std::span<const float> samples,
                                       const std::string& language) override;

 private:
  std::shared_ptr<kestrune::Kestrune> engine_;
};

}  // namespace zandrel
