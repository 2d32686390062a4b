#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/export.hpp"

namespace lorvane {

// One node of a constituency tree: a category (interior node) or a word
// (leaf). Held only through shared_ptr<const TreeNode>, so never changed
// after construction; children are shared, never copied.
// Safe to share across threads: never changed after construction.
struct LORVANE_EXPORT TreeNode {
  TreeNode(std::string label, std::vector<std::shared_ptr<const TreeNode>> children);
  ~TreeNode();  // iterative, so that very deep trees do not exhaust the stack
  TreeNode(const TreeNode&) = delete;
  TreeNode& operator=(const TreeNode&) = delete;

  std::string label;
  std::vector<std::shared_ptr<const TreeNode>> children;
};

class TreeSequence;

// A non-null handle to a node: a whole tree or any subtree. Copies share the node.
// Safe to share across threads.
class LORVANE_EXPORT ConstituencyTree {
 public:
  // Throws std::invalid_argument "a constituency tree node cannot be null".
  explicit ConstituencyTree(std::shared_ptr<const TreeNode> node);
  ConstituencyTree(std::string label, std::vector<ConstituencyTree> children);
  // Copy-only: a move would leave a null node behind, which no handle may hold.
  ConstituencyTree(const ConstituencyTree&) = default;
  ConstituencyTree& operator=(const ConstituencyTree&) = default;

  const std::string& label() const noexcept { return node_->label; }
  bool is_leaf() const noexcept { return node_->children.empty(); }
  bool is_preterminal() const noexcept;
  TreeSequence children() const;
  std::vector<std::string> leaf_labels() const;
  std::string to_string() const;
  bool same_node(const ConstituencyTree& other) const noexcept { return node_ == other.node_; }
  const std::shared_ptr<const TreeNode>& node() const noexcept { return node_; }

 private:
  std::shared_ptr<const TreeNode> node_;
};

// Lazy, sliceable sequence of a node's children (Python-style indices).
class LORVANE_EXPORT TreeSequence {
 public:
  TreeSequence() = default;
  explicit TreeSequence(std::vector<std::shared_ptr<const TreeNode>> nodes);
  TreeSequence(std::vector<std::shared_ptr<const TreeNode>> nodes, std::int64_t start,
               std::int64_t step, std::uint64_t size);

  std::uint64_t size() const noexcept { return size_; }
  ConstituencyTree at(std::int64_t index) const;
  TreeSequence slice(std::int64_t start, std::int64_t step, std::uint64_t size) const;
  TreeSequence reversed() const;
  bool contains(const ConstituencyTree& tree) const;

 private:
  bool is_element(std::size_t position) const noexcept;

  std::vector<std::shared_ptr<const TreeNode>> nodes_;
  std::int64_t start_ = 0;
  std::int64_t step_ = 1;
  std::uint64_t size_ = 0;
};

}  // namespace lorvane
