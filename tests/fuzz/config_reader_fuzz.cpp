// JSON text to Config: the parser, the conversion of numbers and strings
// (byte-order marks inside values included) and the Config's own readers.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <nlohmann/json.hpp>

#include "OrvaneCore/External/Hub/ConfigurationReader.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

namespace {

// Touches every reader of every node, the way the tokenizer pipeline does.
void walk(const orvane::Config& config, int depth) {
  (void)config.string();
  (void)config.integer();
  (void)config.floating();
  (void)config.boolean();
  (void)config.token();
  (void)config.get();
  (void)config["addedTokens"];
  if (depth > 64) return;
  if (const auto* dictionary = config.dictionary()) {
    for (const auto& [key, value] : *dictionary) {
      if (config.find(key) == nullptr) std::abort();
      walk(value, depth + 1);
    }
  } else if (const auto* array = config.array()) {
    for (const auto& element : *array) walk(element, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvane::Config config;
  try {
    config = orvane::parseConfiguration(fuzzsupport::asText(data, size), "fuzz.json");
  } catch (const std::exception&) {
    return 0;
  }
  walk(config, 0);
  (void)config.description();
  // The JSON form travels inside other records and must come back equal.
  const orvane::Config copy = orvane::Config::fromJSON(config.toJSON());
  if (!(copy == config)) std::abort();
  return 0;
}
