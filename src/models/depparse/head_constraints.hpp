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
#include <utility>
#include <vector>

#include "models/depparse/spanning_tree.hpp"

namespace lorvane::detail {

// Relation log-probabilities of one sentence, read arc by arc: the row of
// the arc (i, h) holds the R class scores of word i attached to head h, for
// n positions (ROOT included). A source may compute rows on request; each is
// read at most once per repair.
class RelationSource {
 public:
  virtual ~RelationSource() = default;
  virtual std::size_t size() const = 0;
  virtual std::size_t classes() const = 0;
  // The rows of the arcs (dependents[k], heads[k]), one after the other:
  // dependents.size() x classes() doubles into `out`.
  virtual void arc_rows(const std::vector<std::size_t>& dependents, const std::vector<std::size_t>& heads,
                        double* out) const = 0;
  // The rows of `dependent` under heads 0 .. n - 1: size() x classes()
  // doubles into `out`.
  virtual void dependent_rows(std::size_t dependent, double* out) const = 0;
};

// Every relation score held in memory, n x n x R, row-major. Reading rows
// throws std::invalid_argument "head constraint inputs disagree in size"
// unless `cells` holds exactly that many.
// Not thread-safe: plain mutable storage.
struct RelationScores final : RelationSource {
  RelationScores(std::size_t positions_, std::size_t classes_, std::vector<double> cells_ = {})
      : positions(positions_), relation_classes(classes_), cells(std::move(cells_)) {}

  std::size_t size() const override { return positions; }
  std::size_t classes() const override { return relation_classes; }
  void arc_rows(const std::vector<std::size_t>& dependents, const std::vector<std::size_t>& heads,
                double* out) const override;
  void dependent_rows(std::size_t dependent, double* out) const override;
  const double* arc(std::size_t dependent, std::size_t head) const noexcept {
    return cells.data() + (dependent * positions + head) * relation_classes;
  }

  std::size_t positions;
  std::size_t relation_classes;
  std::vector<double> cells;
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

// Heads with two or more dependents in one group, ordered by their smallest
// dependent.
std::vector<Violation> find_violations(const std::vector<std::int64_t>& heads,
                                       const std::vector<std::int64_t>& labels,
                                       const std::vector<std::string>& deprel_units);

// Labels the tree and repairs at most five violations, each time keeping the
// candidate tree of best total log-probability. `arcs` are the arc scores
// the tree was decoded from; a candidate decodes a view of them in which the
// rescored rows replace theirs, and relation rows are read only for the
// arcs of the trees labelled and for the rows rescored (each once). Throws
// DepparseModelError "head constraints excluded every dependency relation",
// the decoder's errors, and DepparseModelError "depparse relation scores do
// not match the relation vocabulary" unless there are exactly
// deprel_units.size() - 4 classes; inputs of disagreeing sizes or heads out of
// range throw std::invalid_argument.
ConstrainedTree resolve_head_constraints(const ArcScoreView& arcs, const RelationSource& relations,
                                         std::vector<std::int64_t> heads,
                                         const std::vector<std::string>& deprel_units);

}  // namespace lorvane::detail
