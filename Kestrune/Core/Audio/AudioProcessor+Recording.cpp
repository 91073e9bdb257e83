// Live capture through the platform's audio input. Until the capture engine
// is in place every start reports that no microphone can be used.

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"

namespace kestrune {

void AudioProcessor::startRecordingLive(std::optional<AudioDeviceID>, AudioBufferCallback) {
  throw WhisperError::microphoneUnavailable("Live audio capture is not available");
}

void AudioProcessor::pauseRecording() {}

void AudioProcessor::stopRecording() {}

void AudioProcessor::resumeRecordingLive(std::optional<AudioDeviceID>, AudioBufferCallback) {
  throw WhisperError::microphoneUnavailable("Live audio capture is not available");
}

}  // namespace kestrune
