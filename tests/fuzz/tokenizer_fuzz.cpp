// A tokenizer built from arbitrary tokenizer_config.json and tokenizer.json
// bytes, then used on arbitrary text and arbitrary ids. An input holds the
// three parts one after another, separated by marker lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "OrvaneCore/External/Hub/ConfigurationReader.hpp"
#include "OrvaneCore/External/Tokenizers/Tokenizer.hpp"
#include "OrvaneCore/TypedError.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

namespace {

std::shared_ptr<orvane::PreTrainedTokenizer> build(std::string_view configText,
                                                   std::string_view dataText, bool strict) {
  try {
    const auto config = orvane::parseConfiguration(configText, "tokenizer_config.json");
    const auto data = orvane::parseConfiguration(dataText, "tokenizer.json");
    return orvane::AutoTokenizer::from(config, data, strict);
  } catch (const std::exception& error) {
    // FUZZ_VERBOSE=1 tells why a seed builds no tokenizer.
    if (std::getenv("FUZZ_VERBOSE")) std::fprintf(stderr, "not built: %s\n", error.what());
    return nullptr;
  }
}

// Ids from the text's bytes, two at a time, so that out-of-range and
// negative ids reach the decoder too.
std::vector<int64_t> idsOf(std::string_view text) {
  std::vector<int64_t> ids;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    int16_t id = 0;
    std::memcpy(&id, text.data() + i, sizeof id);
    ids.push_back(id);
  }
  return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = fuzzsupport::splitParts(fuzzsupport::asText(data, size), 3);
  const auto tokenizer = build(parts[0], parts[1], size % 2 == 0);
  if (!tokenizer) return 0;
  const std::string_view text = parts[2];
  try {
    (void)tokenizer->tokenize(text);
    const auto ids = tokenizer->encode(text);
    (void)tokenizer->decode(ids, false);
    (void)tokenizer->decode(ids, true);
    const auto arbitrary = idsOf(text);
    (void)tokenizer->decode(arbitrary, true);
    for (const int64_t id : arbitrary) (void)tokenizer->convertIdToToken(id);
    (void)tokenizer->convertTokenToId(text);
  } catch (const orvane::TypedError&) {
    // A text the model cannot represent may be refused, but only this way.
  }
  return 0;
}
