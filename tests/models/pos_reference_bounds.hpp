#pragma once

// Bounds for comparing the POS tagger with the eager reference's result of
// one case (tests/reference/pos_reference.py), sentence by sentence.

#include <cstddef>

#include "bundle/json.hpp"
#include "support/test_support.hpp"

namespace lorvane::testing {

// How far float32 encoder rows of sentence s may lie from the reference's:
// each strays from the float64 twin by about the reference's own gap.
inline double pos_encoded_tolerance(const detail::JsonValue& result, std::size_t s) {
  return float32_tolerance(result.at("float64_gap", "").as_array("")[s].at("encoded", "").as_number(""));
}

// Whether a float32 computation may choose another class than the reference
// somewhere in sentence s: its closest decision is won by less than twice the
// class scores' tolerance (either score may move that much).
inline bool pos_too_close_to_call(const detail::JsonValue& result, std::size_t s) {
  const detail::JsonValue& margin = result.at("margin", "").as_array("")[s];
  const double gap = result.at("float64_gap", "").as_array("")[s].at("scores", "").as_number("");
  return !margin.is_null() && margin.as_number("") < 2.0 * float32_tolerance(gap);
}

}  // namespace lorvane::testing
