#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>

#include "ZandrelANEHelper/HelperServer.hpp"
#include "ZandrelANEHelper/KestruneHelperEngine.hpp"

int main() {
  // A parent that stops reading must not kill us mid-answer; the write
  // failure is reported and ends the process instead.
  std::signal(SIGPIPE, SIG_IGN);
  std::optional<std::string> modelPath;
  if (const char* value = std::getenv("ZANDREL_ANE_MODEL_PATH")) modelPath = value;
  zandrel::HelperServer server({}, zandrel::KestruneHelperEngine::build);
  return server.run(modelPath);
}
