#pragma once

#include <string_view>

namespace kestrune {

enum class TranscriptionState { convertingAudio, transcribing, finished };

// "Converting Audio", "Transcribing" or "Finished".
std::string_view description(TranscriptionState state);

}  // namespace kestrune
