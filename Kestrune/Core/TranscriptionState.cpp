#include "Kestrune/Core/TranscriptionState.hpp"

namespace kestrune {

std::string_view description(TranscriptionState state) {
  switch (state) {
    case TranscriptionState::convertingAudio: return "Converting Audio";
    case TranscriptionState::transcribing: return "Transcribing";
    case TranscriptionState::finished: return "Finished";
  }
  return "Finished";
}

}  // namespace kestrune
