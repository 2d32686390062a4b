#pragma once

// One sentence's scores to heads and relation names.

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <string>
#include <vector>

#include "lorvane/depparse.hpp"
#include "models/depparse/scoring.hpp"

namespace lorvane::detail {

// Decodes a single-root tree from the arc scores ([n, n], or [1, n, n]),
// labels it from the relation scores ([n, n, R], or [1, n, n, R]), repairs
// subject and object conflicts, and names the classes: class r is
// deprel_units[r + 4]. Returns n - 1 predictions; an empty list without
// touching the tensors when word_count is 0. The scores are read as doubles
// (any floating type; float32 converts exactly).
// Throws DepparseModelError "deprel classifier produced an invalid id",
// "depparse score tensors disagree in size" (not [n, n] and [n, n, R]), and
// the decoder's and the repair's errors; libtorch's error for tensors that are
// not floating point or not of two and three dimensions.
std::vector<DependencyPrediction> parse_scored(std::size_t word_count, at::Tensor arcs, at::Tensor relations,
                                               const std::vector<std::string>& deprel_units);

// The same from a sentence's arc scores and relation scorer sides: the arc
// scores are decoded in place (no copy), and relation scores are computed
// only for the arcs the labelling and the repairs read. Run it inside an
// inference-mode guard.
std::vector<DependencyPrediction> parse_scored(std::size_t word_count, const SentenceScores& scores,
                                               const DeepBiaffineWeights& relation_scorer,
                                               const std::vector<std::string>& deprel_units);

// The same for several sentences (word_counts[i] words, scores[i]; an empty
// list for a sentence without words): every tree is decoded first, and the
// relation rows of all trees' arcs are computed together, in blocks large
// enough to read the relation weight once per block rather than per sentence.
std::vector<std::vector<DependencyPrediction>> parse_scored_many(const std::vector<std::size_t>& word_counts,
                                                                 const std::vector<SentenceScores>& scores,
                                                                 const DeepBiaffineWeights& relation_scorer,
                                                                 const std::vector<std::string>& deprel_units);

}  // namespace lorvane::detail
