#include "tools/kestrune/LiveCommands.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/Audio/AudioStreamTranscriber.hpp"
#include "OrvaneCore/Logging.hpp"
#include "tools/kestrune/CommandFailure.hpp"
#include "tools/kestrune/EngineSetup.hpp"
#include "tools/kestrune/LivePrinter.hpp"

namespace kestrune::cli {

namespace {

std::atomic<bool> stopRequested = false;

extern "C" void requestStop(int) {
  stopRequested = true;
}

// Keeps the engine's error lines while it lives: the stream transcriber
// logs its failures instead of throwing them.
class ErrorLines {
 public:
  ErrorLines() {
    orvane::Logging::updateLogLevel(orvane::Logging::LogLevel::error);
    orvane::Logging::updateCallback([this](const std::string& line) {
      std::lock_guard guard(lock_);
      last_ = line;
    });
  }
  ~ErrorLines() {
    orvane::Logging::updateLogLevel(orvane::Logging::LogLevel::none);
    orvane::Logging::updateCallback(nullptr);
  }
  std::string last() const {
    std::lock_guard guard(lock_);
    return last_;
  }

 private:
  mutable std::mutex lock_;
  std::string last_;
};

// The sound system's libraries report every device they probe and fail to
// open straight to file descriptor 2; while devices are listed that chatter
// goes to /dev/null so that our own lines stay readable.
class QuietStandardError {
 public:
  QuietStandardError() {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && sink >= 0) ::dup2(sink, STDERR_FILENO);
    if (sink >= 0) ::close(sink);
  }
  ~QuietStandardError() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
    }
  }
  QuietStandardError(const QuietStandardError&) = delete;
  QuietStandardError& operator=(const QuietStandardError&) = delete;

 private:
  int saved_ = -1;
};

std::vector<AudioDevice> audioDevices() {
  const QuietStandardError quiet;
  return AudioProcessor::getAudioDevices();
}

}  // namespace

int runDevices(std::ostream& out, std::ostream& err) {
  const auto devices = audioDevices();
  if (devices.empty()) err << "kestrune: no audio input devices found\n";
  for (const auto& device : devices) out << device.id << '\t' << device.name << '\n';
  return 0;
}

int runLive(const LiveSettings& settings, std::ostream& out, std::ostream& err) {
  const auto devices = audioDevices();
  if (devices.empty()) throw CommandFailure("no audio input devices found");
  if (settings.device &&
      std::none_of(devices.begin(), devices.end(),
                   [&](const AudioDevice& device) { return device.id == *settings.device; })) {
    throw CommandFailure("no audio input device " + std::to_string(*settings.device) +
                         "; `kestrune devices` lists them");
  }
  const auto engine = loadEngine(settings.model);
  const DecodingOptions options{
      .task = settings.task == "translate" ? DecodingTask::translate : DecodingTask::transcribe,
      .language = settings.language,
      .detectLanguage = !settings.language.has_value(),
      .skipSpecialTokens = true,
  };
  LivePrinter printer(out, settings.refreshTail);
  ErrorLines errors;
  AudioStreamTranscriber transcriber(
      engine->audioEncoder(), engine->featureExtractor(), engine->segmentSeeker(),
      engine->textDecoder(), engine->tokenizer(), engine->audioProcessor(), options, 2, 0.3f, 60,
      true, [&printer](const auto&, const auto& state) { printer.show(state); });

  stopRequested = false;
  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  std::atomic<bool> running = true;
  std::thread watcher([&] {
    const auto start = std::chrono::steady_clock::now();
    while (running) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (stopRequested || (settings.seconds && elapsed >= *settings.seconds)) {
        stopRequested = true;
        // Again while needed: a stop that comes before the recording has
        // started would otherwise be overtaken by the start.
        if (transcriber.state().isRecording) transcriber.stopStreamTranscription();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  err << "kestrune: listening; press Ctrl-C to stop\n" << std::flush;
  transcriber.startStreamTranscription(settings.device);
  running = false;
  watcher.join();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  printer.close(transcriber.state());
  if (!stopRequested) {
    const std::string reason = errors.last();
    throw CommandFailure("live transcription stopped: " +
                         (reason.empty() ? std::string("the recording ended") : reason));
  }
  return 0;
}

}  // namespace kestrune::cli
