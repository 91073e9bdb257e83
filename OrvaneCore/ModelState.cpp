#include "OrvaneCore/ModelState.hpp"

namespace orvane {

std::string_view description(ModelState state) {
  switch (state) {
    case ModelState::unloading: return "Unloading";
    case ModelState::unloaded: return "Unloaded";
    case ModelState::loading: return "Loading";
    case ModelState::loaded: return "Loaded";
    case ModelState::prewarming: return "Specializing";
    case ModelState::prewarmed: return "Specialized";
    case ModelState::downloading: return "Downloading";
    case ModelState::downloaded: return "Downloaded";
  }
  return "Unknown";
}

bool isBusy(ModelState state) {
  switch (state) {
    case ModelState::unloading:
    case ModelState::loading:
    case ModelState::prewarming:
    case ModelState::downloading: return true;
    default: return false;
  }
}

std::ostream& operator<<(std::ostream& out, ModelState state) {
  return out << description(state);
}

}  // namespace orvane
