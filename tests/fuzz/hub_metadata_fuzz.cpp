// The record kept beside each downloaded file: whatever is on disk gives a
// record or nothing (and the bad file is removed), never a crash.
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "OrvaneCore/External/Hub/HubApi.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto file = fuzzsupport::scratchFolder() / "weights.bin.metadata";
  fuzzsupport::writeFile(file, fuzzsupport::asText(data, size));
  const orvane::HubApi hub;
  try {
    const auto record = hub.readDownloadMetadata(file);
    if (record && record->filename != "weights.bin") std::abort();
    if (!record && std::filesystem::exists(file)) std::abort();
  } catch (const orvane::EnvironmentError&) {
  }
  return 0;
}
