#pragma once

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace orvane {

template <typename Element>
class TrieNode {
 public:
  bool isLeaf = false;
  std::map<Element, std::unique_ptr<TrieNode>> children;

  const TrieNode* child(const Element& element) const {
    const auto found = children.find(element);
    return found == children.end() ? nullptr : found->second.get();
  }
};

// Yields, shortest first, every stored sequence that is a prefix of `text`.
template <typename Element>
class LeavesWithCommonPrefixIterator {
 public:
  LeavesWithCommonPrefixIterator(const TrieNode<Element>* node, std::vector<Element> text)
      : node_(node), text_(std::move(text)) {}

  std::optional<std::vector<Element>> next() {
    while (node_ && position_ < text_.size()) {
      const Element& element = text_[position_++];
      prefix_.push_back(element);
      node_ = node_->child(element);
      if (node_ && node_->isLeaf) return prefix_;
    }
    node_ = nullptr;
    return std::nullopt;
  }

 private:
  const TrieNode<Element>* node_;
  std::vector<Element> text_;
  std::vector<Element> prefix_;
  size_t position_ = 0;
};

// A prefix tree over sequences of elements.
template <typename Element>
class Trie {
 public:
  Trie() : root(std::make_unique<TrieNode<Element>>()) {}

  void insert(const std::vector<Element>& sequence) {
    TrieNode<Element>* node = root.get();
    for (const Element& element : sequence) {
      std::unique_ptr<TrieNode<Element>>& child = node->children[element];
      if (!child) child = std::make_unique<TrieNode<Element>>();
      node = child.get();
    }
    node->isLeaf = true;
  }

  void append(const std::vector<std::vector<Element>>& sequences) {
    for (const auto& sequence : sequences) insert(sequence);
  }

  LeavesWithCommonPrefixIterator<Element> commonPrefixSearchIterator(
      std::vector<Element> text) const {
    return LeavesWithCommonPrefixIterator<Element>(root.get(), std::move(text));
  }

  std::vector<std::vector<Element>> commonPrefixSearch(std::vector<Element> text) const {
    std::vector<std::vector<Element>> found;
    auto iterator = commonPrefixSearchIterator(std::move(text));
    while (auto leaf = iterator.next()) found.push_back(std::move(*leaf));
    return found;
  }

  std::unique_ptr<TrieNode<Element>> root;
};

}  // namespace orvane
