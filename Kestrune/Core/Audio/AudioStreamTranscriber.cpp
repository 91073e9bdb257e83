#include "Kestrune/Core/Audio/AudioStreamTranscriber.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/TranscribeTask.hpp"
#include "Kestrune/Utilities/TextUtilities.hpp"
#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/TypedError.hpp"

namespace kestrune {

namespace {

constexpr auto idlePause = std::chrono::milliseconds(100);

bool containsRun(const std::vector<TranscriptionSegment>& all,
                 const std::vector<TranscriptionSegment>& run) {
  return std::search(all.begin(), all.end(), run.begin(), run.end()) != all.end();
}

}  // namespace

// Runs posted updates one at a time on a thread of its own, in the order
// they were posted, so that the capture thread and the decoder never wait
// for the state lock or for the state callback.
class AudioStreamTranscriber::SerialQueue {
 public:
  SerialQueue() : worker_([this] { run(); }) {}
  ~SerialQueue() { close(); }
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void post(std::function<void()> job) {
    {
      std::lock_guard guard(lock_);
      if (closed_) return;
      jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
  }

  // Runs what was posted so far, then drops every later post.
  void close() {
    {
      std::lock_guard guard(lock_);
      closed_ = true;
    }
    changed_.notify_all();
    if (!worker_.joinable()) return;
    // The last owner may let go from inside a job.
    if (worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();
    } else {
      worker_.join();
    }
  }

 private:
  void run() {
    std::unique_lock guard(lock_);
    while (true) {
      changed_.wait(guard, [&] { return !jobs_.empty() || closed_; });
      if (jobs_.empty()) return;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
      guard.unlock();
      job();
      guard.lock();
      busy_ = false;
      changed_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
  bool busy_ = false;
  bool closed_ = false;
  std::thread worker_;
};

AudioStreamTranscriber::AudioStreamTranscriber(std::shared_ptr<AudioEncoding> audioEncoder,
                                               std::shared_ptr<FeatureExtracting> featureExtractor,
                                               std::shared_ptr<SegmentSeeking> segmentSeeker,
                                               std::shared_ptr<TextDecoding> textDecoder,
                                               std::shared_ptr<const WhisperTokenizer> tokenizer,
                                               std::shared_ptr<AudioProcessing> audioProcessor,
                                               DecodingOptions decodingOptions,
                                               int requiredSegmentsForConfirmation,
                                               float silenceThreshold, int compressionCheckWindow,
                                               bool useVAD, StateChangeCallback stateChangeCallback)
    : AudioStreamTranscriber(nullptr, std::move(audioProcessor), std::move(decodingOptions),
                             requiredSegmentsForConfirmation, silenceThreshold,
                             compressionCheckWindow, useVAD, std::move(stateChangeCallback)) {
  transcribeTask_ = std::make_shared<TranscribeTask>(
      TranscriptionTimings{}, nullptr, audioProcessor_, std::move(audioEncoder),
      std::move(featureExtractor), std::move(segmentSeeker), std::move(textDecoder),
      std::move(tokenizer));
}

AudioStreamTranscriber::AudioStreamTranscriber(std::shared_ptr<TranscribeTask> transcribeTask,
                                               std::shared_ptr<AudioProcessing> audioProcessor,
                                               DecodingOptions decodingOptions,
                                               int requiredSegmentsForConfirmation,
                                               float silenceThreshold, int compressionCheckWindow,
                                               bool useVAD, StateChangeCallback stateChangeCallback)
    : transcribeTask_(std::move(transcribeTask)),
      audioProcessor_(audioProcessor ? std::move(audioProcessor)
                                     : std::make_shared<AudioProcessor>()),
      decodingOptions_(std::move(decodingOptions)),
      requiredSegmentsForConfirmation_(std::max(requiredSegmentsForConfirmation, 0)),
      silenceThreshold_(silenceThreshold),
      compressionCheckWindow_(compressionCheckWindow),
      useVAD_(useVAD),
      stateChangeCallback_(std::move(stateChangeCallback)) {
  recordPermission_ = [processor = std::weak_ptr<AudioProcessing>(audioProcessor_)] {
    const auto held = processor.lock();
    const auto* own = dynamic_cast<const AudioProcessor*>(held.get());
    return own ? own->hasRecordPermission() : true;
  };
}

AudioStreamTranscriber::~AudioStreamTranscriber() {
  // The capture callback refers to this object.
  if (state().isRecording) audioProcessor_->stopRecording();
}

AudioStreamTranscriber::State AudioStreamTranscriber::state() const {
  std::lock_guard guard(stateLock_);
  return state_;
}

void AudioStreamTranscriber::setRecordPermissionRequest(PermissionRequest request) {
  recordPermission_ = std::move(request);
}

void AudioStreamTranscriber::updateState(const std::function<void(State&)>& change) {
  std::lock_guard serial(updateLock_);
  State oldState;
  State newState;
  {
    std::lock_guard guard(stateLock_);
    oldState = state_;
    change(state_);
    newState = state_;
  }
  if (stateChangeCallback_) stateChangeCallback_(oldState, newState);
}

void AudioStreamTranscriber::startStreamTranscription(std::optional<uint32_t> inputDeviceID) {
  if (state().isRecording) return;
  if (recordPermission_ && !recordPermission_()) {
    orvane::Logging::error("Microphone access was not granted.");
    return;
  }
  updateState([](State& state) { state.isRecording = true; });
  auto updates = std::make_shared<SerialQueue>();
  {
    std::lock_guard guard(stateLock_);
    updates_ = updates;
  }
  const auto finish = [&] {
    {
      std::lock_guard guard(stateLock_);
      updates_.reset();
    }
    // The capture callback keeps the queue; closed, it takes no more work.
    updates->close();
  };

  try {
    audioProcessor_->startRecordingLive(inputDeviceID, [this, updates](const std::vector<float>&) {
      updates->post([this] {
        const auto energy = audioProcessor_->relativeEnergy();
        updateState([&](State& state) { state.bufferEnergy = energy; });
      });
    });
  } catch (const std::exception& failure) {
    orvane::Logging::error("Error: " + orvane::errorText(failure));
    updateState([](State& state) { state.isRecording = false; });
    finish();
    return;
  }

  while (state().isRecording) {
    try {
      transcribeCurrentBuffer();
    } catch (const std::exception& failure) {
      orvane::Logging::error("Error: " + orvane::errorText(failure));
      // A recording nobody transcribes any more is of no use.
      stopStreamTranscription();
      break;
    }
  }
  finish();
  orvane::Logging::info("Realtime transcription has started");
}

void AudioStreamTranscriber::stopStreamTranscription() {
  updateState([](State& state) { state.isRecording = false; });
  audioProcessor_->stopRecording();
  orvane::Logging::info("Realtime transcription has ended");
}

void AudioStreamTranscriber::showWaiting() {
  if (state().currentText.empty()) {
    updateState([](State& state) {
      if (state.currentText.empty()) state.currentText = waitingText;
    });
  }
  std::this_thread::sleep_for(idlePause);
}

void AudioStreamTranscriber::transcribeCurrentBuffer() {
  // The recording only grows while we wait for speech; count it without
  // copying and take the samples once a pass will really run.
  const size_t available = audioProcessor_->audioSampleCount();
  const size_t handedOver = std::min(state().lastBufferSize, available);
  const float newSeconds =
      static_cast<float>(available - handedOver) / static_cast<float>(AudioProcessor::sampleRate);
  if (newSeconds <= 1.0f) return showWaiting();
  if (useVAD_ && !AudioProcessor::isVoiceDetected(audioProcessor_->relativeEnergy(), newSeconds,
                                                  silenceThreshold_)) {
    orvane::Logging::debug("No voice detected, skipping transcribe");
    return showWaiting();
  }

  const std::vector<float> samples = audioProcessor_->audioSamples();
  float clipFrom = 0.0f;
  updateState([&](State& state) {
    state.lastBufferSize = samples.size();
    clipFrom = state.lastConfirmedSegmentEndSeconds;
  });
  DecodingOptions options = decodingOptions_;
  options.clipTimestamps = {clipFrom};

  std::shared_ptr<SerialQueue> updates;
  {
    std::lock_guard guard(stateLock_);
    updates = updates_;
  }
  const TranscriptionCallback callback = [this, updates](const TranscriptionProgress& progress) {
    if (updates) {
      updates->post([this, progress] { applyProgress(progress); });
    } else {
      applyProgress(progress);
    }
    return earlyStopAnswer(progress);
  };
  const auto result = transcribeTask_->run(samples, options, callback);
  applySegments(result ? result->segments() : std::vector<TranscriptionSegment>{});
}

void AudioStreamTranscriber::applySegments(const std::vector<TranscriptionSegment>& segments) {
  const auto required = static_cast<size_t>(requiredSegmentsForConfirmation_);
  updateState([&](State& state) {
    state.currentText.clear();
    state.unconfirmedText.clear();
    if (segments.size() <= required) {
      state.unconfirmedSegments = segments;
      return;
    }
    const auto split = segments.end() - static_cast<ptrdiff_t>(required);
    const std::vector<TranscriptionSegment> confirmed(segments.begin(), split);
    if (confirmed.back().end > state.lastConfirmedSegmentEndSeconds) {
      state.lastConfirmedSegmentEndSeconds = confirmed.back().end;
      if (!containsRun(state.confirmedSegments, confirmed)) {
        state.confirmedSegments.insert(state.confirmedSegments.end(), confirmed.begin(),
                                       confirmed.end());
      }
    }
    state.unconfirmedSegments.assign(split, segments.end());
  });
}

void AudioStreamTranscriber::applyProgress(const TranscriptionProgress& progress) {
  const int fallbacks = static_cast<int>(progress.timings.totalDecodingFallbacks);
  updateState([&](State& state) {
    if (progress.text.size() < state.currentText.size()) {
      if (fallbacks == state.currentFallbacks) {
        state.unconfirmedText.push_back(state.currentText);
      } else {
        orvane::Logging::info("Fallback occured: " + std::to_string(fallbacks));
      }
    }
    state.currentText = progress.text;
    state.currentFallbacks = fallbacks;
  });
}

std::optional<bool> AudioStreamTranscriber::earlyStopAnswer(
    const TranscriptionProgress& progress) const {
  const auto window = static_cast<size_t>(std::max(compressionCheckWindow_, 0));
  if (progress.tokens.size() > window) {
    const std::vector<int64_t> recent(progress.tokens.end() - static_cast<ptrdiff_t>(window),
                                      progress.tokens.end());
    if (TextUtilities::compressionRatio(recent) >
        decodingOptions_.compressionRatioThreshold.value_or(0.0f)) {
      return false;
    }
  }
  if (progress.avgLogprob && decodingOptions_.logProbThreshold &&
      *progress.avgLogprob < *decodingOptions_.logProbThreshold) {
    return false;
  }
  return std::nullopt;
}

}  // namespace kestrune
