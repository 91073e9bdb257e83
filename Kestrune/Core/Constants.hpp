#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace kestrune {

// Fixed knowledge about the Whisper model family and the engine's defaults.
// The built-in device catalogue and its list of known models live with the
// catalogue types.
struct Constants {
  // The decoder's token window: the longest prompt plus sample it takes.
  static constexpr int maxTokenContext = 224;
  // One decoding window: 30 s at 16 kHz.
  static constexpr int defaultWindowSamples = 480000;
  static constexpr uint32_t defaultAudioReadFrameSize = 1323000;
  static constexpr std::string_view defaultLanguageCode = "en";

  // Marks that word alignment glues to the following word, in UTF-8:
  // " ' “ ¡ ¿ ( [ { -
  static constexpr std::string_view defaultPrependPunctuations = "\"'\u201c\u00a1\u00bf([{-";
  // Marks glued to the preceding word: " ' . 。 , ， ! ！ ? ？ : ： ” ) ] } 、
  static constexpr std::string_view defaultAppendPunctuations =
      "\"'.\u3002,\uff0c!\uff01?\uff1f:\uff1a\u201d)]}\u3001";

  static constexpr std::string_view defaultRemoteConfigName = "config.json";
  // Base address of the model hub used when a configuration names none.
  static constexpr std::string_view defaultRemoteEndpoint = "https://huggingface.co";

  // The characters that wrap special tokens, as in "<|en|>".
  static constexpr std::string_view specialTokenCharacters = "<|>";

  // Language name to code, in the family's own order; the last twelve are
  // alternative names of languages listed earlier.
  static const std::array<std::pair<std::string_view, std::string_view>, 112> languages;
  // The distinct codes of `languages`, in order of first appearance.
  static const std::array<std::string_view, 100> languageCodes;

  static std::optional<std::string_view> languageCode(std::string_view name);
  static bool isLanguageCode(std::string_view code);
  static bool isSpecialTokenCharacter(char character) {
    return specialTokenCharacters.find(character) != std::string_view::npos;
  }
};

}  // namespace kestrune
