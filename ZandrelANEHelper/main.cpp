#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>

#include "ZandrelANEHelper/HelperServer.hpp"
#include "ZandrelANEHelper/KestruneHelperEngine.hpp"

namespace {

// Standard output carries nothing but answers. Libraries below us may print
// to it (the hub client's continuous-integration notice, say), so answers
// get a private copy of the descriptor and whatever else writes to standard
// output reaches standard error instead.
zandrel::HelperStreams protocolStreams() {
  zandrel::HelperStreams streams;
  const int answers = ::dup(STDOUT_FILENO);
  if (answers < 0) return streams;
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    ::close(answers);
    return streams;
  }
  streams.output = answers;
  return streams;
}

}  // namespace

int main() {
  // A parent that stops reading must not kill us mid-answer; the write
  // failure is reported and ends the process instead.
  std::signal(SIGPIPE, SIG_IGN);
  std::optional<std::string> modelPath;
  if (const char* value = std::getenv("ZANDREL_ANE_MODEL_PATH")) modelPath = value;
  zandrel::HelperServer server(protocolStreams(), zandrel::KestruneHelperEngine::build);
  return server.run(modelPath);
}
