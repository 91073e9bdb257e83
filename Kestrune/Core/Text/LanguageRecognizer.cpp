#include "Kestrune/Core/Text/LanguageRecognizer.hpp"

#include <cld2/public/compact_lang_det.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <cstdio>  // the recogniser's header uses FILE without including it
#include <map>

#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace kestrune {

namespace {

// The language a script stands for when the text's letters are mostly in it.
std::optional<std::string> languageOfScript(UScriptCode script) {
  switch (script) {
    case USCRIPT_HAN: return "zh";
    case USCRIPT_HIRAGANA:
    case USCRIPT_KATAKANA: return "ja";
    case USCRIPT_THAI: return "th";
    case USCRIPT_LAO: return "lo";
    case USCRIPT_MYANMAR: return "my";
    case USCRIPT_HANGUL: return "ko";
    default: return std::nullopt;
  }
}

// CLD2 gives no reliable answer for a few ideographs ("你好" reads as an
// unreliable English), which are exactly the short texts of single words a
// transcription produces. The script of most letters then decides; kana
// anywhere makes the text Japanese, since Japanese mixes it with ideographs.
std::optional<std::string> languageFromScripts(std::string_view text) {
  std::map<UScriptCode, size_t> letters;
  for (const char32_t scalar : orvane::unicode::scalars(text)) {
    if (!u_isalpha(static_cast<UChar32>(scalar))) continue;
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(static_cast<UChar32>(scalar), &status);
    if (U_SUCCESS(status)) ++letters[script];
  }
  if (letters.empty()) return std::nullopt;
  if (letters.contains(USCRIPT_HIRAGANA) || letters.contains(USCRIPT_KATAKANA)) return "ja";
  auto dominant = letters.begin();
  for (auto it = letters.begin(); it != letters.end(); ++it) {
    if (it->second > dominant->second) dominant = it;
  }
  return languageOfScript(dominant->first);
}

}  // namespace

std::optional<std::string> dominantLanguageCode(std::string_view input) {
  const std::string text = orvane::unicode::decodeUTF8Lossy(input);
  bool reliable = false;
  const CLD2::Language language =
      CLD2::DetectLanguage(text.data(), static_cast<int>(text.size()), true, &reliable);
  if (reliable && language != CLD2::UNKNOWN_LANGUAGE) {
    std::string code = CLD2::LanguageCode(language);
    // A locale identifier such as "zh-Hant" names the language by its first part.
    if (const size_t dash = code.find('-'); dash != std::string::npos) code.resize(dash);
    return code;
  }
  return languageFromScripts(text);
}

}  // namespace kestrune
