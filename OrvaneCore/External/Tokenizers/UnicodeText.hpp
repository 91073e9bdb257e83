#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Text helpers of the tokenizer stack. Texts are UTF-8 throughout; a
// "character" is an extended grapheme cluster, as a reader would count it.
namespace orvane::unicode {

inline constexpr char32_t replacementCharacter = 0xFFFD;

// Appends the UTF-8 form of `scalar`.
void appendUTF8(std::string& out, char32_t scalar);
std::string utf8(char32_t scalar);

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence by
// U+FFFD, so the result is always valid.
std::string decodeUTF8Lossy(std::string_view bytes);
bool isValidUTF8(std::string_view bytes);

// The Unicode scalars of valid UTF-8 text.
std::vector<char32_t> scalars(std::string_view text);
// The scalar that starts at `offset`, and the number of bytes it takes.
char32_t scalarAt(std::string_view text, size_t offset, size_t* length = nullptr);
size_t scalarLength(unsigned char leadByte);

std::u16string toUTF16(std::string_view text);
std::string fromUTF16(std::u16string_view text);

// The characters (grapheme clusters) of the text, as views into it.
std::vector<std::string_view> characters(std::string_view text);
size_t characterCount(std::string_view text);

std::string lowercased(std::string_view text);
std::string nfc(std::string_view text);
std::string nfd(std::string_view text);
std::string nfkc(std::string_view text);
std::string nfkd(std::string_view text);
// Each word with its first letter upper case and the rest lower case.
std::string capitalized(std::string_view text);
// Folds away accents and other diacritic marks (no locale).
std::string removingDiacritics(std::string_view text);

bool isPunctuation(char32_t scalar);
bool isWhitespace(char32_t scalar);
bool isUppercase(char32_t scalar);
// Space separators (general category Zs).
bool isSpaceSeparator(char32_t scalar);
// The CJK ideograph blocks that BERT-style tokenizers isolate.
bool isChineseCharacter(char32_t scalar);
// Puts a space on both sides of every CJK ideograph, as BERT-style
// tokenizers do before splitting on white space.
std::string spacingChineseCharacters(std::string_view text);

std::string replacingAll(std::string_view text, std::string_view pattern,
                         std::string_view replacement);

}  // namespace orvane::unicode
