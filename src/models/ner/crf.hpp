#pragma once

// Decoding of the entity tagger's linear-chain CRF and the repair of its tag
// sequences into well-formed BIOES. Pure functions; safe from any thread.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lorvane::detail {

// The best tag path under `emissions` [n, K] and `transitions` [K, K]
// (transitions[i][j]: from tag i at one token to tag j at the next; no start
// or end scores). Both are read as contiguous 32-bit floats, converted when
// they are not. Sums run in single precision as (score + transition) +
// emission; ties go to the lowest tag and a NaN candidate never wins.
// Throws NERModelError "NER CRF tensors have incompatible dimensions" unless
// emissions is [n, K] and transitions [K, K] with K >= 1. n = 0 gives an
// empty path.
std::vector<std::int64_t> viterbi_path(const at::Tensor& emissions, const at::Tensor& transitions);

// The tags of a path in one tag column. Ids below 4 (the column's reserved
// entries) read as 4; an id outside the column throws NERModelError
// "NER CRF produced an invalid tag id".
std::vector<std::string> path_tags(const std::vector<std::int64_t>& path,
                                   const std::vector<std::string>& column);

// Makes a tag sequence well-formed BIOES in place: an I- that ends a run
// becomes E-, one that does not continue a run becomes B-; then a B- that is
// not continued and an E- that does not close a run become S-. Other tags
// are left alone.
void repair_bioes(std::vector<std::string>& tags);

}  // namespace lorvane::detail
