#include "Kestrune/Core/Constants.hpp"

#include <algorithm>

namespace kestrune {

const std::array<std::pair<std::string_view, std::string_view>, 112> Constants::languages = {{
    {"english", "en"},        {"chinese", "zh"},     {"german", "de"},        {"spanish", "es"},
    {"russian", "ru"},        {"korean", "ko"},      {"french", "fr"},        {"japanese", "ja"},
    {"portuguese", "pt"},     {"turkish", "tr"},     {"polish", "pl"},        {"catalan", "ca"},
    {"dutch", "nl"},          {"arabic", "ar"},      {"swedish", "sv"},       {"italian", "it"},
    {"indonesian", "id"},     {"hindi", "hi"},       {"finnish", "fi"},       {"vietnamese", "vi"},
    {"hebrew", "he"},         {"ukrainian", "uk"},   {"greek", "el"},         {"malay", "ms"},
    {"czech", "cs"},          {"romanian", "ro"},    {"danish", "da"},        {"hungarian", "hu"},
    {"tamil", "ta"},          {"norwegian", "no"},   {"thai", "th"},          {"urdu", "ur"},
    {"croatian", "hr"},       {"bulgarian", "bg"},   {"lithuanian", "lt"},    {"latin", "la"},
    {"maori", "mi"},          {"malayalam", "ml"},   {"welsh", "cy"},         {"slovak", "sk"},
    {"telugu", "te"},         {"persian", "fa"},     {"latvian", "lv"},       {"bengali", "bn"},
    {"serbian", "sr"},        {"azerbaijani", "az"}, {"slovenian", "sl"},     {"kannada", "kn"},
    {"estonian", "et"},       {"macedonian", "mk"},  {"breton", "br"},        {"basque", "eu"},
    {"icelandic", "is"},      {"armenian", "hy"},    {"nepali", "ne"},        {"mongolian", "mn"},
    {"bosnian", "bs"},        {"kazakh", "kk"},      {"albanian", "sq"},      {"swahili", "sw"},
    {"galician", "gl"},       {"marathi", "mr"},     {"punjabi", "pa"},       {"sinhala", "si"},
    {"khmer", "km"},          {"shona", "sn"},       {"yoruba", "yo"},        {"somali", "so"},
    {"afrikaans", "af"},      {"occitan", "oc"},     {"georgian", "ka"},      {"belarusian", "be"},
    {"tajik", "tg"},          {"sindhi", "sd"},      {"gujarati", "gu"},      {"amharic", "am"},
    {"yiddish", "yi"},        {"lao", "lo"},         {"uzbek", "uz"},         {"faroese", "fo"},
    {"haitian creole", "ht"}, {"pashto", "ps"},      {"turkmen", "tk"},       {"nynorsk", "nn"},
    {"maltese", "mt"},        {"sanskrit", "sa"},    {"luxembourgish", "lb"}, {"myanmar", "my"},
    {"tibetan", "bo"},        {"tagalog", "tl"},     {"malagasy", "mg"},      {"assamese", "as"},
    {"tatar", "tt"},          {"hawaiian", "haw"},   {"lingala", "ln"},       {"hausa", "ha"},
    {"bashkir", "ba"},        {"javanese", "jw"},    {"sundanese", "su"},     {"cantonese", "yue"},
    {"burmese", "my"},        {"valencian", "ca"},   {"flemish", "nl"},       {"haitian", "ht"},
    {"letzeburgesch", "lb"},  {"pushto", "ps"},      {"panjabi", "pa"},       {"moldavian", "ro"},
    {"moldovan", "ro"},       {"sinhalese", "si"},   {"castilian", "es"},     {"mandarin", "zh"},
}};

const std::array<std::string_view, 100> Constants::languageCodes = {
    "en", "zh", "de", "es",  "ru", "ko", "fr", "ja", "pt", "tr",  "pl", "ca", "nl", "ar", "sv",
    "it", "id", "hi", "fi",  "vi", "he", "uk", "el", "ms", "cs",  "ro", "da", "hu", "ta", "no",
    "th", "ur", "hr", "bg",  "lt", "la", "mi", "ml", "cy", "sk",  "te", "fa", "lv", "bn", "sr",
    "az", "sl", "kn", "et",  "mk", "br", "eu", "is", "hy", "ne",  "mn", "bs", "kk", "sq", "sw",
    "gl", "mr", "pa", "si",  "km", "sn", "yo", "so", "af", "oc",  "ka", "be", "tg", "sd", "gu",
    "am", "yi", "lo", "uz",  "fo", "ht", "ps", "tk", "nn", "mt",  "sa", "lb", "my", "bo", "tl",
    "mg", "as", "tt", "haw", "ln", "ha", "ba", "jw", "su", "yue",
};

std::optional<std::string_view> Constants::languageCode(std::string_view name) {
  for (const auto& [languageName, code] : languages) {
    if (languageName == name) return code;
  }
  return std::nullopt;
}

bool Constants::isLanguageCode(std::string_view code) {
  return std::find(languageCodes.begin(), languageCodes.end(), code) != languageCodes.end();
}

}  // namespace kestrune
