// Tokenizer corner cases that cut across its components: bundles at the edges
// of what the configuration allows, run end to end against the PyTorch
// reference.

#include <ATen/Parallel.h>
#include <gtest/gtest.h>

#include <random>
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
  std::size_t undecided = 0;
  for (std::size_t i = 0; i < kTexts.size(); ++i) {
    SCOPED_TRACE(i);
    if (testing::document_too_close_to_call(reference[i])) {
      ++undecided;
      continue;
    }
    EXPECT_EQ(describe_document(plan.process(inputs[i])), reference[i].summary);
    EXPECT_EQ(describe_document(bulk[i]), reference[i].summary);
  }
  EXPECT_LE(undecided, 1u);
  EXPECT_EQ(plan.predict_labels("x"), reference[2].paragraphs.at(0).single_labels);
}


// Random texts over an alphabet rich in the characters the splitter, the
// feature patterns, the address pass and the document builder treat
// specially: every whitespace kind, C1 controls, colons and semicolons,
// address punctuation, capitals, digits and multi-byte letters.
std::vector<std::string> random_texts(unsigned seed, std::size_t count) {
  const std::vector<std::string> pieces = {
      "a", "b", "e", "o", "x", "T", "W", "N", "0", "7", "1", " ", " ", "  ", "\t", "\n", "\n\n", "\n \n",
      "\r\n", "\r", "\u0085", "\u0080", "\u00A0", "\u2028", "\u3000", "\u200B", ":", ";", ".", ",", "@",
      "$", "-", "/", "(", ")", "\"", "www.", "http://", ".com", ".org.uk", "bob@x.io", "Name: ", "$1,200.50",
      "(555) 123-4567", "12/31/99", "March 5, 2020", "\u00fc", "\u4e2d\u6587", "\U0001F600", "the", "new"};
  std::mt19937 rng(seed);
  std::vector<std::string> texts;
  for (std::size_t t = 0; t < count; ++t) {
    std::string text;
    const std::size_t length = rng() % 40;
    for (std::size_t k = 0; k < length; ++k) text += pieces[rng() % pieces.size()];
    texts.push_back(std::move(text));
  }
  return texts;
}

struct RandomCase {
  const char* name;
  const char* options;
  unsigned seed;
};

const RandomCase kRandomCases[] = {
    {"colon_rule_skip_newline",
     R"({"seed": 31, "scale": 2.0, "config": {"emb_dim": 5, "hidden_dim": 3, "batch_size": 3, "skip_newline": true,
         "shorthand": "la_ittb", "lang": "la", "hier_invtemp": 0.75,
         "feat_funcs": ["space_before", "capitalized", "numeric", "end_of_para", "start_of_para",
                        "labeled_field", "phone_id", "date_pattern", "currency"]}})",
     101},
    {"space_removal_dictionary",
     R"({"seed": 32, "scale": 2.0, "config": {"emb_dim": 4, "hidden_dim": 6, "batch_size": 5, "lang": "zh-hans",
         "use_mwt": true, "use_dictionary": true, "num_dict_feat": 3,
         "feat_funcs": ["numeric", "space_before", "currency", "start_of_para"]},
         "lexicon": ["the", "new", "www", "com", "\u00fcb", "\u4e2d\u6587"]})",
     202},
};

class TokenizerRandomTexts : public ::testing::TestWithParam<RandomCase> {};

TEST_P(TokenizerRandomTexts, DocumentsMatchTheReference) {
  const RandomCase& c = GetParam();
  testing::TempDir scratch;
  const auto bundle_dir = scratch / "bundle";
  testing::write_tokenizer_bundles(scratch.path(), {{bundle_dir, c.options}});
  const TokenizerPlan plan(bundle_dir, false);
  const std::vector<std::string> texts = random_texts(c.seed, 60);
  const auto reference = testing::run_reference(bundle_dir, texts, scratch.path());
  ASSERT_EQ(reference.size(), texts.size());

  std::vector<Document> inputs;
  for (const std::string& text : texts) inputs.emplace_back(text);
  const std::vector<Document> bulk = plan.process_bulk(inputs);
  ASSERT_EQ(bulk.size(), texts.size());
  std::size_t undecided = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(testing::json_quote(texts[i]));
    if (testing::document_too_close_to_call(reference[i])) {
      ++undecided;
      continue;
    }
    EXPECT_EQ(describe_document(plan.process(inputs[i])), reference[i].summary);
    EXPECT_EQ(describe_document(bulk[i]), reference[i].summary);
  }
  EXPECT_LE(10 * undecided, texts.size());
}

INSTANTIATE_TEST_SUITE_P(Bundles, TokenizerRandomTexts, ::testing::ValuesIn(kRandomCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lorvane
