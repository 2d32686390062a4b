#pragma once

// Labelling of a decoded tree and repair of heads that hold two subjects,
// two outer subjects or two objects. Torch-free: plain vectors of doubles.
// Relation class r stands for deprel unit r + 4.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "models/depparse/spanning_tree.hpp"

namespace lorvane::detail {

// Relation log-probabilities of one sentence, n x n x R, row-major:
// arc(i, h)[r] is the score of class r for word i attached to head h.
// Not thread-safe: plain mutable storage.
struct RelationScores {
  std::size_t size = 0;
  std::size_t classes = 0;
  std::vector<double> cells;

  const double* arc(std::size_t dependent, std::size_t head) const noexcept {
    return cells.data() + (dependent * size + head) * classes;
  }
};

// A head with two or more dependents whose relations share a group.
struct Violation {
  std::int64_t head = 0;
  std::string group;
  std::vector<std::uint64_t> dependents;  // increasing, at least two
};

struct ConstrainedTree {
  std::vector<std::int64_t> heads;   // n entries, entry 0 for ROOT
  std::vector<std::int64_t> labels;  // n - 1 entries: the class of word i at i - 1
};

// The groups barred per arc (bit g for group g of relation_group's three);
// a barred group's classes may no longer label that arc.
using ExcludedGroups = std::unordered_map<std::uint64_t, unsigned>;

// "subj" for nsubj, csubj, nsubj:pass, csubj:pass; "subj_outer" for
// nsubj:outer, csubj:outer; "obj" for obj; nothing otherwise (exact match).
std::optional<std::string_view> relation_group(std::string_view relation);

// dependent << 32 | low 32 bits of head.
std::uint64_t arc_key(std::uint64_t dependent, std::uint64_t head) noexcept;

// Group index (0, 1, 2 as in relation_group, -1 for none) of each of
// `classes` relation classes.
std::vector<int> class_groups(const std::vector<std::string>& deprel_units, std::size_t classes);

// The best class of each word's arc that no bar excludes; ties to the lowest
// class. Throws DepparseModelError "head constraints excluded every dependency
// relation" when an arc has no finite best.
std::vector<std::int64_t> labels_for_tree(const std::vector<std::int64_t>& heads,
                                          const RelationScores& relations,
                                          const std::vector<int>& groups,
                                          const ExcludedGroups& excluded);

// Heads with two or more dependents in one group, ordered by their smallest
// dependent.
std::vector<Violation> find_violations(const std::vector<std::int64_t>& heads,
                                       const std::vector<std::int64_t>& labels,
                                       const std::vector<std::string>& deprel_units);

// Labels the tree and repairs at most five violations, each time keeping the
// candidate tree of best total log-probability. `arcs` are the arc scores
// the tree was decoded from. Throws DepparseModelError "head constraints
// excluded every dependency relation", the decoder's errors, and
// DepparseModelError "depparse relation scores do not match the relation
// vocabulary" unless there are exactly deprel_units.size() - 4 classes;
// inputs of disagreeing sizes or heads out of range throw std::invalid_argument.
ConstrainedTree resolve_head_constraints(const ScoreMatrix& arcs, const RelationScores& relations,
                                         std::vector<std::int64_t> heads,
                                         const std::vector<std::string>& deprel_units);

}  // namespace lorvane::detail
