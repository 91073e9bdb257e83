#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "Kestrune/Core/DecodingOptions.hpp"
#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune {

// The sequence after one sampling step (prompt included), one
// log-probability per token, and whether the window is complete.
struct SamplingResult {
  std::vector<int64_t> tokens{};
  std::vector<float> logProbs{};
  bool completed = false;

  bool operator==(const SamplingResult&) const = default;
};

// Picks the next token from filtered logits ([1, 1, V] Float16). A sampler
// serves one decoding loop at a time.
class TokenSampling {
 public:
  virtual ~TokenSampling() = default;
  virtual SamplingResult update(const std::vector<int64_t>& tokens,
                                const platform::ml::MLMultiArray& logits,
                                const std::vector<float>& logProbs) = 0;
  virtual SamplingResult finalize(const std::vector<int64_t>& tokens,
                                  const std::vector<float>& logProbs) = 0;
};

// Greedy choice at temperature 0, top-K sampling (k = decodingOptions.topK)
// at any other temperature.
class GreedyTokenSampler final : public TokenSampling {
 public:
  GreedyTokenSampler(platform::ml::Float16 temperature, int64_t eotToken,
                     DecodingOptions decodingOptions);

  platform::ml::Float16 temperature() const noexcept { return temperature_; }
  int64_t eotToken() const noexcept { return eotToken_; }
  const DecodingOptions& decodingOptions() const noexcept { return decodingOptions_; }

  // Throws WhisperError.decodingFailed when top-K sampling would run with
  // k below 1; callers check before they start predicting.
  void validate() const;

  // Logits with every entry at negative infinity (all suppressed) leave
  // nothing to choose: the end token is taken with log-probability -inf so
  // that the window ends instead of emitting an arbitrary token.
  SamplingResult update(const std::vector<int64_t>& tokens,
                        const platform::ml::MLMultiArray& logits,
                        const std::vector<float>& logProbs) override;
  SamplingResult finalize(const std::vector<int64_t>& tokens,
                          const std::vector<float>& logProbs) override;

 private:
  struct Choice {
    int64_t token;
    float logProb;
  };
  Choice chooseTopK(const std::vector<float>& scaled, float logNormaliser);

  platform::ml::Float16 temperature_;
  int64_t eotToken_;
  DecodingOptions decodingOptions_;
  std::vector<float> scratch_;
  std::vector<float> probabilities_;
  std::mt19937 generator_;
};

// Beam search is not offered: the constructor checks its arguments, and
// update and finalize refuse (WhisperError.decodingFailed).
class BeamSearchTokenSampler final : public TokenSampling {
 public:
  // Throws WhisperError.decodingFailed when trunc(beamSize * patience) < 1.
  BeamSearchTokenSampler(int64_t beamSize, int64_t eotToken, float patience = 1);

  int64_t beamSize() const noexcept { return beamSize_; }
  int64_t eotToken() const noexcept { return eotToken_; }
  float patience() const noexcept { return patience_; }
  int64_t maxCandidates() const noexcept { return maxCandidates_; }
  const std::vector<float>& finishedSequences() const noexcept { return finishedSequences_; }

  void reset() { finishedSequences_.clear(); }
  SamplingResult update(const std::vector<int64_t>& tokens,
                        const platform::ml::MLMultiArray& logits,
                        const std::vector<float>& logProbs) override;
  SamplingResult finalize(const std::vector<int64_t>& tokens,
                          const std::vector<float>& logProbs) override;

 private:
  int64_t beamSize_;
  int64_t eotToken_;
  float patience_;
  int64_t maxCandidates_;
  std::vector<float> finishedSequences_;
};

}  // namespace kestrune
