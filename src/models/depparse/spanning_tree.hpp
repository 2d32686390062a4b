#pragma once

// Single-root maximum spanning tree decoding of one sentence's arc scores.
// Torch-free: plain matrices of doubles. Node 0 is the synthetic ROOT, nodes
// 1 .. n - 1 the words; a head vector has n entries and entry 0 is 0.

#include <cstddef>
#include <vector>

namespace lorvane::detail {

// A square matrix of arc scores, row-major: cell (dependent, head) is the
// score of `dependent` taking `head` as its head.
// Not thread-safe: plain mutable storage.
class ScoreMatrix {
 public:
  ScoreMatrix() = default;
  explicit ScoreMatrix(std::size_t size, double fill = 0.0) : size_(size), cells_(size * size, fill) {}

  std::size_t size() const noexcept { return size_; }
  double& operator()(std::size_t dependent, std::size_t head) noexcept {
    return cells_[dependent * size_ + head];
  }
  double operator()(std::size_t dependent, std::size_t head) const noexcept {
    return cells_[dependent * size_ + head];
  }
  double* row(std::size_t dependent) noexcept { return cells_.data() + dependent * size_; }
  const double* row(std::size_t dependent) const noexcept { return cells_.data() + dependent * size_; }
  double* data() noexcept { return cells_.data(); }
  const double* data() const noexcept { return cells_.data(); }

 private:
  std::size_t size_ = 0;
  std::vector<double> cells_;
};

// The best tree with exactly one word under ROOT. Column 0 is biased by
// n times the smallest finite score (ignoring -inf, +inf and NaN) before the
// spanning tree is taken; then the tree must have exactly one ROOT dependent.
// Throws DepparseModelError:
//   "dependency scores contain no finite value": no rows, or no finite cell;
//   "cannot decode an empty score row": a row without columns;
//   "single-root dependency decoding did not produce one root": the tree has
//     no or several ROOT dependents (always so for a single row).
// Rows of unequal length throw DepparseModelError "dependency score matrix is
// not square".
std::vector<std::size_t> decode_single_root(std::vector<std::vector<double>> scores);
std::vector<std::size_t> decode_single_root(ScoreMatrix scores);

// The maximum spanning arborescence rooted at node 0 (Chu-Liu/Edmonds).
// Ties go to the lowest column (and the lowest cycle member); NaN never wins a
// comparison. Peak memory is O(n^2): each contraction level replaces the
// previous matrix rather than keeping it. A row without columns throws
// DepparseModelError "cannot decode an empty score row"; rows of unequal length
// "dependency score matrix is not square".
std::vector<std::size_t> maximum_spanning_tree(std::vector<std::vector<double>> scores);
std::vector<std::size_t> maximum_spanning_tree(ScoreMatrix scores);

}  // namespace lorvane::detail
