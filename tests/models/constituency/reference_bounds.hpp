#pragma once

// Bounds for comparing the constituency parser with the eager reference's
// result of one sentence (tests/reference/constituency_reference.py).

#include "bundle/json.hpp"
#include "support/test_support.hpp"

namespace lorvane::testing {

// How far float32 word vectors may lie from the reference's: each strays from
// the float64 twin by about the reference's own gap.
inline double constituency_vectors_tolerance(const detail::JsonValue& result) {
  return float32_tolerance(result.at("float64_gap", "").at("vectors", "").as_number(""));
}

// Whether a float32 parse may take another transition than the reference:
// one of its choices leads the best other legal transition by less than
// twice the scores' tolerance (either score may move that much).
inline bool constituency_too_close_to_call(const detail::JsonValue& result) {
  const detail::JsonValue& margin = result.at("margin", "");
  const double gap = result.at("float64_gap", "").at("scores", "").as_number("");
  return !margin.is_null() && margin.as_number("") < 2.0 * float32_tolerance(gap);
}

}  // namespace lorvane::testing
