// A compiled model folder made of arbitrary model.json and
// weights.safetensors bytes (one input holds both, split at a marker line):
// loading either refuses it with PlatformMLError or gives a model that runs
// on inputs of its declared shapes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Platform/ML/MLModel.hpp"
#include "Platform/ML/PlatformMLError.hpp"
#include "tests/fuzz/FuzzSupport.hpp"
#include "tests/fuzz/ModelProbe.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = fuzzsupport::splitParts(fuzzsupport::asText(data, size), 2);
  const auto folder = fuzzsupport::scratchFolder() / "Fuzz.mlmodelc";
  std::filesystem::create_directories(folder);
  fuzzsupport::writeFile(folder / "model.json", parts[0]);
  fuzzsupport::writeFile(folder / "weights.safetensors", parts[1]);
  std::shared_ptr<platform::ml::MLModel> model;
  try {
    model = platform::ml::MLModel::load(folder);
  } catch (const platform::ml::PlatformMLError& error) {
    if (std::getenv("FUZZ_VERBOSE")) std::fprintf(stderr, "refused: %s\n", error.what());
    return 0;
  }
  fuzzsupport::ProbeOutcome outcome;
  if (!fuzzsupport::probeModel(*model, outcome, int64_t{1} << 16)) std::abort();
  if (std::getenv("FUZZ_VERBOSE")) std::fprintf(stderr, "loaded, probe %d\n", int(outcome));
  return 0;
}
