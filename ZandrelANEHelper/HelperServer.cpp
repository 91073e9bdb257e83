#include "ZandrelANEHelper/HelperServer.hpp"

#include <chrono>
#include <cinttypes>
#include <new>
#include <system_error>

#include "OrvaneCore/JSONWriter.hpp"
#include "OrvaneCore/TypedError.hpp"
#include "ZandrelANEHelper/Answers.hpp"
#include "ZandrelANEHelper/InputError.hpp"
#include "ZandrelANEHelper/Request.hpp"
#include "ZandrelANEHelper/TranscriptAssembly.hpp"

namespace zandrel {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The default text form of whatever the engine threw.
std::string thrownText(const std::exception_ptr& error) {
  return orvane::errorText(error);
}

}  // namespace

HelperServer::HelperServer(HelperStreams streams, EngineBuilder buildEngine)
    : input_(streams.input),
      output_(streams.output, streams.error),
      buildEngine_(std::move(buildEngine)) {}

int HelperServer::run(const std::optional<std::string>& modelPath) {
  if (!modelPath || modelPath->empty()) {
    sendError(messages::modelPathRequired);
    return 1;
  }
  if (const auto status = start(*modelPath)) return *status;
  return serve();
}

template <typename Encode>
std::optional<int> HelperServer::send(Encode&& encode) {
  std::string json;
  try {
    json = encode();
  } catch (const orvane::JSONEncodingError&) {
    output_.writeDiagnostic("response encoding failed");
    return 1;
  }
  if (const std::string failure = output_.writeAnswer(json); !failure.empty()) {
    // The parent no longer reads our answers; there is no one left to serve.
    output_.writeDiagnostic("response write failed: " + failure);
    return 1;
  }
  return std::nullopt;
}

std::optional<int> HelperServer::sendError(std::string_view message) {
  return send([&] { return encodeErrorResponse(message); });
}

std::optional<int> HelperServer::start(const std::string& modelPath) {
  const auto loadStart = Clock::now();
  HelperConfiguration configuration;
  configuration.modelFolder = modelPath;
  try {
    engine_ = buildEngine_(configuration);
  } catch (...) {
    sendError(std::string(messages::modelLoadFailed) + thrownText(std::current_exception()));
    return 1;
  }
  const double loadMilliseconds = millisecondsSince(loadStart);
  output_.writeDiagnostic(formatted("model ready load_ms=%.1f", loadMilliseconds));
  return send([&] { return encodeReadyResponse(loadMilliseconds); });
}

int HelperServer::serve() {
  for (;;) {
    std::string line;
    try {
      line = input_.readLine();
    } catch (const InputError& error) {
      if (error.kind() == InputError::Case::endOfFile) return 0;
      if (const auto status = sendError(messages::invalidRequest)) return *status;
      continue;
    } catch (const std::system_error& error) {
      if (const auto status = sendError(messages::invalidRequest)) return *status;
      if (input_.inputLost()) {
        output_.writeDiagnostic(std::string("standard input keeps failing (") +
                                error.code().message() + "), stopping");
        return 0;
      }
      continue;
    }
    if (const auto status = handleLine(line)) return *status;
  }
}

std::optional<int> HelperServer::handleLine(const std::string& line) {
  const std::optional<Request> request = decodeRequest(line);
  if (!request) return sendError(messages::invalidRequest);
  switch (commandOf(*request)) {
    case Command::quit: return 0;
    case Command::invalidTranscribe: return sendError(messages::invalidTranscribeRequest);
    case Command::transcribe:
      return transcribe(*request->samples, request->language.value_or("en"));
  }
  return std::nullopt;
}

std::optional<int> HelperServer::transcribe(int64_t sampleCount, const std::string& language) {
  std::optional<PCMPayload> payload;
  try {
    payload = input_.readPayload(static_cast<uint64_t>(sampleCount));
  } catch (const std::bad_alloc&) {
    output_.writeDiagnostic(formatted("no memory for a payload of samples=%" PRId64, sampleCount));
  }
  if (!payload) {
    return sendError(messages::incompletePayload).value_or(0);
  }

  output_.writeDiagnostic(formatted("decode start samples=%" PRId64 " duration_s=%.3f", sampleCount,
                                    static_cast<double>(sampleCount) / 16000.0));
  const auto start = Clock::now();
  std::vector<EngineResult> results;
  try {
    results = engine_->transcribe(payload->samples(), language);
  } catch (...) {
    const double elapsed = millisecondsSince(start);
    output_.writeDiagnostic(
        formatted("decode failed samples=%" PRId64 " decode_ms=%.1f", sampleCount, elapsed));
    return sendError(std::string(messages::transcriptionFailed) +
                     thrownText(std::current_exception()));
  }
  const double elapsed = millisecondsSince(start);

  TranscriptionResponse response{joinedText(results), collectedWords(results), elapsed};
  output_.writeDiagnostic(formatted("decode complete samples=%" PRId64 " decode_ms=%.1f words=%zu",
                                    sampleCount, elapsed, response.words.size()));
  return send([&] { return encodeTranscriptionResponse(response); });
}

}  // namespace zandrel
