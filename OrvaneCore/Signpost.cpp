#include "OrvaneCore/Signpost.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "OrvaneCore/JSONWriter.hpp"

namespace orvane {

// A Chrome-trace file in the JSON array form: one async begin ("b") or end
// ("e") event per mark, so intervals may end on another thread than they
// began. The closing bracket is written when the sink goes away; viewers also
// accept a trace cut off without it.
class TraceSink {
 public:
  struct Key {};
  TraceSink(Key, std::FILE* file) : file_(file) {}

  static std::shared_ptr<TraceSink> open(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return nullptr;
    return std::make_shared<TraceSink>(Key{}, file);
  }

  // The sink named by KESTRUNE_TRACE_FILE, or none.
  static const std::shared_ptr<TraceSink>& processSink() {
    static const std::shared_ptr<TraceSink> sink = [] {
      const char* path = std::getenv("KESTRUNE_TRACE_FILE");
      return path != nullptr && *path != '\0' ? open(path) : nullptr;
    }();
    return sink;
  }

  ~TraceSink() { std::fputs(first_ ? "[]\n" : "\n]\n", file_.get()); }
  TraceSink(const TraceSink&) = delete;
  TraceSink& operator=(const TraceSink&) = delete;

  uint64_t nextId() { return ++lastId_; }

  void mark(char phase, std::string_view name, std::string_view category, uint64_t id,
            std::string_view message) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    JSONWriter event;
    event.beginObject()
        .field("name", name)
        .field("cat", category)
        .field("ph", std::string_view(&phase, 1))
        .field("id", id)
        .field("ts", static_cast<int64_t>(micros))
        .field("pid", static_cast<int64_t>(::getpid()))
        .field("tid", static_cast<int64_t>(::gettid()));
    if (!message.empty()) event.key("args").beginObject().field("message", message).endObject();
    event.endObject();
    std::lock_guard guard(lock_);
    std::fputs(first_ ? "[\n" : ",\n", file_.get());
    first_ = false;
    std::fputs(event.str().c_str(), file_.get());
    std::fflush(file_.get());
  }

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  std::atomic<uint64_t> lastId_{0};
  std::mutex lock_;
  bool first_ = true;
};

Signposter::Signposter(std::string subsystem, std::string category)
    : Signposter(TraceSink::processSink(), std::move(subsystem), std::move(category)) {}

Signposter::Signposter(std::shared_ptr<TraceSink> sink, std::string subsystem, std::string category)
    : sink_(std::move(sink)), subsystem_(std::move(subsystem)), category_(std::move(category)) {}

Signposter Signposter::writingTo(const std::filesystem::path& traceFile, std::string subsystem,
                                 std::string category) {
  return Signposter(TraceSink::open(traceFile), std::move(subsystem), std::move(category));
}

SignpostIntervalState Signposter::beginInterval(std::string_view name) const {
  if (!sink_) return {};
  SignpostIntervalState interval{sink_->nextId(), std::make_shared<std::atomic<bool>>(false)};
  sink_->mark('b', name, category_, interval.id, {});
  return interval;
}

void Signposter::endInterval(std::string_view name, const SignpostIntervalState& interval) const {
  if (!sink_ || !interval.ended) return;
  const bool alreadyEnded = interval.ended->exchange(true);
  sink_->mark('e', name, category_, interval.id,
              alreadyEnded ? "[Error] Interval already ended" : "");
}

SignpostIntervalState beginSignpost(std::string_view name, const Signposter& signposter) {
  return signposter.beginInterval(name);
}

void endSignpost(std::string_view name, const SignpostIntervalState& interval,
                 const Signposter& signposter) {
  signposter.endInterval(name, interval);
}

}  // namespace orvane
