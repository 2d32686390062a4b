// The straightforward decoder and repair: the library's own code before the
// decoder stopped rebuilding a matrix per level (kept here unchanged as the
// reference the new one must agree with).

#include "models/depparse_reference_decoding.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <stdexcept>
#include <utility>

#include "lorvane/errors.hpp"

namespace lorvane::reference_decoding {

using detail::arc_key;
using detail::class_groups;
using detail::ConstrainedTree;
using detail::ExcludedGroups;
using detail::find_violations;
using detail::relation_group;
using detail::ScoreMatrix;
using detail::Violation;

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
  std::vector<std::size_t> heads = reference_decoding::maximum_spanning_tree(std::move(scores));
  const auto roots = std::count(heads.begin() + 1, heads.end(), std::size_t{0});
  if (roots != 1) fail("single-root dependency decoding did not produce one root");
  return heads;
}


}  // namespace

// Contracts level after level without recursion: each level's matrix is
// replaced by its contraction, and then the levels are expanded in reverse.
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

std::vector<std::size_t> decode_single_root(ScoreMatrix scores) {
  double low = std::numeric_limits<double>::infinity();
  lower_to_finite(scores.data(), scores.data() + scores.size() * scores.size(), low);
  if (scores.size() == 0 || std::isinf(low)) fail("dependency scores contain no finite value");
  return decode_biased(std::move(scores), low);
}

namespace {

constexpr std::array<std::string_view, 3> kGroupNames = {"subj", "subj_outer", "obj"};
constexpr int kPasses = 5;
constexpr std::size_t kFirstRelationUnit = 4;

// Index of a group name in kGroupNames, -1 for none.
int group_index(std::optional<std::string_view> group) {
  for (std::size_t g = 0; group && g < kGroupNames.size(); ++g) {
    if (*group == kGroupNames[g]) return static_cast<int>(g);
  }
  return -1;
}

unsigned group_bit(int group) { return 1u << static_cast<unsigned>(group); }

unsigned barred_groups(const ExcludedGroups& excluded, std::size_t dependent, std::size_t head) {
  const auto found = excluded.find(arc_key(dependent, head));
  return found == excluded.end() ? 0u : found->second;
}

struct ClassChoice {
  std::int64_t label = -1;
  double score = -std::numeric_limits<double>::infinity();
};

// The best class of the arc outside the barred groups; ties to the lowest
// class, and NaN never wins.
ClassChoice best_allowed(const PlainRelations& relations, const std::vector<int>& groups,
                         std::size_t dependent, std::size_t head, unsigned barred) {
  ClassChoice best;
  const double* scores = relations.arc(dependent, head);
  for (std::size_t r = 0; r < relations.classes; ++r) {
    if (groups[r] >= 0 && (barred & group_bit(groups[r])) != 0) continue;
    if (scores[r] > best.score) best = {static_cast<std::int64_t>(r), scores[r]};
  }
  if (!std::isfinite(best.score)) throw DepparseModelError("head constraints excluded every dependency relation");
  return best;
}

void check_inputs(const ScoreMatrix& arcs, const PlainRelations& relations,
                  const std::vector<std::int64_t>& heads, const std::vector<std::string>& deprel_units) {
  const std::size_t n = heads.size();
  if (arcs.size() != n || relations.size != n || relations.cells.size() != n * n * relations.classes) {
    throw std::invalid_argument("head constraint inputs disagree in size");
  }
  for (const std::int64_t head : heads) {
    if (head < 0 || static_cast<std::uint64_t>(head) >= n) throw std::invalid_argument("head index out of range");
  }
  if (relations.classes + kFirstRelationUnit != deprel_units.size()) {
    throw DepparseModelError("depparse relation scores do not match the relation vocabulary");
  }
}

std::vector<std::int64_t> plain_labels_for_tree(const std::vector<std::int64_t>& heads,
                                                const PlainRelations& relations, const std::vector<int>& groups,
                                                const ExcludedGroups& excluded) {
  std::vector<std::int64_t> labels;
  for (std::size_t i = 1; i < heads.size(); ++i) {
    const auto head = static_cast<std::size_t>(heads[i]);
    labels.push_back(best_allowed(relations, groups, i, head, barred_groups(excluded, i, head)).label);
  }
  return labels;
}

struct Candidate {
  std::vector<std::int64_t> heads;
  std::vector<std::int64_t> labels;
  double total = 0.0;
};

// The tree decoded when every dependent of the violation but the keeper loses
// the group on the violating head.
Candidate keeper_candidate(const ScoreMatrix& arcs, const PlainRelations& relations,
                           const std::vector<int>& groups, const ExcludedGroups& excluded,
                           const Violation& violation, int group, std::size_t keeper) {
  const std::size_t n = arcs.size();
  const auto shared_head = static_cast<std::size_t>(violation.head);
  ScoreMatrix candidate_arcs = arcs;
  for (std::size_t t = 0; t < violation.dependents.size(); ++t) {
    if (t == keeper) continue;
    const std::size_t dependent = violation.dependents[t];
    for (std::size_t head = 0; head < n; ++head) {
      const unsigned barred = barred_groups(excluded, dependent, head) | (head == shared_head ? group_bit(group) : 0u);
      candidate_arcs(dependent, head) = arcs(dependent, head) + best_allowed(relations, groups, dependent, head, barred).score;
    }
  }
  Candidate candidate;
  for (const std::size_t head : reference_decoding::decode_single_root(std::move(candidate_arcs))) {
    candidate.heads.push_back(static_cast<std::int64_t>(head));
  }
  candidate.labels = plain_labels_for_tree(candidate.heads, relations, groups, excluded);
  for (std::size_t t = 0; t < violation.dependents.size(); ++t) {
    const std::size_t dependent = violation.dependents[t];
    if (t == keeper || candidate.heads[dependent] != violation.head) continue;
    const unsigned barred = barred_groups(excluded, dependent, shared_head) | group_bit(group);
    candidate.labels[dependent - 1] = best_allowed(relations, groups, dependent, shared_head, barred).label;
  }
  for (std::size_t i = 1; i < n; ++i) {
    const auto head = static_cast<std::size_t>(candidate.heads[i]);
    const auto label = static_cast<std::size_t>(candidate.labels[i - 1]);
    candidate.total += relations.arc(i, head)[label] + arcs(i, head);
  }
  return candidate;
}

}  // namespace

ConstrainedTree resolve_head_constraints(const ScoreMatrix& arcs, const PlainRelations& relations,
                                         std::vector<std::int64_t> heads,
                                         const std::vector<std::string>& deprel_units) {
  check_inputs(arcs, relations, heads, deprel_units);
  const std::vector<int> groups = class_groups(deprel_units, relations.classes);
  ExcludedGroups excluded;
  std::vector<std::int64_t> labels = plain_labels_for_tree(heads, relations, groups, excluded);
  for (int pass = 0; pass < kPasses; ++pass) {
    const std::vector<Violation> violations = find_violations(heads, labels, deprel_units);
    if (violations.empty()) break;
    const Violation& violation = violations.front();
    const int group = group_index(violation.group);
    Candidate best;
    std::size_t best_keeper = 0;
    for (std::size_t keeper = 0; keeper < violation.dependents.size(); ++keeper) {
      Candidate candidate = keeper_candidate(arcs, relations, groups, excluded, violation, group, keeper);
      if (keeper == 0 || candidate.total > best.total) {
        best = std::move(candidate);
        best_keeper = keeper;
      }
    }
    heads = std::move(best.heads);
    labels = std::move(best.labels);
    for (std::size_t t = 0; t < violation.dependents.size(); ++t) {
      if (t != best_keeper) excluded[arc_key(violation.dependents[t], static_cast<std::uint64_t>(violation.head))] |= group_bit(group);
    }
  }
  return {std::move(heads), std::move(labels)};
}

}  // namespace lorvane::reference_decoding
