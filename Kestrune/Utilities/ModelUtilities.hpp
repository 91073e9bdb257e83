#pragma once

#include <filesystem>
#include <string_view>

#include "Kestrune/Core/ModelVariant.hpp"

// Helpers about models: which variant a loaded model is, and where a model
// lies in a model folder. More helpers join this namespace as they are needed.
namespace kestrune::ModelUtilities {

// The variant a model pair reveals through the decoder's vocabulary size and
// the encoder's embedding size. Never fails: an unknown vocabulary logs an
// error and gives `base`.
ModelVariant detectVariant(int logitsDim, int encoderDim);

// Where the model `name` is looked for in `folder`: the compiled
// "<name>.mlmodelc", unless only a package's model file exists, in which case
// that file. The result need not exist; callers check.
std::filesystem::path detectModelURL(const std::filesystem::path& folder, std::string_view name);

}  // namespace kestrune::ModelUtilities
