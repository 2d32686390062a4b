#pragma once

// One sentence of an ner bundle against the eager reference's result
// (tests/reference/ner_reference.py): input rows, emission scores and tags.

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "models/ner/plan_impl.hpp"
#include "support/test_support.hpp"

namespace lorvane::testing {

inline std::vector<double> ner_values(const at::Tensor& tensor) {
  const at::Tensor flat = tensor.to(at::kDouble).contiguous().view(-1);
  return {flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel()};
}

inline std::vector<double> ner_values(const detail::JsonValue& rows) {
  std::vector<double> out;
  for (const detail::JsonValue& row : rows.as_array("")) {
    for (const detail::JsonValue& v : row.as_array("")) out.push_back(v.as_number(""));
  }
  return out;
}

// Compares the plan's input rows and emission scores of `tokens` with the
// reference's, each within the bound of the reference's own float32 gap, and
// the tags of tag() and of tag_many() (`batched`) with the reference's,
// unless the reference's best path wins by too little for float32 to call.
// Returns whether the tags were compared.
inline bool expect_reference_sentence(const NERPlan::Impl& plan, const std::vector<std::string>& tokens,
                                      const detail::JsonValue& expected, const std::vector<std::string>& batched) {
  c10::InferenceMode guard;
  const detail::JsonValue& gaps = expected.at("float64_gap", "");
  const at::Tensor inputs = plan.sentence_inputs(tokens);
  EXPECT_EQ(inputs.sizes(), at::IntArrayRef({1, static_cast<std::int64_t>(tokens.size()), plan.input_width()}));
  EXPECT_TRUE(all_close(ner_values(inputs), ner_values(expected.at("inputs", "")),
                        float32_tolerance(gaps.at("inputs", "").as_number(""))));
  const at::Tensor scores = plan.emission_scores(inputs[0], {inputs.size(1)});
  const double tolerance = float32_tolerance(gaps.at("scores", "").as_number(""));
  EXPECT_TRUE(all_close(ner_values(scores), ner_values(expected.at("scores", "")), tolerance));
  // Each emission may lie `tolerance` from the reference's, which moves a
  // path's score by up to the sentence length times that and the difference
  // of two paths by twice as much.
  const detail::JsonValue& margin = expected.at("path_margin", "");
  if (!margin.is_null() && margin.as_number("") < 2.0 * static_cast<double>(tokens.size()) * tolerance) return false;
  std::vector<std::string> tags;
  for (const detail::JsonValue& tag : expected.at("tags", "").as_array("")) tags.push_back(tag.as_string(""));
  EXPECT_EQ(plan.tag(tokens), tags);
  EXPECT_EQ(batched, tags);
  return true;
}

}  // namespace lorvane::testing
