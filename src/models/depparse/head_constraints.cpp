#include "models/depparse/head_constraints.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "lorvane/errors.hpp"

namespace lorvane::detail {
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
ClassChoice best_allowed(const RelationScores& relations, const std::vector<int>& groups,
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

void check_inputs(const ScoreMatrix& arcs, const RelationScores& relations,
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

struct Candidate {
  std::vector<std::int64_t> heads;
  std::vector<std::int64_t> labels;
  double total = 0.0;
};

// The tree decoded when every dependent of the violation but the keeper loses
// the group on the violating head.
Candidate keeper_candidate(const ScoreMatrix& arcs, const RelationScores& relations,
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
  for (const std::size_t head : decode_single_root(std::move(candidate_arcs))) {
    candidate.heads.push_back(static_cast<std::int64_t>(head));
  }
  candidate.labels = labels_for_tree(candidate.heads, relations, groups, excluded);
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

std::optional<std::string_view> relation_group(std::string_view relation) {
  if (relation == "nsubj" || relation == "csubj" || relation == "nsubj:pass" || relation == "csubj:pass") {
    return kGroupNames[0];
  }
  if (relation == "nsubj:outer" || relation == "csubj:outer") return kGroupNames[1];
  if (relation == "obj") return kGroupNames[2];
  return std::nullopt;
}

std::uint64_t arc_key(std::uint64_t dependent, std::uint64_t head) noexcept {
  return (dependent << 32) | (head & 0xFFFFFFFFu);
}

std::vector<int> class_groups(const std::vector<std::string>& deprel_units, std::size_t classes) {
  std::vector<int> groups(classes, -1);
  for (std::size_t r = 0; r < classes && r + kFirstRelationUnit < deprel_units.size(); ++r) {
    groups[r] = group_index(relation_group(deprel_units[r + kFirstRelationUnit]));
  }
  return groups;
}

std::vector<std::int64_t> labels_for_tree(const std::vector<std::int64_t>& heads,
                                          const RelationScores& relations,
                                          const std::vector<int>& groups,
                                          const ExcludedGroups& excluded) {
  std::vector<std::int64_t> labels;
  for (std::size_t i = 1; i < heads.size(); ++i) {
    const auto head = static_cast<std::size_t>(heads[i]);
    labels.push_back(best_allowed(relations, groups, i, head, barred_groups(excluded, i, head)).label);
  }
  return labels;
}

std::vector<Violation> find_violations(const std::vector<std::int64_t>& heads,
                                       const std::vector<std::int64_t>& labels,
                                       const std::vector<std::string>& deprel_units) {
  std::vector<Violation> found;
  for (std::size_t i = 1; i < heads.size(); ++i) {
    const auto group = relation_group(deprel_units.at(static_cast<std::size_t>(labels[i - 1]) + kFirstRelationUnit));
    if (!group) continue;
    auto same = found.begin();
    while (same != found.end() && !(same->head == heads[i] && same->group == *group)) ++same;
    if (same != found.end()) {
      same->dependents.push_back(i);
    } else {
      found.push_back({heads[i], std::string(*group), {i}});
    }
  }
  std::erase_if(found, [](const Violation& v) { return v.dependents.size() < 2; });
  return found;
}

ConstrainedTree resolve_head_constraints(const ScoreMatrix& arcs, const RelationScores& relations,
                                         std::vector<std::int64_t> heads,
                                         const std::vector<std::string>& deprel_units) {
  check_inputs(arcs, relations, heads, deprel_units);
  const std::vector<int> groups = class_groups(deprel_units, relations.classes);
  ExcludedGroups excluded;
  std::vector<std::int64_t> labels = labels_for_tree(heads, relations, groups, excluded);
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

}  // namespace lorvane::detail
