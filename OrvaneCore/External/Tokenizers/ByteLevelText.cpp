#include "OrvaneCore/External/Tokenizers/ByteLevelText.hpp"

#include "OrvaneCore/External/Tokenizers/BPETokenizer.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

const Regex& gpt2SplitPattern() {
  static const Regex pattern(
      R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)");
  return pattern;
}

std::string byteLevelEncoded(std::string_view text) {
  const auto& encoder = byteEncoder();
  std::string out;
  out.reserve(text.size() * 2);
  for (const char byte : text) out += encoder[static_cast<unsigned char>(byte)];
  return out;
}

std::string byteLevelDecoded(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  // A character outside the table cannot come from a consistent byte-level
  // vocabulary; it becomes an invalid byte and so U+FFFD.
  constexpr char invalidByte = static_cast<char>(0xFF);
  size_t i = 0;
  while (i < text.size()) {
    size_t length = 1;
    const char32_t character = unicode::scalarAt(text, i, &length);
    i += length;
    const std::optional<uint8_t> byte = byteDecoder(character);
    bytes += byte ? static_cast<char>(*byte) : invalidByte;
  }
  return unicode::decodeUTF8Lossy(bytes);
}

}  // namespace orvane
