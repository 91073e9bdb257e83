#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// A candidate piece of a sentence, with the best path found to its end.
class TokenLatticeNode {
 public:
  TokenLatticeNode(int64_t tokenId, size_t startOffset, size_t length, float score)
      : tokenId(tokenId), startOffset(startOffset), length(length), score(score) {}

  int64_t tokenId;
  size_t startOffset;  // in characters
  size_t length;       // in characters
  float score;
  std::shared_ptr<TokenLatticeNode> prev;
  float backtraceScore = 0;
};

// All candidate pieces of a sentence by where they begin and end, searched
// for the path of the highest total score.
class TokenLattice {
 public:
  TokenLattice(std::string_view sentence, int64_t bosTokenId, int64_t eosTokenId);

  void insert(size_t startOffset, size_t length, float score, int64_t tokenId);
  // The nodes of the best path, without the start and end nodes.
  std::vector<std::shared_ptr<TokenLatticeNode>> viterbi() const;
  // The texts of the best path's pieces.
  std::vector<std::string> tokens() const;

  const std::string& sentence() const noexcept { return sentence_; }

 private:
  using NodeList = std::vector<std::shared_ptr<TokenLatticeNode>>;

  std::string sentence_;
  std::vector<std::string_view> characters_;
  int64_t bosTokenId_;
  int64_t eosTokenId_;
  NodeList nodes_;
  std::vector<NodeList> beginNodes_;
  std::vector<NodeList> endNodes_;
};

}  // namespace orvane
