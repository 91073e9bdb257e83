#include "Kestrune/Utilities/TextUtilities.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <zlib.h>

#include <limits>

#include "OrvaneCore/Logging.hpp"

namespace kestrune {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Raw DEFLATE (no zlib header or checksum) of `bytes` at the default level.
float deflateRatio(const unsigned char* bytes, size_t count) {
  z_stream stream{};
  int status =
      deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    orvane::Logging::debug(std::string("Compression error: ") + zError(status));
    return kInfinity;
  }
  std::vector<unsigned char> output(deflateBound(&stream, count));
  stream.next_in = const_cast<unsigned char*>(bytes);
  stream.avail_in = static_cast<uInt>(count);
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  status = deflate(&stream, Z_FINISH);
  const size_t compressed = stream.total_out;
  deflateEnd(&stream);
  if (status != Z_STREAM_END || compressed == 0) {
    orvane::Logging::debug(std::string("Compression error: ") +
                           (status == Z_STREAM_END ? "empty output" : zError(status)));
    return kInfinity;
  }
  return static_cast<float>(count) / static_cast<float>(compressed);
}

}  // namespace

float TextUtilities::compressionRatio(const std::vector<int64_t>& tokens) {
  std::vector<unsigned char> bytes;
  bytes.reserve(tokens.size() * 4);
  for (const int64_t token : tokens) {
    const auto id = static_cast<uint32_t>(static_cast<int32_t>(token));
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<unsigned char>(id >> shift));
    }
  }
  return deflateRatio(bytes.data(), bytes.size());
}

float TextUtilities::compressionRatio(std::string_view text) {
  if (text.empty()) return kInfinity;
  return deflateRatio(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string normalized(std::string_view text) {
  icu::UnicodeString lowered = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  lowered.toLower(icu::Locale::getRoot());

  icu::UnicodeString collapsed;
  bool lastWasSpace = false;
  for (int32_t i = 0; i < lowered.length();) {
    UChar32 c = lowered.char32At(i);
    i += U16_LENGTH(c);
    if (c == U'-') c = U' ';
    if (u_ispunct(c)) continue;
    if (c == U' ') {
      if (lastWasSpace) continue;
      lastWasSpace = true;
    } else {
      lastWasSpace = false;
    }
    collapsed.append(c);
  }

  // Trim white space and line breaks (the Unicode White_Space property).
  int32_t begin = 0;
  int32_t end = collapsed.length();
  while (begin < end && u_isUWhiteSpace(collapsed.char32At(begin))) {
    begin += U16_LENGTH(collapsed.char32At(begin));
  }
  while (end > begin) {
    const int32_t last = collapsed.moveIndex32(end, -1);
    if (!u_isUWhiteSpace(collapsed.char32At(last))) break;
    end = last;
  }
  std::string result;
  collapsed.tempSubStringBetween(begin, end).toUTF8String(result);
  return result;
}

std::string trimmingSpecialTokenCharacters(std::string_view text) {
  constexpr std::string_view kSpecial = "<|>";
  const size_t begin = text.find_first_not_of(kSpecial);
  if (begin == std::string_view::npos) return {};
  const size_t end = text.find_last_not_of(kSpecial);
  return std::string(text.substr(begin, end - begin + 1));
}

}  // namespace kestrune
