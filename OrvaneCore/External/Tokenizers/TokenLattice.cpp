#include "OrvaneCore/External/Tokenizers/TokenLattice.hpp"

#include <algorithm>

#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

TokenLattice::TokenLattice(std::string_view sentence, int64_t bosTokenId, int64_t eosTokenId)
    : sentence_(sentence), bosTokenId_(bosTokenId), eosTokenId_(eosTokenId) {
  characters_ = unicode::characters(sentence_);
  const size_t n = characters_.size();
  beginNodes_.resize(n + 1);
  endNodes_.resize(n + 1);
  auto start = std::make_shared<TokenLatticeNode>(bosTokenId_, 0, 0, 0.0f);
  auto end = std::make_shared<TokenLatticeNode>(eosTokenId_, n, 0, 0.0f);
  nodes_.push_back(start);
  nodes_.push_back(end);
  endNodes_[0].push_back(start);
  beginNodes_[n].push_back(end);
}

void TokenLattice::insert(size_t startOffset, size_t length, float score, int64_t tokenId) {
  if (startOffset + length > characters_.size()) return;
  auto node = std::make_shared<TokenLatticeNode>(tokenId, startOffset, length, score);
  nodes_.push_back(node);
  beginNodes_[startOffset].push_back(node);
  endNodes_[startOffset + length].push_back(node);
}

std::vector<std::shared_ptr<TokenLatticeNode>> TokenLattice::viterbi() const {
  const size_t n = characters_.size();
  for (size_t position = 0; position <= n; ++position) {
    if (beginNodes_[position].empty()) return {};
    for (const auto& right : beginNodes_[position]) {
      right->prev = nullptr;
      std::shared_ptr<TokenLatticeNode> best;
      float bestScore = 0;
      for (const auto& left : endNodes_[position]) {
        const float candidate = left->backtraceScore + right->score;
        // A later candidate wins only with a strictly higher score, so ties
        // keep the node inserted first.
        if (!best || candidate > bestScore) {
          best = left;
          bestScore = candidate;
        }
      }
      if (best) {
        right->prev = best;
        right->backtraceScore = bestScore;
      }
    }
  }
  const auto& end = beginNodes_[n].front();
  if (!end->prev) return {};
  std::vector<std::shared_ptr<TokenLatticeNode>> path;
  for (auto node = end->prev; node && node->prev; node = node->prev) path.push_back(node);
  std::reverse(path.begin(), path.end());
  return path;
}

std::vector<std::string> TokenLattice::tokens() const {
  std::vector<std::string> out;
  for (const auto& node : viterbi()) {
    std::string piece;
    for (size_t i = node->startOffset; i < node->startOffset + node->length; ++i) {
      piece.append(characters_[i]);
    }
    out.push_back(std::move(piece));
  }
  return out;
}

}  // namespace orvane
