// The helper's whole conversation on an arbitrary input stream: line reading,
// request decoding, dispatch, payload framing and answer writing, with an
// engine whose answers depend on the samples it is given.
#include <fcntl.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "ZandrelANEHelper/HelperServer.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

namespace {

class EchoEngine : public zandrel::HelperEngine {
 public:
  std::vector<zandrel::EngineResult> transcribe(std::span<const float> samples,
                                                const std::string& language) override {
    if (language == "fail") throw std::runtime_error("engine refused");
    zandrel::EngineResult result;
    result.text = " " + language + " " + std::to_string(samples.size());
    zandrel::EngineSegment segment;
    if (!samples.empty()) {
      // Whatever floats arrived, non-finite ones included, become timings.
      segment.words = std::vector<zandrel::EngineWordTiming>{
          {"w", samples.front(), samples.back(), samples[samples.size() / 2]}};
    }
    result.segments.push_back(std::move(segment));
    return {result};
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzzsupport::MemoryFile input(fuzzsupport::asText(data, size));
  const fuzzsupport::MemoryFile output("");
  const int diagnostics = ::open("/dev/null", O_WRONLY);
  zandrel::HelperServer server(
      {input.descriptor(), output.descriptor(), diagnostics},
      [](const zandrel::HelperConfiguration&) { return std::make_unique<EchoEngine>(); });
  const int status = server.run(std::string("/model"));
  ::close(diagnostics);
  if (status != 0 && status != 1) std::abort();

  // Every answer is one complete JSON object on its own line.
  const std::string answers = output.contents();
  if (answers.empty() || answers.back() != '\n') std::abort();
  size_t begin = 0;
  while (begin < answers.size()) {
    const size_t end = answers.find('\n', begin);
    const auto answer = nlohmann::json::parse(answers.substr(begin, end - begin), nullptr, false);
    if (!answer.is_object()) std::abort();
    begin = end + 1;
  }
  return 0;
}
