// Arc and relation scoring and the labelled parse against the eager
// reference (tests/reference/depparse_scoring_reference.py), on seeded random
// weights with every dimension distinct.

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/errors.hpp"
#include "models/depparse/labelled_parse.hpp"
#include "models/depparse/scoring.hpp"
#include "nn/model_tensors.hpp"
#include "support/test_support.hpp"

namespace lorvane::detail {
namespace {

using lorvane::testing::TempDir;

class DepparseScoring : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    at::set_num_threads(1);
    directory_ = new TempDir();
    lorvane::testing::run_python({(lorvane::testing::source_dir() / "tests/reference/depparse_scoring_reference.py").string(),
                                  (directory_->path() / "bundle").string()});
    bundle_ = new ModelBundle(directory_->path() / "bundle", false);
    tensors_ = new ModelTensors(*bundle_, &raise<DepparseModelError>, "missing depparse tensor: '");
    assets_ = new JsonValue(parse_json(bundle_->assets_json()));
  }
  static void TearDownTestSuite() {
    delete assets_;
    delete tensors_;
    delete bundle_;
    delete directory_;
  }

  static const at::Tensor& tensor(const std::string& name) { return tensors_->require(name); }
  static const JsonValue& config(std::string_view key) { return assets_->at("config", "").at(key, ""); }
  static std::vector<std::string> relations() {
    std::vector<std::string> units;
    for (const JsonValue& unit : assets_->at("deprel", "").as_array("")) units.push_back(unit.as_string(""));
    return units;
  }
  static ArcScorers scorers(const std::string& name, bool linearization, bool distance) {
    const auto lookup = [&](const std::string& weight) -> const at::Tensor& { return tensor(name + "." + weight); };
    ArcScorers s{DeepBiaffineWeights::named("unlabeled", lookup), DeepBiaffineWeights::named("deprel", lookup), {}, {}};
    if (linearization) s.linearization = DeepBiaffineWeights::named("linearization", lookup);
    if (distance) s.distance = DeepBiaffineWeights::named("distance", lookup);
    return s;
  }
  // The batched case's sentences: word counts and encoded rows.
  static void many_sentences(std::vector<std::size_t>& words, std::vector<at::Tensor>& encoded) {
    for (const JsonValue& count : config("many_words").as_array("")) {
      words.push_back(static_cast<std::size_t>(count.as_integer("")));
      encoded.push_back(tensor("many.x" + std::to_string(encoded.size())));
    }
  }
  // Float64 scores leave room for rounding only; float32 scores stray from
  // the exact ones by about the reference's own float32 gap whatever order
  // their sums run in.
  static void expect_close(const at::Tensor& actual, const at::Tensor& expected, double float64_gap) {
    ASSERT_EQ(actual.sizes(), expected.sizes());
    ASSERT_EQ(actual.scalar_type(), expected.scalar_type());
    const double tolerance =
        expected.scalar_type() == at::kDouble ? 1e-10 : lorvane::testing::float32_tolerance(float64_gap);
    EXPECT_TRUE(at::allclose(actual, expected, 0.0, tolerance))
        << "largest difference " << (actual - expected).nan_to_num(0, 0, 0).abs().max().item<double>();
  }
  static void expect_parse(const std::vector<DependencyPrediction>& parse, const JsonValue& expected) {
    const auto& heads = expected.at("heads", "").as_array("");
    const auto& deprels = expected.at("deprels", "").as_array("");
    ASSERT_EQ(parse.size(), heads.size());
    for (std::size_t i = 0; i < parse.size(); ++i) {
      EXPECT_EQ(parse[i].head, heads[i].as_integer("")) << "word " << i + 1;
      EXPECT_EQ(parse[i].deprel, deprels[i].as_string("")) << "word " << i + 1;
    }
  }

  c10::InferenceMode guard_;
  static TempDir* directory_;
  static ModelBundle* bundle_;
  static ModelTensors* tensors_;
  static JsonValue* assets_;
};

TempDir* DepparseScoring::directory_ = nullptr;
ModelBundle* DepparseScoring::bundle_ = nullptr;
ModelTensors* DepparseScoring::tensors_ = nullptr;
JsonValue* DepparseScoring::assets_ = nullptr;

TEST_F(DepparseScoring, EqualsTheReference) {
  for (const JsonValue& c : config("scoring_cases").as_array("")) {
    const std::string name = c.at("name", "").as_string("");
    SCOPED_TRACE(name);
    const ArcScorers s = scorers(name, c.at("linearization", "").as_bool(""), c.at("distance", "").as_bool(""));
    const at::Tensor& x = tensor(name + ".x");
    const at::Tensor* mask = c.at("mask", "").as_bool("") ? &tensor(name + ".mask") : nullptr;
    const auto [arcs, relations] = score_encoded(s, x, mask);
    const double gap = c.at("float64_gap", "").as_number("");
    expect_close(arcs, tensor(name + ".arcs"), gap);
    expect_close(relations, tensor(name + ".relations"), gap);
    // [B, L, L, O]: dependent rows first, candidate heads second.
    const at::Tensor raw = deep_biaffine(x, s.deprel);
    EXPECT_EQ(raw.sizes(), (at::IntArrayRef{x.size(0), x.size(1), x.size(1), s.deprel.pairwise_bias.size(0)}));
    if (mask != nullptr) {
      const at::Tensor wide = at::ones({x.size(0), x.size(1) + 1}, at::kBool);
      EXPECT_THROW_MSG(score_encoded(s, x, &wide), DepparseModelError, "depparse padding mask does not match encoded input");
    }
  }
}

TEST_F(DepparseScoring, ManySentencesEqualTheReferenceAndEachAlone) {
  const ArcScorers s = scorers("both", true, true);
  std::vector<std::size_t> words;
  std::vector<at::Tensor> encoded;
  many_sentences(words, encoded);
  const std::int64_t budget = config("many_batch").as_integer("");
  const double gap = config("many_gap").as_number("");
  for (const std::int64_t batch_size : {budget, std::int64_t{1}, std::int64_t{5000}}) {
    SCOPED_TRACE(batch_size);
    const std::vector<ArcScores> scores = score_encoded_many(s, encoded, words, batch_size);
    ASSERT_EQ(scores.size(), words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (words[i] == 0) {
        EXPECT_FALSE(scores[i].first.defined() || scores[i].second.defined());
        continue;
      }
      expect_close(scores[i].first, tensor("many.arcs" + std::to_string(i)), gap);
      expect_close(scores[i].second, tensor("many.relations" + std::to_string(i)), gap);
      const ArcScores alone = score_encoded(s, encoded[i], nullptr);
      expect_close(scores[i].first, alone.first, gap);
      expect_close(scores[i].second, alone.second, gap);
    }
  }
  EXPECT_THROW_MSG(score_encoded_many(s, encoded, {1, 2}, budget), DepparseModelError,
                   "depparse encoded and sentence batches must have equal lengths");
  std::vector<std::size_t> wrong = words;
  ++wrong.back();
  EXPECT_THROW_MSG(score_encoded_many(s, encoded, wrong, budget), DepparseModelError,
                   "depparse encoded sentence length does not match its words");
  encoded.back() = at::Tensor();
  EXPECT_THROW_MSG(score_encoded_many(s, encoded, words, budget), DepparseModelError,
                   "depparse encoded sentence length does not match its words");
}

// Relation rows computed on request, for arcs in any order and for a
// dependent under every head, equal the reference's full relation scores.
TEST_F(DepparseScoring, RelationRowsOnRequestEqualTheReference) {
  const ArcScorers s = scorers("both", true, true);
  std::vector<std::size_t> words;
  std::vector<at::Tensor> encoded;
  many_sentences(words, encoded);
  const std::vector<SentenceScores> scores = score_sentences(s, encoded, words, config("many_batch").as_integer(""));
  const double gap = config("many_gap").as_number("");
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] == 0) continue;
    SCOPED_TRACE(i);
    const at::Tensor expected = tensor("many.relations" + std::to_string(i))[0].to(at::kDouble);
    const RelationRows rows(s.deprel, scores[i].dependents, scores[i].heads);
    const std::size_t n = words[i] + 1;
    const auto classes = static_cast<std::size_t>(expected.size(2));
    ASSERT_EQ(rows.size(), n);
    ASSERT_EQ(rows.classes(), classes);
    // Every arc, heads in decreasing order, each arc four times (several blocks).
    std::vector<std::size_t> dependents;
    std::vector<std::size_t> heads;
    for (std::size_t round = 0; round < 4; ++round) {
      for (std::size_t head = n; head-- > 0;) {
        for (std::size_t dependent = 0; dependent < n; ++dependent) {
          dependents.push_back(dependent);
          heads.push_back(head);
        }
      }
    }
    std::vector<double> arc_rows(dependents.size() * classes);
    rows.arc_rows(dependents, heads, arc_rows.data());
    for (std::size_t k = 0; k < dependents.size(); ++k) {
      const at::Tensor got = at::from_blob(arc_rows.data() + k * classes, {static_cast<std::int64_t>(classes)}, at::kDouble);
      expect_close(got.to(at::kFloat),
                   expected[static_cast<std::int64_t>(dependents[k])][static_cast<std::int64_t>(heads[k])].to(at::kFloat),
                   gap);
    }
    std::vector<double> all_heads(n * classes);
    for (std::size_t dependent = 0; dependent < n; ++dependent) {
      rows.dependent_rows(dependent, all_heads.data());
      const at::Tensor got = at::from_blob(all_heads.data(), {static_cast<std::int64_t>(n), static_cast<std::int64_t>(classes)}, at::kDouble);
      expect_close(got.to(at::kFloat), expected[static_cast<std::int64_t>(dependent)].to(at::kFloat), gap);
    }
  }
}

// A sentence of more than 2^20 arc cells, whose arc scores are computed a
// block of rows at a time.
TEST_F(DepparseScoring, LongSentenceArcsEqualTheReference) {
  const ArcScorers s = scorers("both", true, true);
  const auto words = static_cast<std::size_t>(config("long_words").as_integer(""));
  const std::vector<SentenceScores> scores = score_sentences(s, {tensor("long.x")}, {words}, 5000);
  expect_close(scores[0].arcs.unsqueeze(0), tensor("long.arcs"), config("long_gap").as_number(""));
}

TEST_F(DepparseScoring, LabelledParseOfReferenceScores) {
  const std::vector<std::string> units = relations();
  for (const JsonValue& c : config("parse_cases").as_array("")) {
    const std::string name = c.at("name", "").as_string("");
    SCOPED_TRACE(name);
    const at::Tensor& arcs = tensor(name + ".arcs");
    const auto words = static_cast<std::size_t>(arcs.size(-1) - 1);
    expect_parse(parse_scored(words, arcs, tensor(name + ".relations"), units), c);
  }
  for (const auto& [index, expected] : config("many_parses").as_object("")) {
    SCOPED_TRACE(index);
    const at::Tensor& arcs = tensor("many.arcs" + index);
    expect_parse(parse_scored(static_cast<std::size_t>(arcs.size(-1) - 1), arcs, tensor("many.relations" + index), units),
                 expected);
  }
  EXPECT_TRUE(parse_scored(0, at::Tensor(), at::Tensor(), units).empty());
  const at::Tensor& arcs = tensor("p3.arcs");
  const at::Tensor& relations = tensor("p3.relations");
  EXPECT_THROW_MSG(parse_scored(1, arcs, relations.narrow(0, 0, 2), units), DepparseModelError,
                   "depparse score tensors disagree in size");
  EXPECT_THROW(parse_scored(1, arcs.to(at::kLong), relations, units), c10::Error);
}

TEST_F(DepparseScoring, MissingWeightIsNamed) {
  const auto lookup = [&](const std::string& weight) -> const at::Tensor& { return tensor("plain." + weight); };
  EXPECT_THROW_MSG(DeepBiaffineWeights::named("distance", lookup), DepparseModelError,
                   "missing depparse tensor: 'plain.distance.W1.weight'");
}

}  // namespace
}  // namespace lorvane::detail
