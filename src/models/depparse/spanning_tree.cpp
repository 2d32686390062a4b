#include "models/depparse/spanning_tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "lorvane/errors.hpp"

namespace lorvane::detail {
namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();
constexpr std::size_t kNoNode = std::numeric_limits<std::size_t>::max();

[[noreturn]] void fail(const char* message) { throw DepparseModelError(message); }

// Lowers `low` to every finite cell below it.
void lower_to_finite(const double* begin, const double* end, double& low) {
  for (const double* cell = begin; cell != end; ++cell) {
    if (std::fabs(*cell) <= std::numeric_limits<double>::max() && *cell < low) low = *cell;
  }
}

// Refuses jagged input before it is laid out as a square matrix.
ScoreMatrix square_matrix(const std::vector<std::vector<double>>& rows) {
  for (const auto& row : rows) {
    if (row.empty()) fail("cannot decode an empty score row");
  }
  for (const auto& row : rows) {
    if (row.size() != rows.size()) fail("dependency score matrix is not square");
  }
  ScoreMatrix matrix(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) std::copy(rows[i].begin(), rows[i].end(), matrix.row(i));
  return matrix;
}

// Index of the largest cell; the first of equal maxima, and NaN never wins.
std::size_t argmax(const double* cells, std::size_t count) {
  std::size_t best = 0;
  for (std::size_t k = 1; k < count; ++k) {
    if (cells[k] > cells[best]) best = k;
  }
  return best;
}

// No self-loops, and ROOT takes itself as head.
void prepare(ScoreMatrix& scores) {
  const std::size_t n = scores.size();
  if (n == 0) return;
  for (std::size_t i = 0; i < n; ++i) scores(i, i) = kMinusInfinity;
  std::fill(scores.row(0), scores.row(0) + n, kMinusInfinity);
  scores(0, 0) = 0.0;
}

std::vector<std::size_t> greedy_heads(const ScoreMatrix& scores) {
  std::vector<std::size_t> heads(scores.size());
  for (std::size_t i = 0; i < scores.size(); ++i) heads[i] = argmax(scores.row(i), scores.size());
  return heads;
}

// The members, in increasing order, of the cycle of the greedy graph whose
// smallest member is largest; empty when the graph has no cycle. Every node
// has exactly one head, so the cycles are disjoint and each is found by
// following heads from any node that leads into it. Of the cycles, this is the
// one a strongly-connected-components search started from the nodes in
// increasing order completes last.
std::vector<std::size_t> last_cycle(const std::vector<std::size_t>& heads) {
  enum : std::uint8_t { kUnseen, kOnWalk, kDone };
  std::vector<std::uint8_t> state(heads.size(), kUnseen);
  std::vector<std::size_t> walk;
  std::vector<std::size_t> best;
  for (std::size_t start = 0; start < heads.size(); ++start) {
    if (state[start] != kUnseen) continue;
    walk.clear();
    std::size_t node = start;
    while (state[node] == kUnseen) {
      state[node] = kOnWalk;
      walk.push_back(node);
      node = heads[node];
    }
    if (state[node] == kOnWalk && heads[node] != node) {
      std::vector<std::size_t> members;
      for (std::size_t member = node; members.empty() || member != node; member = heads[member]) {
        members.push_back(member);
      }
      std::sort(members.begin(), members.end());
      if (best.empty() || members.front() > best.front()) best = std::move(members);
    }
    for (const std::size_t visited : walk) state[visited] = kDone;
  }
  return best;
}

// What expanding a contracted level needs; the level's matrix is not kept.
struct Contraction {
  std::vector<std::size_t> cycle;        // C, increasing
  std::vector<std::size_t> cycle_heads;  // greedy head of each member
  std::vector<std::size_t> rest;         // R, increasing; rest[0] is ROOT
  std::vector<std::size_t> enter;        // per rest node: member that takes it as head
  std::vector<std::size_t> leave;        // per rest node: member it hangs from
};

// Builds the contracted matrix: nodes 0 .. m - 1 stand for `rest`, node m for
// the whole cycle.
ScoreMatrix contract(const ScoreMatrix& scores, const std::vector<std::size_t>& heads,
                     Contraction& level) {
  const std::size_t n = scores.size();
  const std::vector<std::size_t>& cycle = level.cycle;
  std::vector<bool> in_cycle(n, false);
  for (const std::size_t member : cycle) in_cycle[member] = true;
  for (std::size_t node = 0; node < n; ++node) {
    if (!in_cycle[node]) level.rest.push_back(node);
  }
  const std::size_t c = cycle.size();
  const std::size_t m = level.rest.size();

  std::vector<double> inside(c);
  double total = 0.0;
  for (std::size_t k = 0; k < c; ++k) {
    level.cycle_heads.push_back(heads[cycle[k]]);
    inside[k] = scores(cycle[k], heads[cycle[k]]);
    total += inside[k];
  }

  ScoreMatrix contracted(m + 1);
  level.enter.assign(m, 0);
  level.leave.assign(m, 0);
  std::vector<double> entering(c);
  std::vector<double> leaving(c);
  for (std::size_t j = 0; j < m; ++j) {
    const std::size_t node = level.rest[j];
    for (std::size_t i = 0; i < m; ++i) contracted(j, i) = scores(node, level.rest[i]);
    for (std::size_t k = 0; k < c; ++k) {
      entering[k] = (scores(cycle[k], node) - inside[k]) + total;
      leaving[k] = scores(node, cycle[k]);
    }
    level.enter[j] = argmax(entering.data(), c);
    level.leave[j] = argmax(leaving.data(), c);
    contracted(m, j) = entering[level.enter[j]];
    contracted(j, m) = leaving[level.leave[j]];
  }
  contracted(m, m) = 0.0;
  return contracted;
}

// The heads of the level's nodes from the heads of its contracted matrix.
std::vector<std::size_t> expand(const Contraction& level, const std::vector<std::size_t>& contracted_heads,
                                std::size_t n) {
  const std::size_t m = level.rest.size();
  std::vector<std::size_t> heads(n, kNoNode);
  for (std::size_t j = 0; j < m; ++j) {
    const std::size_t head = contracted_heads[j];
    heads[level.rest[j]] = head >= m ? level.cycle[level.leave[j]] : level.rest[head];
  }
  for (std::size_t k = 0; k < level.cycle.size(); ++k) heads[level.cycle[k]] = level.cycle_heads[k];
  const std::size_t outside = contracted_heads[m];
  heads[level.cycle[level.enter[outside]]] = level.rest[outside];
  return heads;
}

std::vector<std::size_t> decode_biased(ScoreMatrix scores, double low) {
  const std::size_t n = scores.size();
  const double bias = static_cast<double>(n) * low;
  for (std::size_t i = 0; i < n; ++i) scores(i, 0) += bias;
  std::vector<std::size_t> heads = maximum_spanning_tree(std::move(scores));
  const auto roots = std::count(heads.begin() + 1, heads.end(), std::size_t{0});
  if (roots != 1) fail("single-root dependency decoding did not produce one root");
  return heads;
}

}  // namespace

// Contracts level after level without recursion: each level's matrix is
// replaced by its contraction, so only one or two matrices are alive at once,
// and then expands the levels in reverse.
std::vector<std::size_t> maximum_spanning_tree(ScoreMatrix scores) {
  std::vector<Contraction> levels;
  std::vector<std::size_t> sizes;
  std::vector<std::size_t> heads;
  while (true) {
    prepare(scores);
    heads = greedy_heads(scores);
    Contraction level;
    level.cycle = last_cycle(heads);
    if (level.cycle.empty()) break;
    sizes.push_back(scores.size());
    scores = contract(scores, heads, level);
    levels.push_back(std::move(level));
  }
  for (std::size_t k = levels.size(); k-- > 0;) heads = expand(levels[k], heads, sizes[k]);
  return heads;
}

std::vector<std::size_t> maximum_spanning_tree(std::vector<std::vector<double>> scores) {
  return maximum_spanning_tree(square_matrix(scores));
}

std::vector<std::size_t> decode_single_root(ScoreMatrix scores) {
  double low = std::numeric_limits<double>::infinity();
  lower_to_finite(scores.data(), scores.data() + scores.size() * scores.size(), low);
  if (scores.size() == 0 || std::isinf(low)) fail("dependency scores contain no finite value");
  return decode_biased(std::move(scores), low);
}

std::vector<std::size_t> decode_single_root(std::vector<std::vector<double>> scores) {
  double low = std::numeric_limits<double>::infinity();
  for (const auto& row : scores) lower_to_finite(row.data(), row.data() + row.size(), low);
  if (scores.empty() || std::isinf(low)) fail("dependency scores contain no finite value");
  ScoreMatrix matrix = square_matrix(scores);
  scores = {};
  return decode_biased(std::move(matrix), low);
}

}  // namespace lorvane::detail
