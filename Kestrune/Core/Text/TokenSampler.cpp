#include "Kestrune/Core/Text/TokenSampler.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "Kestrune/Core/Text/LogitsAccess.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "Platform/ML/VectorKernels.hpp"

namespace kestrune {

namespace kernels = platform::ml::kernels;
using platform::ml::Float16;

namespace {

constexpr float negativeInfinity = -std::numeric_limits<float>::infinity();

// Shortest text that reads back as the same float, with ".0" for whole
// numbers ("1.0", "0.5").
std::string floatText(float value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  std::string text(buffer, end);
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

GreedyTokenSampler::GreedyTokenSampler(Float16 temperature, int64_t eotToken,
                                       DecodingOptions decodingOptions)
    : temperature_(temperature),
      eotToken_(eotToken),
      decodingOptions_(std::move(decodingOptions)),
      generator_(std::random_device{}()) {}

void GreedyTokenSampler::validate() const {
  if (temperature_ != Float16(0) && decodingOptions_.topK < 1) {
    throw WhisperError::decodingFailed(
        "topK must be at least 1 when the temperature is not 0, got " +
        std::to_string(decodingOptions_.topK));
  }
}

SamplingResult GreedyTokenSampler::update(const std::vector<int64_t>& tokens,
                                          const platform::ml::MLMultiArray& logits,
                                          const std::vector<float>& logProbs) {
  validate();
  LogitsAccess::readScores(logits, scratch_);
  if (temperature_ != Float16(0)) {
    // The factor is formed in half precision, as the model's own scale is.
    const Float16 inverse = Float16(1) / temperature_;
    kernels::scaleAndOffset(scratch_, static_cast<float>(inverse), 0, scratch_);
  }
  // log p[k] = scaled[k] - log(sum(exp(scaled))): one normaliser serves both
  // the greedy and the top-K choice without a full softmax array.
  const float logNormaliser = kernels::logSumExp(scratch_);
  Choice choice{eotToken_, negativeInfinity};
  if (std::isfinite(logNormaliser)) {
    if (temperature_ == Float16(0)) {
      const auto token = static_cast<int64_t>(kernels::argMax(scratch_));
      choice = {token, scratch_[token] - logNormaliser};
    } else {
      choice = chooseTopK(scratch_, logNormaliser);
    }
  }
  SamplingResult result{tokens, logProbs, choice.token == eotToken_};
  result.tokens.push_back(choice.token);
  result.logProbs.push_back(std::min(0.0f, choice.logProb));
  return result;
}

GreedyTokenSampler::Choice GreedyTokenSampler::chooseTopK(const std::vector<float>& scaled,
                                                          float logNormaliser) {
  const auto best = kernels::topK(scaled, static_cast<size_t>(decodingOptions_.topK));
  probabilities_.resize(best.size());
  float sum = 0;
  for (size_t i = 0; i < best.size(); ++i) {
    probabilities_[i] = std::exp(best[i].value - logNormaliser);
    sum += probabilities_[i];
  }
  // 24 random bits give a uniform draw in [0, 1) at float resolution.
  const float unit = static_cast<float>(generator_() >> 8) * 0x1p-24f;
  const float draw = unit * sum;
  size_t chosen = 0;
  float running = 0;
  for (size_t i = 0; i < best.size(); ++i) {
    running += probabilities_[i];
    if (running > draw) {
      chosen = i;
      break;
    }
  }
  // The log-probability is that of the whole distribution, not of the
  // renormalised top k.
  return {static_cast<int64_t>(best[chosen].index), best[chosen].value - logNormaliser};
}

SamplingResult GreedyTokenSampler::finalize(const std::vector<int64_t>& tokens,
                                            const std::vector<float>& logProbs) {
  SamplingResult result{tokens, logProbs, true};
  if (tokens.empty() || tokens.back() != eotToken_) {
    result.tokens.push_back(eotToken_);
    result.logProbs.push_back(0);
  }
  return result;
}

BeamSearchTokenSampler::BeamSearchTokenSampler(int64_t beamSize, int64_t eotToken, float patience)
    : beamSize_(beamSize), eotToken_(eotToken), patience_(patience), maxCandidates_(0) {
  const float candidates = std::trunc(static_cast<float>(beamSize) * patience);
  // The upper bound keeps the conversion to an integer defined.
  if (!(candidates >= 1 && candidates < 0x1p62f)) {
    throw WhisperError::decodingFailed("Invalid beam size " + std::to_string(beamSize) +
                                       " or patience " + floatText(patience));
  }
  maxCandidates_ = static_cast<int64_t>(candidates);
}

SamplingResult BeamSearchTokenSampler::update(const std::vector<int64_t>&,
                                              const platform::ml::MLMultiArray&,
                                              const std::vector<float>&) {
  throw WhisperError::decodingFailed("Not implemented: update(tokens:logits:logProbs:)");
}

SamplingResult BeamSearchTokenSampler::finalize(const std::vector<int64_t>&,
                                                const std::vector<float>&) {
  throw WhisperError::decodingFailed("Not implemented: finalize(tokens:logProbs:)");
}

}  // namespace kestrune
