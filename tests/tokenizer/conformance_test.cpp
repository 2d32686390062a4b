// Tokenizer corner cases that cut across its components: bundles at the edges
// of what the configuration allows, run end to end against the PyTorch
// reference.

#include <ATen/Parallel.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/tokenizer.hpp"
#include "models/tokenizer/plan_impl.hpp"
#include "support/test_support.hpp"
#include "tokenizer/tokenizer_inference_support.hpp"

namespace lorvane {
namespace {

using testing::describe_document;

// Test programs run side by side: one intra-op thread each.
class OneIntraOpThread : public ::testing::Environment {
 public:
  void SetUp() override { at::set_num_threads(1); }
};
[[maybe_unused]] ::testing::Environment* const kOneIntraOpThread =
    ::testing::AddGlobalTestEnvironment(new OneIntraOpThread);

const std::vector<std::string> kTexts = {
    "Hello there. Mail bob@site.org now!\n\nSecond one, here.",
    "",
    "x",
    "Name: Ann\n\n\n  Indented; text.",
};

// A bundle whose feature list is empty has no feature columns at all: the
// network sees the embeddings alone, in both inference paths.
TEST(TokenizerWithoutFeatures, AgreesWithTheReferenceSinglyAndInBulk) {
  testing::TempDir scratch;
  const auto bundle_dir = scratch / "bundle";
  testing::write_tokenizer_bundles(
      scratch.path(),
      {{bundle_dir, R"({"seed": 8, "scale": 1.0, "config": {"emb_dim": 6, "hidden_dim": 5, "batch_size": 2,
                        "feat_funcs": []}})"}});
  const TokenizerPlan plan(bundle_dir, false);
  ASSERT_EQ(plan.impl().feat_dim, 0);
  const auto reference = testing::run_reference(bundle_dir, kTexts, scratch.path(), 2);
  ASSERT_EQ(reference.size(), kTexts.size());

  std::vector<Document> inputs;
  for (const std::string& text : kTexts) inputs.emplace_back(text);
  const std::vector<Document> bulk = plan.process_bulk(inputs);
  ASSERT_EQ(bulk.size(), kTexts.size());
  for (std::size_t i = 0; i < kTexts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(describe_document(plan.process(inputs[i])), reference[i].summary);
    EXPECT_EQ(describe_document(bulk[i]), reference[i].summary);
  }
  EXPECT_EQ(plan.predict_labels("x"), reference[2].paragraphs.at(0).single_labels);
}

}  // namespace
}  // namespace lorvane
