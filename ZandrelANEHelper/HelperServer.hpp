#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ZandrelANEHelper/HelperEngine.hpp"
#include "ZandrelANEHelper/InputReader.hpp"
#include "ZandrelANEHelper/OutputStreams.hpp"

namespace zandrel {

struct HelperStreams {
  int input = 0;
  int output = 1;
  int error = 2;
};

// One conversation with the parent: build the engine, say whether it is
// ready, then answer requests strictly one at a time until told to stop.
class HelperServer {
 public:
  HelperServer(HelperStreams streams, EngineBuilder buildEngine);

  // Runs the whole conversation for the model folder named by the
  // environment (absent when the variable is not set) and returns the
  // process's exit status.
  int run(const std::optional<std::string>& modelPath);

 private:
  // Each step returns the exit status once the process is to end.
  std::optional<int> start(const std::string& modelPath);
  int serve();
  std::optional<int> handleLine(const std::string& line);
  std::optional<int> transcribe(int64_t sampleCount, const std::string& language);
  template <typename Encode>
  std::optional<int> send(Encode&& encode);
  std::optional<int> sendError(std::string_view message);

  InputReader input_;
  OutputStreams output_;
  EngineBuilder buildEngine_;
  std::unique_ptr<HelperEngine> engine_;
};

}  // namespace zandrel
