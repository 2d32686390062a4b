#include "models/depparse/head_constraints.hpp"

#include <algorithm>
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

// The best class of the arc's row outside the barred groups; ties to the
// lowest class, and NaN never wins.
ClassChoice best_allowed(const double* scores, std::size_t classes, const std::vector<int>& groups, unsigned barred) {
  ClassChoice best;
  for (std::size_t r = 0; r < classes; ++r) {
    if (groups[r] >= 0 && (barred & group_bit(groups[r])) != 0) continue;
    if (scores[r] > best.score) best = {static_cast<std::int64_t>(r), scores[r]};
  }
  if (!std::isfinite(best.score)) throw DepparseModelError("head constraints excluded every dependency relation");
  return best;
}

// The relation rows of the arcs read so far, each read from the source once,
// so that every step of a repair sees the same scores for an arc.
class ArcRows {
 public:
  explicit ArcRows(const RelationSource& source) : source_(source), classes_(source.classes()) {}

  std::size_t classes() const { return classes_; }

  // Reads, in one request, the rows of every word's arc under `heads` that
  // are not held yet.
  void read_tree(const std::vector<std::int64_t>& heads) {
    std::vector<std::size_t> dependents;
    std::vector<std::size_t> tree_heads;
    for (std::size_t i = 1; i < heads.size(); ++i) {
      const auto head = static_cast<std::size_t>(heads[i]);
      if (offsets_.contains(arc_key(i, head))) continue;
      dependents.push_back(i);
      tree_heads.push_back(head);
    }
    if (dependents.empty()) return;
    const std::size_t first = cells_.size();
    cells_.resize(first + dependents.size() * classes_);
    source_.arc_rows(dependents, tree_heads, cells_.data() + first);
    for (std::size_t k = 0; k < dependents.size(); ++k) {
      offsets_.emplace(arc_key(dependents[k], tree_heads[k]), first + k * classes_);
    }
  }

  // The arc's row, or null when it has not been read. Valid until the next read.
  const double* find(std::size_t dependent, std::size_t head) const {
    const auto found = offsets_.find(arc_key(dependent, head));
    return found == offsets_.end() ? nullptr : cells_.data() + found->second;
  }

  // The arc's row, read now if needed. Valid until the next read.
  const double* row(std::size_t dependent, std::size_t head) {
    if (const double* held = find(dependent, head)) return held;
    const std::size_t first = cells_.size();
    cells_.resize(first + classes_);
    source_.arc_rows({dependent}, {head}, cells_.data() + first);
    offsets_.emplace(arc_key(dependent, head), first);
    return cells_.data() + first;
  }

 private:
  const RelationSource& source_;
  std::size_t classes_;
  std::unordered_map<std::uint64_t, std::size_t> offsets_;
  std::vector<double> cells_;
};

ClassChoice best_allowed(ArcRows& rows, const std::vector<int>& groups, std::size_t dependent, std::size_t head,
                         unsigned barred) {
  return best_allowed(rows.row(dependent, head), rows.classes(), groups, barred);
}

// The best class of each word's arc that no bar excludes.
std::vector<std::int64_t> labels_for_tree(const std::vector<std::int64_t>& heads, ArcRows& rows,
                                          const std::vector<int>& groups, const ExcludedGroups& excluded) {
  rows.read_tree(heads);
  std::vector<std::int64_t> labels;
  for (std::size_t i = 1; i < heads.size(); ++i) {
    const auto head = static_cast<std::size_t>(heads[i]);
    labels.push_back(best_allowed(rows, groups, i, head, barred_groups(excluded, i, head)).label);
  }
  return labels;
}

void check_inputs(const ArcScoreView& arcs, const RelationSource& relations, const std::vector<std::int64_t>& heads,
                  const std::vector<std::string>& deprel_units) {
  const std::size_t n = heads.size();
  if (arcs.size() != n || relations.size() != n) throw std::invalid_argument("head constraint inputs disagree in size");
  for (const std::int64_t head : heads) {
    if (head < 0 || static_cast<std::uint64_t>(head) >= n) throw std::invalid_argument("head index out of range");
  }
  if (relations.classes() + kFirstRelationUnit != deprel_units.size()) {
    throw DepparseModelError("depparse relation scores do not match the relation vocabulary");
  }
}

void check_complete(const RelationScores& relations) {
  if (relations.cells.size() != relations.positions * relations.positions * relations.relation_classes) {
    throw std::invalid_argument("head constraint inputs disagree in size");
  }
}

struct Candidate {
  std::vector<std::int64_t> heads;
  std::vector<std::int64_t> labels;
  double total = 0.0;
};

// One repair pass: the violation, and the rows of its dependents rescored
// for losing the group on its head (the same whichever dependent keeps it),
// each computed when a candidate first needs it.
class RepairPass {
 public:
  RepairPass(const ArcScoreView& arcs, ArcRows& rows, const RelationSource& relations, const std::vector<int>& groups,
             const ExcludedGroups& excluded, const Violation& violation)
      : arcs_(arcs),
        rows_(rows),
        relations_(relations),
        groups_(groups),
        excluded_(excluded),
        violation_(violation),
        group_(group_index(violation.group)),
        rescored_(violation.dependents.size()) {}

  int group() const { return group_; }

  // The tree decoded when every dependent of the violation but the keeper
  // loses the group on the violating head.
  Candidate candidate(std::size_t keeper) {
    ArcScoreView candidate_arcs = arcs_;
    for (std::size_t t = 0; t < violation_.dependents.size(); ++t) {
      if (t != keeper) candidate_arcs.replace_row(violation_.dependents[t], rescored(t).data());
    }
    Candidate candidate;
    for (const std::size_t head : decode_single_root(candidate_arcs)) {
      candidate.heads.push_back(static_cast<std::int64_t>(head));
    }
    candidate.labels = labels_for_tree(candidate.heads, rows_, groups_, excluded_);
    const auto shared_head = static_cast<std::size_t>(violation_.head);
    for (std::size_t t = 0; t < violation_.dependents.size(); ++t) {
      const std::size_t dependent = violation_.dependents[t];
      if (t == keeper || candidate.heads[dependent] != violation_.head) continue;
      const unsigned barred = barred_groups(excluded_, dependent, shared_head) | group_bit(group_);
      candidate.labels[dependent - 1] = best_allowed(rows_, groups_, dependent, shared_head, barred).label;
    }
    for (std::size_t i = 1; i < candidate.heads.size(); ++i) {
      const auto head = static_cast<std::size_t>(candidate.heads[i]);
      const auto label = static_cast<std::size_t>(candidate.labels[i - 1]);
      candidate.total += rows_.row(i, head)[label] + arcs_(i, head);
    }
    return candidate;
  }

 private:
  // Arc score plus best allowed relation score of dependent t under every
  // head; the group is barred on the violating head. Rows already read for
  // the trees are used as read.
  const std::vector<double>& rescored(std::size_t t) {
    std::vector<double>& scores = rescored_[t];
    if (!scores.empty()) return scores;
    const std::size_t n = arcs_.size();
    const std::size_t classes = rows_.classes();
    const std::size_t dependent = violation_.dependents[t];
    const auto shared_head = static_cast<std::size_t>(violation_.head);
    std::vector<double> all_heads(n * classes);
    relations_.dependent_rows(dependent, all_heads.data());
    std::vector<double> row(n);
    for (std::size_t head = 0; head < n; ++head) {
      const unsigned barred = barred_groups(excluded_, dependent, head) | (head == shared_head ? group_bit(group_) : 0u);
      const double* held = rows_.find(dependent, head);
      const double* relation = held != nullptr ? held : all_heads.data() + head * classes;
      row[head] = arcs_(dependent, head) + best_allowed(relation, classes, groups_, barred).score;
    }
    scores = std::move(row);
    return scores;
  }

  const ArcScoreView& arcs_;
  ArcRows& rows_;
  const RelationSource& relations_;
  const std::vector<int>& groups_;
  const ExcludedGroups& excluded_;
  const Violation& violation_;
  int group_;
  std::vector<std::vector<double>> rescored_;  // by dependent position; empty until needed
};

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

void RelationScores::arc_rows(const std::vector<std::size_t>& dependents, const std::vector<std::size_t>& heads,
                              double* out) const {
  check_complete(*this);
  for (std::size_t k = 0; k < dependents.size(); ++k) {
    std::copy(arc(dependents[k], heads[k]), arc(dependents[k], heads[k]) + relation_classes, out + k * relation_classes);
  }
}

void RelationScores::dependent_rows(std::size_t dependent, double* out) const {
  check_complete(*this);
  std::copy(arc(dependent, 0), arc(dependent, 0) + positions * relation_classes, out);
}

ConstrainedTree resolve_head_constraints(const ArcScoreView& arcs, const RelationSource& relations,
                                         std::vector<std::int64_t> heads,
                                         const std::vector<std::string>& deprel_units) {
  check_inputs(arcs, relations, heads, deprel_units);
  const std::vector<int> groups = class_groups(deprel_units, relations.classes());
  ExcludedGroups excluded;
  ArcRows rows(relations);
  std::vector<std::int64_t> labels = labels_for_tree(heads, rows, groups, excluded);
  for (int pass = 0; pass < kPasses; ++pass) {
    const std::vector<Violation> violations = find_violations(heads, labels, deprel_units);
    if (violations.empty()) break;
    const Violation& violation = violations.front();
    RepairPass repair(arcs, rows, relations, groups, excluded, violation);
    Candidate best;
    std::size_t best_keeper = 0;
    for (std::size_t keeper = 0; keeper < violation.dependents.size(); ++keeper) {
      Candidate candidate = repair.candidate(keeper);
      if (keeper == 0 || candidate.total > best.total) {
        best = std::move(candidate);
        best_keeper = keeper;
      }
    }
    heads = std::move(best.heads);
    labels = std::move(best.labels);
    for (std::size_t t = 0; t < violation.dependents.size(); ++t) {
      if (t != best_keeper) {
        excluded[arc_key(violation.dependents[t], static_cast<std::uint64_t>(violation.head))] |= group_bit(repair.group());
      }
    }
  }
  return {std::move(heads), std::move(labels)};
}

}  // namespace lorvane::detail
