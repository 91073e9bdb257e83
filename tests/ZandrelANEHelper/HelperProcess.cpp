#include "HelperProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

extern char** environ;

namespace {

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) ::close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
};

std::vector<std::string> childEnvironment(const std::optional<std::string>& modelPath) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "ZANDREL_ANE_MODEL_PATH=", 23) != 0) entries.emplace_back(*entry);
  }
  if (modelPath) entries.push_back("ZANDREL_ANE_MODEL_PATH=" + *modelPath);
  return entries;
}

void setNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Feeds the input and collects both outputs until the child closes them.
void exchange(Pipe& in, Pipe& out, Pipe& err, const std::string& input, HelperRun& run, pid_t pid) {
  size_t written = 0;
  if (in.write >= 0) setNonBlocking(in.write);
  if (in.write >= 0 && input.empty()) in.closeWrite();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (out.read >= 0 || err.read >= 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      throw std::runtime_error("helper did not finish within 60 s");
    }
    std::vector<pollfd> fds;
    if (in.write >= 0) fds.push_back({in.write, POLLOUT, 0});
    if (out.read >= 0) fds.push_back({out.read, POLLIN, 0});
    if (err.read >= 0) fds.push_back({err.read, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
    for (const pollfd& fd : fds) {
      if (fd.revents == 0) continue;
      if (fd.fd == in.write) {
        const ssize_t n = ::write(in.write, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) in.closeWrite();  // the child stopped reading
        if (written == input.size()) in.closeWrite();
        continue;
      }
      char buffer[65536];
      const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
      Pipe& source = fd.fd == out.read ? out : err;
      std::string& sink = fd.fd == out.read ? run.output : run.diagnostics;
      if (n > 0)
        sink.append(buffer, static_cast<size_t>(n));
      else if (n == 0 || errno != EAGAIN)
        source.closeRead();
    }
  }
}

}  // namespace

HelperRun runHelper(const HelperLaunch& launch) {
  ::signal(SIGPIPE, SIG_IGN);
  Pipe in, out, err;
  const std::vector<std::string> environment = childEnvironment(launch.modelPath);
  std::vector<char*> envp;
  for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(ZANDREL_HELPER_BINARY), nullptr};

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int input = in.read;
    if (launch.unreadableInput) input = ::open("/", O_RDONLY | O_DIRECTORY);
    ::dup2(input, 0);
    ::dup2(out.write, 1);
    ::dup2(err.write, 2);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  in.closeRead();
  out.closeWrite();
  err.closeWrite();
  if (launch.unreadableInput) in.closeWrite();

  HelperRun run;
  exchange(in, out, err, launch.input, run, pid);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::vector<std::string> HelperRun::outputLines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < output.size()) {
    const size_t end = output.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(output.substr(start));
      break;
    }
    lines.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> HelperRun::answers() const {
  std::vector<std::string> texts;
  const auto lines = outputLines();
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto answer = nlohmann::json::parse(lines[i]);
    texts.push_back(answer.value("ok", false) ? "ok" : answer.at("error").get<std::string>());
  }
  return texts;
}

ModelFolder::ModelFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zandrel-models-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  // A small generated model with the multilingual tokenizer: the helper
  // loads and runs it like a real one, though its text means nothing.
  const std::filesystem::path root(path_);
  kestrune::tools::TestModelDimensions dimensions;
  dimensions.tokenizerFolder = std::string(KESTRUNE_SHARED_DIR) + "/tokenizers/multilingual";
  kestrune::tools::writeTestCheckpoint(root / "checkpoint", dimensions);
  kestrune::tools::convertCheckpoint(root / "checkpoint", root / "models");
  path_ += "/models";
}

ModelFolder::~ModelFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(path_).parent_path(), ignored);
}

std::string ModelFolder::emptySibling() const {
  const auto sibling = std::filesystem::path(path_).parent_path() / "empty";
  std::filesystem::create_directories(sibling);
  return sibling.string();
}

std::string pcmBytes(const std::vector<float>& samples) {
  return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float));
}
