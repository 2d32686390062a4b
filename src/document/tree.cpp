#include "lorvane/tree.hpp"

#include <stdexcept>
#include <utility>

namespace lorvane {
namespace {

// While the outermost ~TreeNode of this thread runs, the nodes it releases
// hand their children to this list instead of releasing them themselves, so
// a chain of any length is torn down in a loop at constant stack depth.
thread_local std::vector<std::shared_ptr<const TreeNode>>* pending_release = nullptr;

const char kTreeIndexError[] = "tree index is outside the sequence";
const char kNullNodeError[] = "a constituency tree node cannot be null";

// Nodes can be built by hand with null children; walks report them instead
// of following them.
const TreeNode* present(const std::shared_ptr<const TreeNode>& node) {
  if (!node) throw std::invalid_argument(kNullNodeError);
  return node.get();
}

// Python-style index arithmetic wraps instead of overflowing; positions that
// come out wrong are caught by the bounds checks of the readers.
std::int64_t wrapping_offset(std::int64_t start, std::int64_t count, std::int64_t step) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(start) +
                                   static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(step));
}

// The position of element k of a range, or false when it overflows 64 bits.
bool element_position(std::int64_t start, std::int64_t step, std::int64_t k, std::int64_t& position) noexcept {
  std::int64_t scaled = 0;
  return !__builtin_mul_overflow(k, step, &scaled) && !__builtin_add_overflow(start, scaled, &position);
}

std::vector<std::shared_ptr<const TreeNode>> child_nodes(std::vector<ConstituencyTree> children) {
  std::vector<std::shared_ptr<const TreeNode>> nodes;
  nodes.reserve(children.size());
  for (auto& child : children) nodes.push_back(child.node());
  return nodes;
}

}  // namespace

TreeNode::TreeNode(std::string label, std::vector<std::shared_ptr<const TreeNode>> children)
    : label(std::move(label)), children(std::move(children)) {}

TreeNode::~TreeNode() {
  if (pending_release != nullptr) {
    try {
      for (auto& child : children) pending_release->push_back(std::move(child));
    } catch (...) {
      // Out of memory: the children not handed over are released by the
      // member destructor instead, recursively but correctly.
    }
    return;
  }
  std::vector<std::shared_ptr<const TreeNode>> work = std::move(children);
  pending_release = &work;
  while (!work.empty()) {
    std::shared_ptr<const TreeNode> node = std::move(work.back());
    work.pop_back();
    node.reset();  // if this was the last owner, its children land in `work`
  }
  pending_release = nullptr;
}

ConstituencyTree::ConstituencyTree(std::shared_ptr<const TreeNode> node) : node_(std::move(node)) {
  if (!node_) throw std::invalid_argument(kNullNodeError);
}

ConstituencyTree::ConstituencyTree(std::string label, std::vector<ConstituencyTree> children)
    : node_(std::make_shared<const TreeNode>(std::move(label), child_nodes(std::move(children)))) {}

bool ConstituencyTree::is_preterminal() const noexcept {
  const auto& children = node_->children;
  return children.size() == 1 && children.front() && children.front()->children.empty();
}

TreeSequence ConstituencyTree::children() const { return TreeSequence(node_->children); }

std::vector<std::string> ConstituencyTree::leaf_labels() const {
  std::vector<std::string> labels;
  std::vector<const TreeNode*> stack{node_.get()};
  while (!stack.empty()) {
    const TreeNode* node = stack.back();
    stack.pop_back();
    if (node->children.empty()) {
      labels.push_back(node->label);
      continue;
    }
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) stack.push_back(present(*it));
  }
  return labels;
}

std::string ConstituencyTree::to_string() const {
  // Each frame is an interior node and the index of its next child to print;
  // the closing bracket is written when the frame is popped.
  struct Frame {
    const TreeNode* node;
    std::size_t next_child;
  };
  std::string out;
  std::vector<Frame> stack;
  auto open = [&](const TreeNode* node) {
    if (node->children.empty()) {
      out += node->label;
      return;
    }
    out += '(';
    out += node->label;
    stack.push_back({node, 0});
  };
  open(node_.get());
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next_child == top.node->children.size()) {
      out += ')';
      stack.pop_back();
      continue;
    }
    const TreeNode* child = present(top.node->children[top.next_child++]);
    out += ' ';
    open(child);  // may grow the stack and invalidate `top`
  }
  return out;
}

TreeSequence::TreeSequence(std::vector<std::shared_ptr<const TreeNode>> nodes)
    : nodes_(std::move(nodes)), start_(0), step_(1), size_(nodes_.size()) {}

TreeSequence::TreeSequence(std::vector<std::shared_ptr<const TreeNode>> nodes, std::int64_t start,
                           std::int64_t step, std::uint64_t size)
    : nodes_(std::move(nodes)), start_(start), step_(step), size_(size) {}

ConstituencyTree TreeSequence::at(std::int64_t index) const {
  if (index < 0) index = static_cast<std::int64_t>(static_cast<std::uint64_t>(index) + size_);
  if (index < 0 || static_cast<std::uint64_t>(index) >= size_) throw std::out_of_range(kTreeIndexError);
  std::int64_t position = 0;
  if (!element_position(start_, step_, index, position) || position < 0 ||
      static_cast<std::uint64_t>(position) >= nodes_.size()) {
    throw std::out_of_range(kTreeIndexError);
  }
  return ConstituencyTree(nodes_[static_cast<std::size_t>(position)]);
}

TreeSequence TreeSequence::slice(std::int64_t start, std::int64_t step, std::uint64_t size) const {
  const auto new_step = static_cast<std::int64_t>(static_cast<std::uint64_t>(step_) * static_cast<std::uint64_t>(step));
  return TreeSequence(nodes_, wrapping_offset(start_, start, step_), new_step, size);
}

TreeSequence TreeSequence::reversed() const {
  if (size_ == 0) return *this;
  const auto negated = static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(step_));
  return TreeSequence(nodes_, wrapping_offset(start_, static_cast<std::int64_t>(size_ - 1), step_), negated, size_);
}

bool TreeSequence::contains(const ConstituencyTree& tree) const {
  // Walks the stored nodes rather than the range, so that a range reaching
  // outside `nodes_` is never read there and the scan stays bounded by the
  // number of nodes; a matching node counts when its position is an element.
  const TreeNode* wanted = tree.node().get();
  for (std::size_t position = 0; position < nodes_.size(); ++position) {
    if (nodes_[position].get() == wanted && is_element(position)) return true;
  }
  return false;
}

bool TreeSequence::is_element(std::size_t position) const noexcept {
  const __int128 distance = static_cast<__int128>(position) - start_;
  if (step_ == 0) return distance == 0 && size_ > 0;
  if (distance % step_ != 0) return false;
  const __int128 k = distance / step_;
  return k >= 0 && k < static_cast<__int128>(size_);
}

}  // namespace lorvane
