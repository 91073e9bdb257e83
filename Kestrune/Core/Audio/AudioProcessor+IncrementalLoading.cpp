#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>

#include "Kestrune/Core/Audio/AudioChunker.hpp"
#include "Kestrune/Core/Audio/AudioProcessor+IncrementalLoading.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/TypedError.hpp"

namespace kestrune {

IncrementalLoadController::IncrementalLoadController(int maxBufferedChunks)
    : maxBufferedChunks_(maxBufferedChunks) {}

void IncrementalLoadController::requestChunkSlot() {
  std::unique_lock lock(mutex_);
  if (isTerminated_) return;
  if (activeChunks_ >= maxBufferedChunks_) {
    const auto waiter = std::make_shared<Waiter>();
    waitingProducers_.push_back(waiter);
    resumed_.wait(lock, [&] { return waiter->resumed; });
    if (isTerminated_) return;
  }
  activeChunks_ += 1;
}

void IncrementalLoadController::signalChunkConsumed() {
  std::lock_guard lock(mutex_);
  if (activeChunks_ <= 0) return;
  const int previous = activeChunks_;
  activeChunks_ -= 1;
  if (!waitingProducers_.empty() && previous <= maxBufferedChunks_) {
    waitingProducers_.front()->resumed = true;
    waitingProducers_.pop_front();
    resumed_.notify_all();
  }
}

void IncrementalLoadController::resumeWaitingProducers() {
  std::lock_guard lock(mutex_);
  isTerminated_ = true;
  for (const auto& waiter : waitingProducers_) waiter->resumed = true;
  waitingProducers_.clear();
  resumed_.notify_all();
}

int IncrementalLoadController::activeChunks() const {
  std::lock_guard lock(mutex_);
  return activeChunks_;
}

size_t IncrementalLoadController::waitingProducerCount() const {
  std::lock_guard lock(mutex_);
  return waitingProducers_.size();
}

bool IncrementalLoadController::isTerminated() const {
  std::lock_guard lock(mutex_);
  return isTerminated_;
}

struct IncrementalFileStream::State {
  explicit State(int maxBufferedChunks)
      : controller(std::make_shared<IncrementalLoadController>(maxBufferedChunks)) {}

  const std::shared_ptr<IncrementalLoadController> controller;
  std::atomic<bool> cancelled{false};
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<IncrementalFileChunk> chunks;
  bool finished = false;
  std::exception_ptr error;

  void yield(IncrementalFileChunk chunk) {
    std::lock_guard lock(mutex);
    chunks.push_back(std::move(chunk));
    changed.notify_all();
  }
  void finish(std::exception_ptr failure = nullptr) {
    std::lock_guard lock(mutex);
    finished = true;
    error = std::move(failure);
    changed.notify_all();
  }
};

IncrementalFileStream::IncrementalFileStream(std::shared_ptr<State> state, std::thread producer)
    : state_(std::move(state)), producer_(std::move(producer)) {}

IncrementalFileStream::~IncrementalFileStream() {
  if (!state_) return;
  cancel();
  if (producer_.joinable()) producer_.join();
}

std::optional<IncrementalFileChunk> IncrementalFileStream::next() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return !state_->chunks.empty() || state_->finished; });
  if (!state_->chunks.empty()) {
    IncrementalFileChunk chunk = std::move(state_->chunks.front());
    state_->chunks.pop_front();
    return chunk;
  }
  if (state_->error) std::rethrow_exception(std::exchange(state_->error, nullptr));
  return std::nullopt;
}

void IncrementalFileStream::cancel() {
  state_->cancelled = true;
  state_->controller->resumeWaitingProducers();
  std::lock_guard lock(state_->mutex);
  state_->finished = true;
  state_->changed.notify_all();
}

size_t IncrementalFileStream::pendingChunkCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->chunks.size();
}

const IncrementalLoadController& IncrementalFileStream::controller() const {
  return *state_->controller;
}

namespace {

struct Cancelled {};

// Reads a file segment by segment into a pending array and hands out the
// chunks the chunker cuts from it, keeping back those that more audio could
// still change.
class IncrementalProducer {
 public:
  IncrementalProducer(IncrementalFileStream::State& state, ChannelMode channelMode,
                      double chunkDurationSeconds, int64_t maxChunkLength,
                      std::shared_ptr<const VoiceActivityDetector> vad)
      : state_(state),
        channelMode_(std::move(channelMode)),
        chunkDurationSeconds_(chunkDurationSeconds),
        maxChunkLength_(maxChunkLength),
        chunker_(16000, std::move(vad)) {}

  void run(const std::string& path) {
    platform::audio::AudioFile file = AudioProcessor::openAudioFile(path);
    duration_ = static_cast<double>(file.length()) / file.processingFormat().sampleRate;
    readMore(file, false);
    while (!pending_.empty()) {
      const std::vector<AudioChunk> chunks =
          chunker_.chunkAll(pending_, maxChunkLength_, std::nullopt);
      const size_t ready = fileEnded_ ? chunks.size() : settledChunkCount(chunks);
      if (ready == 0) {
        readMore(file, true);
        continue;
      }
      for (size_t index = 0; index < ready; ++index) emit(chunks[index]);
      if (fileEnded_) break;
      const AudioChunk& last = chunks[ready - 1];
      const auto consumed = static_cast<int64_t>(last.seekOffsetIndex +
                                                 static_cast<int64_t>(last.audioSamples.size()));
      pending_.erase(pending_.begin(), pending_.begin() + consumed);
      globalOffset_ += consumed;
      readMore(file, true);
    }
  }

 private:
  size_t settledChunkCount(const std::vector<AudioChunk>& chunks) const {
    const auto available = static_cast<int64_t>(pending_.size());
    size_t count = 0;
    while (count < chunks.size() && chunks[count].seekOffsetIndex + maxChunkLength_ <= available) {
      ++count;
    }
    return count;
  }

  // Appends segments until the pending audio exceeds one chunk or the file
  // ends; `atLeastOne` reads one segment even when it already does.
  void readMore(platform::audio::AudioFile& file, bool atLeastOne) {
    bool mustRead = atLeastOne;
    while (!fileEnded_ && (mustRead || static_cast<int64_t>(pending_.size()) <= maxChunkLength_)) {
      checkCancellation();
      const double end = std::min(nextStart_ + chunkDurationSeconds_, duration_);
      if (nextStart_ < end) {
        // The segments share one sample grid anchored at the file's start.
        const double rate = file.processingFormat().sampleRate;
        const auto startFrame = static_cast<int64_t>(std::trunc(nextStart_ * rate));
        const auto endFrame = std::min(file.length(), static_cast<int64_t>(std::trunc(end * rate)));
        AudioProcessor::appendSegment(file, channelMode_, 0, startFrame, endFrame, pending_);
      }
      nextStart_ = end;
      fileEnded_ = nextStart_ >= duration_;
      mustRead = false;
    }
  }

  void emit(const AudioChunk& chunk) {
    checkCancellation();
    state_.controller->requestChunkSlot();
    checkCancellation();
    const auto controller = state_.controller;
    auto signalled = std::make_shared<std::atomic<bool>>(false);
    state_.yield(
        IncrementalFileChunk{AudioChunk{chunk.seekOffsetIndex + globalOffset_, chunk.audioSamples},
                             [controller, signalled] {
                               if (!signalled->exchange(true)) controller->signalChunkConsumed();
                             }});
  }

  void checkCancellation() const {
    if (state_.cancelled) throw Cancelled{};
  }

  IncrementalFileStream::State& state_;
  const ChannelMode channelMode_;
  const double chunkDurationSeconds_;
  const int64_t maxChunkLength_;
  VADAudioChunker chunker_;
  std::vector<float> pending_;
  int64_t globalOffset_ = 0;
  double duration_ = 0;
  double nextStart_ = 0;
  bool fileEnded_ = false;
};

}  // namespace

IncrementalFileStream AudioProcessor::loadFileIncrementally(
    const std::string& fromPath, const ChannelMode& channelMode, double chunkDurationSeconds,
    int maxBufferedChunks, int64_t maxChunkLength,
    std::shared_ptr<const VoiceActivityDetector> vad) {
  if (!(std::isfinite(chunkDurationSeconds) && chunkDurationSeconds > 0)) {
    throw WhisperError::loadAudioFailed("Incremental chunk duration must be greater than 0");
  }
  if (maxBufferedChunks < 1) {
    throw WhisperError::loadAudioFailed("Incremental chunk buffer size must be greater than 0");
  }
  std::error_code error;
  if (!std::filesystem::exists(fromPath, error)) {
    throw WhisperError::loadAudioFailed("Audio file not found at path: " + fromPath);
  }
  auto state = std::make_shared<IncrementalFileStream::State>(maxBufferedChunks);
  std::thread producer([state, fromPath, channelMode, chunkDurationSeconds, maxChunkLength,
                        vad = std::move(vad)]() mutable {
    // The error is published only after its catch block is left, so that
    // the consumer holds the last reference to it.
    std::exception_ptr failure;
    try {
      IncrementalProducer(*state, channelMode, chunkDurationSeconds, maxChunkLength, std::move(vad))
          .run(fromPath);
    } catch (const Cancelled&) {
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure && !state->cancelled) {
      orvane::Logging::error("Error loading audio file incrementally: " +
                             orvane::errorText(failure));
      return state->finish(std::move(failure));
    }
    failure = nullptr;
    state->finish();
  });
  return IncrementalFileStream(std::move(state), std::move(producer));
}

}  // namespace kestrune
