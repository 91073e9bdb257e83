#pragma once

#include <optional>
#include <ostream>
#include <string_view>

namespace orvane {

// Where a model, or the set of models of an engine, stands in its life.
enum class ModelState {
  unloading,
  unloaded,
  loading,
  loaded,
  prewarming,
  prewarmed,
  downloading,
  downloaded,
};

// "Unloading", "Unloaded", "Loading", "Loaded", "Specializing", "Specialized",
// "Downloading" or "Downloaded".
std::string_view description(ModelState state);
// True for the states that name an activity still in progress.
bool isBusy(ModelState state);

std::ostream& operator<<(std::ostream& out, ModelState state);

}  // namespace orvane
