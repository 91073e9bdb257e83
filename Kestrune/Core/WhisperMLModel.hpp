#pragma once

#include <filesystem>
#include <memory>

#include "OrvaneCore/ModelState.hpp"
#include "Platform/ML/MLModel.hpp"

namespace kestrune {

// A holder of one loaded model: the feature extractor, the audio encoder
// and the text decoder each hold theirs through this interface.
class WhisperMLModel {
 public:
  virtual ~WhisperMLModel() = default;

  virtual std::shared_ptr<const platform::ml::MLModel> model() const = 0;
  virtual void setModel(std::shared_ptr<const platform::ml::MLModel> model) = 0;

  // Loads the compiled model at `at` for `computeUnits` and holds it; a
  // prewarm only loads it once (so that it is prepared) and holds nothing.
  // Load errors pass up unchanged.
  virtual void loadModel(const std::filesystem::path& at, platform::ml::MLComputeUnits computeUnits,
                         bool prewarmMode = false) {
    auto loaded = platform::ml::MLModel::load(at, platform::ml::MLModelConfiguration{computeUnits});
    setModel(prewarmMode ? nullptr : std::move(loaded));
  }
  virtual void unloadModel() { setModel(nullptr); }

  orvane::ModelState modelState() const {
    return model() ? orvane::ModelState::loaded : orvane::ModelState::unloaded;
  }
};

}  // namespace kestrune
