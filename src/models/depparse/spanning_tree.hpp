#pragma once

// Single-root maximum spanning tree decoding of one sentence's arc scores.
// Torch-free: plain matrices of doubles. Node 0 is the synthetic ROOT, nodes
// 1 .. n - 1 the words; a head vector has n entries and entry 0 is 0.

#include <cstddef>
#include <memory>
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

// The arc scores a decoder reads, without copying them: the cells of a base
// matrix (float or double, row-major, owned by the caller), some rows read
// from rows of doubles instead (also the caller's), and an amount added to
// column 0. A float cell converts to double exactly, so a float matrix
// decodes exactly as its double copy would. Copying a view copies no cell:
// a variant of a matrix with a few rows replaced is a copy of its view.
// Not thread-safe while being changed; safe to read from several threads.
class ArcScoreView {
 public:
  ArcScoreView() = default;
  ArcScoreView(const float* cells, std::size_t size) : floats_(cells), size_(size) {}
  ArcScoreView(const double* cells, std::size_t size) : doubles_(cells), size_(size) {}
  ArcScoreView(const ScoreMatrix& matrix) : ArcScoreView(matrix.data(), matrix.size()) {}  // NOLINT: a view of it

  std::size_t size() const noexcept { return size_; }
  // Row `dependent` becomes the size() doubles at `cells`, which must outlive
  // the view and its copies.
  void replace_row(std::size_t dependent, const double* cells);
  // Adds `bias` to column 0 of every row.
  void add_to_root_column(double bias) noexcept {
    root_bias_ += bias;
    biased_ = true;
  }

  double operator()(std::size_t dependent, std::size_t head) const noexcept {
    const double cell = replaced_.empty() || replaced_[dependent] == nullptr ? base(dependent, head)
                                                                              : replaced_[dependent][head];
    return head == 0 && biased_ ? cell + root_bias_ : cell;
  }
  // Writes row `dependent` as size() doubles to `out`.
  void read_row(std::size_t dependent, double* out) const noexcept;
  // Writes column `head` as size() doubles to `out`: from a column-major
  // copy of the base cells when the view has one, else a cell per row.
  void read_column(std::size_t head, double* out) const noexcept;
  // The view with a column-major copy of its base cells (of the base's
  // type), shared by its copies: reading a column then costs what reading a
  // row does instead of a cache miss per cell. The copy takes as much memory
  // as the base; a view that has one returns itself.
  ArcScoreView with_columns() const;
  // The smallest finite cell (|cell| at most the largest double); +inf when
  // there is none.
  double lowest_finite() const;

 private:
  double base(std::size_t dependent, std::size_t head) const noexcept {
    const std::size_t at = dependent * size_ + head;
    return floats_ != nullptr ? static_cast<double>(floats_[at]) : doubles_[at];
  }

  struct Columns {
    std::vector<float> floats;
    std::vector<double> doubles;
  };

  const float* floats_ = nullptr;
  const double* doubles_ = nullptr;
  std::shared_ptr<const Columns> columns_;
  std::size_t size_ = 0;
  std::vector<const double*> replaced_;  // empty, or one entry per row (null: the base row)
  double root_bias_ = 0.0;
  bool biased_ = false;
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
std::vector<std::size_t> decode_single_root(const ArcScoreView& scores);
std::vector<std::size_t> decode_single_root(const ScoreMatrix& scores);
std::vector<std::size_t> decode_single_root(const std::vector<std::vector<double>>& scores);

// The maximum spanning arborescence rooted at node 0 (Chu-Liu/Edmonds): the
// heads of contracting, level after level, the greedy graph's cycle whose
// smallest member is largest, and expanding the levels in reverse. Ties go to
// the lowest column (and the lowest cycle member); NaN never wins a
// comparison. Time O(n^2) plus O(n) per contraction level and O(cycle length
// x nodes) per contracted cycle; memory a column-major copy of the matrix
// (unless the view has one, see with_columns), O(n), and two score tables of
// n entries per contracted node still in the graph. A row without columns
// throws DepparseModelError "cannot decode an empty score row"; rows of
// unequal length "dependency score matrix is not square".
std::vector<std::size_t> maximum_spanning_tree(const ArcScoreView& scores);
std::vector<std::size_t> maximum_spanning_tree(const ScoreMatrix& scores);
std::vector<std::size_t> maximum_spanning_tree(const std::vector<std::vector<double>>& scores);

}  // namespace lorvane::detail
