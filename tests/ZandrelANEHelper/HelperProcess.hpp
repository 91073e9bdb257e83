#pragma once

#include <optional>
#include <string>
#include <vector>

// Runs the helper program as the host does: a child with pipes on its three
// standard streams.
struct HelperLaunch {
  // Value of ZANDREL_ANE_MODEL_PATH; absent removes the variable.
  std::optional<std::string> modelPath;
  // Bytes written to standard input, which is then closed.
  std::string input;
  // Give the child a descriptor on which every read fails instead of a pipe.
  bool unreadableInput = false;
};

struct HelperRun {
  int exitStatus = -1;  // -1 when the child did not exit normally
  std::string output;
  std::string diagnostics;

  // The output split at line feeds (a last line without one included).
  std::vector<std::string> outputLines() const;
  // The "error" text of every answer after the first (the start-up answer).
  std::vector<std::string> answers() const;
};

HelperRun runHelper(const HelperLaunch& launch);

// A folder that holds the three compiled models (empty folders suffice for
// the checks made at start-up); removed when it goes away.
class ModelFolder {
 public:
  ModelFolder();
  ~ModelFolder();
  ModelFolder(const ModelFolder&) = delete;
  ModelFolder& operator=(const ModelFolder&) = delete;
  const std::string& path() const { return path_; }
  // An empty folder beside the models, for folders built by hand.
  std::string emptySibling() const;

 private:
  std::string path_;
};

// Native-order bytes of the samples, as the host sends them.
std::string pcmBytes(const std::vector<float>& samples);
