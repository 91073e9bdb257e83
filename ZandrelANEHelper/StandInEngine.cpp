#include "ZandrelANEHelper/StandInEngine.hpp"

#include <filesystem>
#include <system_error>

#include "Kestrune/Utilities/ModelUtilities.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"

namespace zandrel {

std::unique_ptr<HelperEngine> StandInEngine::build(const HelperConfiguration& configuration) {
  const std::filesystem::path folder(configuration.modelFolder);
  for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
    const auto path = kestrune::ModelUtilities::detectModelURL(folder, name);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
      throw kestrune::WhisperError::modelsUnavailable("Model file not found at " + path.string());
    }
  }
  return std::make_unique<StandInEngine>();
}

std::vector<EngineResult> StandInEngine::transcribe(std::span<const float>, const std::string&) {
  return {EngineResult{}};
}

}  // namespace zandrel
