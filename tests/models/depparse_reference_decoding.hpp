#pragma once

// The straightforward single-root decoder and head-constraint repair, as the
// algorithm is usually written: every contraction level builds the contracted
// matrix anew (O(n^2) per level, so O(n^3) per decode), and every repair
// candidate decodes a full copy of the arc scores with its rows rescored. The
// library's decoder must choose exactly the same heads; the tests compare the
// two and the decoder benchmark times them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "models/depparse/head_constraints.hpp"
#include "models/depparse/spanning_tree.hpp"

namespace lorvane::reference_decoding {

std::vector<std::size_t> maximum_spanning_tree(detail::ScoreMatrix scores);
std::vector<std::size_t> decode_single_root(detail::ScoreMatrix scores);

// Relation scores as one n x n x R array.
struct PlainRelations {
  std::size_t size = 0;
  std::size_t classes = 0;
  std::vector<double> cells;

  const double* arc(std::size_t dependent, std::size_t head) const {
    return cells.data() + (dependent * size + head) * classes;
  }
};

detail::ConstrainedTree resolve_head_constraints(const detail::ScoreMatrix& arcs, const PlainRelations& relations,
                                                 std::vector<std::int64_t> heads,
                                                 const std::vector<std::string>& deprel_units);

}  // namespace lorvane::reference_decoding
