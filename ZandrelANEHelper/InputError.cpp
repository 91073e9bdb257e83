#include "ZandrelANEHelper/InputError.hpp"

namespace zandrel {

std::string_view InputError::caseName(Case kind) {
  switch (kind) {
    case Case::endOfFile: return "endOfFile";
    case Case::invalidUTF8: return "invalidUTF8";
    case Case::oversizedLine: return "oversizedLine";
    case Case::invalidSampleCount: return "invalidSampleCount";
  }
  return "unknown";
}

InputError::InputError(Case kind) : TypedError(std::string(caseName(kind)), {}), kind_(kind) {}

std::string InputError::errorDescription() const {
  switch (kind_) {
    case Case::endOfFile: return "Standard input ended";
    case Case::invalidUTF8: return "Request line is not valid UTF-8";
    case Case::oversizedLine: return "Request line exceeds 65536 bytes";
    case Case::invalidSampleCount: return "Invalid sample count";
  }
  return {};
}

}  // namespace zandrel
