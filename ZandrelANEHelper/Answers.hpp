#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zandrel {

struct WordResponse {
  std::string word;
  float start = 0;
  float end = 0;
  float probability = 0;
};

struct TranscriptionResponse {
  std::string text;
  std::vector<WordResponse> words;
  double decodeMilliseconds = 0;
};

// The compact JSON of each answer, keys in wire order. Throw
// orvane::JSONEncodingError when a number is not finite.
std::string encodeReadyResponse(double loadMilliseconds);
std::string encodeTranscriptionResponse(const TranscriptionResponse& response);
std::string encodeErrorResponse(std::string_view message);

// The answers' fixed error messages.
namespace messages {
inline constexpr std::string_view modelPathRequired = "ZANDREL_ANE_MODEL_PATH is required";
inline constexpr std::string_view modelLoadFailed = "model load failed: ";
inline constexpr std::string_view invalidRequest = "invalid request";
inline constexpr std::string_view invalidTranscribeRequest = "invalid transcribe request";
inline constexpr std::string_view incompletePayload = "incomplete PCM payload";
inline constexpr std::string_view transcriptionFailed = "transcription failed: ";
}  // namespace messages

}  // namespace zandrel
