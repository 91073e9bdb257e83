#include "Kestrune/Utilities/ResultWriter.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>

#include "OrvaneCore/JSONWriter.hpp"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

// Truncates toward zero; a value with no int form (NaN, far out of range)
// saturates instead of being undefined.
int truncated(float value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<float>(std::numeric_limits<int>::max())) {
    return std::numeric_limits<int>::max();
  }
  if (value <= static_cast<float>(std::numeric_limits<int>::min())) {
    return std::numeric_limits<int>::min();
  }
  return static_cast<int>(value);
}

template <typename... Arguments>
std::string format(const char* pattern, Arguments... arguments) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, pattern, arguments...);
  return buffer;
}

// Indents compact JSON by two spaces per level, leaving every token (and so
// every number's spelling) as the writer produced it.
std::string prettyPrinted(std::string_view compact) {
  std::string out;
  int depth = 0;
  bool inString = false;
  const auto newline = [&] { out += '\n' + std::string(static_cast<size_t>(depth) * 2, ' '); };
  for (size_t i = 0; i < compact.size(); ++i) {
    const char c = compact[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 1 < compact.size()) {
        out += compact[++i];
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        out += c;
        break;
      case '{':
      case '[':
        out += c;
        if (i + 1 < compact.size() && (compact[i + 1] == '}' || compact[i + 1] == ']')) {
          out += compact[++i];
        } else {
          ++depth;
          newline();
        }
        break;
      case '}':
      case ']':
        --depth;
        newline();
        out += c;
        break;
      case ',':
        out += c;
        newline();
        break;
      case ':': out += ": "; break;
      default: out += c;
    }
  }
  return out;
}

// RFC 8089 file URL of an absolute path, with bytes outside the unreserved
// set percent-encoded.
std::string fileURL(const fs::path& path) {
  std::string url = "file://";
  for (const unsigned char c : path.string()) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      url += static_cast<char>(c);
    } else {
      url += format("%%%02X", c);
    }
  }
  return url;
}

[[noreturn]] void throwFileError(const std::string& what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Owns a temporary file until it has been renamed over its target.
class TemporaryFile {
 public:
  explicit TemporaryFile(const fs::path& target) {
    name_ = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    descriptor_ = ::mkstemp(name_.data());
    if (descriptor_ < 0) throwFileError("Cannot create file", target, errno);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
    if (!committed_) ::unlink(name_.c_str());
  }

  void write(std::string_view content, const fs::path& target) {
    // mkstemp makes the file private; a result file is meant to be shared.
    ::fchmod(descriptor_, 0644);
    while (!content.empty()) {
      const ssize_t written = ::write(descriptor_, content.data(), content.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        throwFileError("Cannot write file", target, errno);
      }
      content.remove_prefix(static_cast<size_t>(written));
    }
  }

  void commit(const fs::path& target) {
    const int closed = ::close(descriptor_);
    descriptor_ = -1;
    if (closed != 0) throwFileError("Cannot write file", target, errno);
    if (::rename(name_.c_str(), target.c_str()) != 0) {
      throwFileError("Cannot replace file", target, errno);
    }
    committed_ = true;
  }

 private:
  std::string name_;
  int descriptor_ = -1;
  bool committed_ = false;
};

WriteOutcome writeFile(const std::string& outputDir, const std::string& file,
                       std::string_view extension, const auto& makeContent) {
  try {
    const fs::path target = fs::absolute(fs::path(outputDir) / (file + std::string(extension)));
    const std::string content = makeContent();
    TemporaryFile temporary(target);
    temporary.write(content, target);
    temporary.commit(target);
    return fileURL(target.lexically_normal());
  } catch (...) {
    return std::current_exception();
  }
}

template <typename Cue>
std::string subtitleCues(const TranscriptionResult& result, Cue&& cue) {
  std::string content;
  for (const auto& segment : result.segments()) {
    if (segment.words && !segment.words->empty()) {
      for (const auto& word : *segment.words) content += cue(word.start, word.end, word.word);
    } else {
      content += cue(segment.start, segment.end, segment.text);
    }
  }
  return content;
}

}  // namespace

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours,
                                      std::string_view decimalMarker) const {
  const int hours = truncated(seconds / 3600.0f);
  const int minutes = truncated(std::fmod(seconds, 3600.0f) / 60.0f);
  const int secs = truncated(std::fmod(seconds, 60.0f));
  const int milliseconds = truncated((seconds - std::floor(seconds)) * 1000.0f);
  // The marker is appended, not formatted, so any text can serve as one.
  std::string text = alwaysIncludeHours || hours > 0
                         ? format("%02d:%02d:%02d", hours, minutes, secs)
                         : format("%02d:%02d", minutes, secs);
  text += decimalMarker;
  text += format("%03d", milliseconds);
  return text;
}

std::string ResultWriting::formatSegment(int64_t index, float start, float end,
                                         std::string_view text) const {
  return std::to_string(index) + "\n" + formatTime(start, true, ",") + " --> " +
         formatTime(end, true, ",") + "\n" + std::string(text) + "\n\n";
}

std::string ResultWriting::formatTiming(float start, float end, std::string_view text) const {
  return formatTime(start, false, ".") + " --> " + formatTime(end, false, ".") + "\n" +
         std::string(text) + "\n\n";
}

WriteOutcome WriteJSON::write(const TranscriptionResult& result, const std::string& file,
                              const std::optional<WriteOptions>& /*options*/) {
  return writeFile(outputDir_, file, ".json", [&] { return prettyPrinted(result.toJSON()); });
}

WriteOutcome WriteSRT::write(const TranscriptionResult& result, const std::string& file,
                             const std::optional<WriteOptions>& /*options*/) {
  return writeFile(outputDir_, file, ".srt", [&] {
    int64_t index = 1;
    return subtitleCues(result, [&](float start, float end, const std::string& text) {
      return formatSegment(index++, start, end, text);
    });
  });
}

WriteOutcome WriteVTT::write(const TranscriptionResult& result, const std::string& file,
                             const std::optional<WriteOptions>& /*options*/) {
  return writeFile(outputDir_, file, ".vtt", [&] {
    return "WEBVTT\n\n" +
           subtitleCues(result, [&](float start, float end, const std::string& text) {
             return formatTiming(start, end, text);
           });
  });
}

}  // namespace kestrune
