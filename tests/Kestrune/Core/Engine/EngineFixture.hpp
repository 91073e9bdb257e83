#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "Kestrune/Core/Kestrune.hpp"
#include "tests/Kestrune/Core/Engine/ScriptedStages.hpp"

namespace kestrune::testing {

// A folder holding empty stand-ins of the named compiled models.
class ModelFolder {
 public:
  explicit ModelFolder(const std::vector<std::string>& models = {"MelSpectrogram", "AudioEncoder",
                                                                 "TextDecoder"}) {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("kestrune-engine-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
    for (const auto& model : models)
      std::filesystem::create_directories(path_ / (model + ".mlmodelc"));
  }
  ~ModelFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ModelFolder(const ModelFolder&) = delete;
  ModelFolder& operator=(const ModelFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// An engine whose tokenizer step hands out a fake tokenizer, so scripted
// stages can be transcribed without tokenizer files. Observes model states
// from the very first step of construction.
class ScriptedEngine : public Kestrune {
 public:
  std::vector<std::pair<std::optional<ModelState>, ModelState>> states;

  void loadTokenizerIfNeeded() override {
    if (tokenizer()) return;
    setTokenizer(std::make_shared<FakeTokenizer>());
    textDecoder()->setTokenizer(tokenizer());
  }

 protected:
  friend class Kestrune;
  explicit ScriptedEngine(const KestruneConfig& config) : Kestrune(config) {
    setModelStateCallback(
        [this](std::optional<ModelState> from, ModelState to) { states.emplace_back(from, to); });
  }
};

// Scripted stages and a model folder for them.
struct EngineParts {
  ModelFolder folder;
  std::shared_ptr<ScriptedFeatureExtractor> extractor =
      std::make_shared<ScriptedFeatureExtractor>();
  std::shared_ptr<ScriptedAudioEncoder> encoder = std::make_shared<ScriptedAudioEncoder>();
  std::shared_ptr<ScriptedTextDecoder> decoder = std::make_shared<ScriptedTextDecoder>();
  std::shared_ptr<ScriptedSegmentSeeker> seeker = std::make_shared<ScriptedSegmentSeeker>();

  KestruneConfig config() const {
    KestruneConfig config;
    config.modelFolder = folder.path().string();
    config.featureExtractor = extractor;
    config.audioEncoder = encoder;
    config.textDecoder = decoder;
    config.segmentSeeker = seeker;
    return config;
  }
  std::shared_ptr<ScriptedEngine> engine() const {
    return Kestrune::create<ScriptedEngine>(config());
  }
};

inline std::string errorTextOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

}  // namespace kestrune::testing
