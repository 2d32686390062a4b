// Classification: agreement with the PyTorch reference on random bundles of
// every input and network variant, batching by a budget of tokens, documents
// singly and pooled, and the "tokenize,sentiment" pipeline.

#include <gtest/gtest.h>

#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>

#include <thread>

#include "bundle/json.hpp"
#include "lorvane/document.hpp"
#include "lorvane/pipeline.hpp"
#include "lorvane/sentiment.hpp"
#include "models/sentiment/plan_impl.hpp"
#include "models/sentiment/sentiment_test_support.hpp"

namespace lorvane {
namespace {

using testing::sentences;
using testing::SentimentJob;
using Sentences = std::vector<std::vector<std::string>>;

struct ReferenceCase {
  std::string name;
  std::string options;
  std::string text;  // sentences, see testing::sentences
  std::uint64_t budget;
};

const std::string kWords =
    "the movie was great|The MOVIE was not bad '|new_york it's Paris zzz|<UNK> <PAD> qq the|caf\u00e9 don' ' ''|"
    "|great|a b c d e f g h i j k l|the was|was the|Rock'n rock'n ROCK'N it";

// One sentence of 300 tokens and 120 of one token: a single batch of 121 rows
// padded to 300 positions, which runs in slices of rows.
std::string long_and_short() {
  std::string text = "the";
  for (int i = 1; i < 300; ++i) text += i % 7 ? " movie" : " zzz";
  for (int i = 0; i < 120; ++i) text += i % 3 ? "|great" : "|qq";
  return text;
}

const std::vector<ReferenceCase>& reference_cases() {
  static const std::vector<ReferenceCase> cases = {
      {"none, full-width and 2-D filters", "{}", kWords, 7},
      {"sum, lower-cased, bilstm, three filters, two hidden layers",
       R"({"config": {"extra_wordvec_method": "SUM", "bilstm": true, "filter_sizes": [[2, 3], 4, [1, 6]],)"
       R"( "fc_shapes": [9, 7]}, "lower": true, "seed": 1})",
       kWords, 9},
      {"slices of a padded batch, bilstm",
       R"({"config": {"extra_wordvec_method": "SUM", "bilstm": true, "filter_sizes": [[2, 3], 4], "fc_shapes": [9]}})",
       long_and_short(), 500},
      // Padding reaches the filter's height 5 although its window is 1: two-token
      // sentences classify.
      {"tall 2-D filter", R"({"config": {"filter_sizes": [[5, 1]], "maxpool_width": 1}, "channels": [3], "seed": 5})",
       "the movie|great|was not|", 3},
      {"concat, projected character models, a filter taller than the window",
       R"({"config": {"extra_wordvec_method": "CONCAT", "has_charlm_forward": true, "has_charlm_backward": true,)"
       R"( "charlm_projection": 3, "filter_sizes": [2, [5, 1]], "fc_shapes": []}, "seed": 2})",
       kWords, 6},
      {"forward character model without projection, bilstm, maxpool 3",
       R"({"config": {"has_charlm_forward": true, "bilstm": true, "bilstm_hidden_dim": 5,)"
       R"( "filter_sizes": [[3, 5], 2], "maxpool_width": 3}, "channels": [5, 7], "seed": 3})",
       kWords, 5000},
      {"transformer, concat",
       R"({"config": {"extra_wordvec_method": "CONCAT"}, "transformer": {"packages_dir": ")" LORVANE_TRANSFORMER_PACKAGES
       R"(", "package": "contextual", "tokenizer": "WordPiece"}, "seed": 6})",
       kWords, 8},
      {"backward character model only, sum", R"({"config": {"has_charlm_backward": true, "extra_wordvec_method": "SUM",)"
       R"( "filter_sizes": [1, 3]}, "seed": 4})",
       kWords, 4},
  };
  return cases;
}

// A bundle whose class says whether a sentence was padded: the embedding row
// of <PAD> is 1, every other row and unk 0; one full-width filter of height 1
// takes the maximum over the positions; class 1 wins exactly when that is 1.
std::string pad_detector(int classes = 2, const std::string& fc_weight = "[0, 1]",
                         const std::string& fc_bias = "[0.5, 0]", const std::string& conv_dtype = "float32") {
  const std::string n = std::to_string(classes);
  return R"({"config": {"filter_sizes": [1], "maxpool_width": 1, "fc_shapes": [], "num_classes": )" + n +
         R"(}, "channels": [1], "dims": {"embedding": 1}, "tensors": {)"
         R"("embedding.weight": {"dtype": "float32", "shape": [14, 1], "values": [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]},)"
         R"("unk": {"dtype": "float32", "shape": [1], "values": [0]},)"
         R"("conv_layers.0.weight": {"dtype": ")" + conv_dtype + R"(", "shape": [1, 1, 1, 1], "values": [1]},)"
         R"("conv_layers.0.bias": {"dtype": "float32", "shape": [1], "values": [0]},)"
         R"("fc_layers.0.weight": {"dtype": "float32", "shape": [)" + n + R"(, 1], "values": )" + fc_weight + "},"
         R"("fc_layers.0.bias": {"dtype": "float32", "shape": [)" + n + R"(], "values": )" + fc_bias + "}}}";
}

class SentimentInferenceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // One intra-op thread, as the reference runs: the compiled transformer
    // package then gives both sides the same rows bit for bit.
    at::set_num_threads(1);
    scratch_ = new testing::TempDir();
    std::vector<SentimentJob> jobs;
    std::string requests = "[";
    for (const ReferenceCase& c : reference_cases()) {
      jobs.push_back({dir(c.name), c.options});
      if (requests.size() > 1) requests += ",";
      requests += R"({"bundle": )" + testing::json_quote(dir(c.name).string()) + R"(, "budget": )" +
                  std::to_string(c.budget) + R"(, "sentences": )" + sentences_json(sentences(c.text)) + "}";
    }
    jobs.push_back({dir("pads"), pad_detector()});
    jobs.push_back({dir("tie"), pad_detector(3, "[0, 0, 0]", "[0.25, 0.5, 0.5]")});
    jobs.push_back({dir("double conv"), pad_detector(2, "[0, 1]", "[0.5, 0]", "float64")});
    jobs.push_back({dir("models"), pad_detector(), true});
    testing::write_sentiment_bundles(scratch_->path(), jobs);
    testing::write_file(dir("requests.json"), requests + "]");
    testing::run_python({(testing::source_dir() / "tests/reference/sentiment_reference.py").string(),
                         dir("requests.json").string(), dir("reference.json").string()});
    reference_ = new detail::JsonValue(detail::parse_json(testing::read_file(dir("reference.json"))));
  }
  static void TearDownTestSuite() {
    delete reference_;
    delete scratch_;
  }
  static std::filesystem::path dir(const std::string& name) { return scratch_->path() / name; }
  static std::string sentences_json(const Sentences& all) {
    std::string out = "[";
    for (const auto& tokens : all) {
      out += out.size() > 1 ? ", [" : "[";
      for (std::size_t i = 0; i < tokens.size(); ++i) out += (i ? ", " : "") + testing::json_quote(tokens[i]);
      out += "]";
    }
    return out + "]";
  }
  static testing::TempDir* scratch_;
  static detail::JsonValue* reference_;
};
testing::TempDir* SentimentInferenceTest::scratch_ = nullptr;
detail::JsonValue* SentimentInferenceTest::reference_ = nullptr;

std::vector<std::int64_t> integers(const detail::JsonValue& array) {
  std::vector<std::int64_t> values;
  for (const detail::JsonValue& value : array.as_array("")) values.push_back(value.as_integer(""));
  return values;
}

TEST_F(SentimentInferenceTest, AgreesWithTheReference) {
  const auto& results = reference_->as_array("");
  ASSERT_EQ(results.size(), reference_cases().size());
  std::size_t classified = 0, skipped = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const ReferenceCase& c = reference_cases()[i];
    SCOPED_TRACE(c.name);
    const Sentences input = sentences(c.text);
    const SentimentPlan plan(dir(c.name), false);
    // Our logits stray from the exact ones by about as much as the
    // reference's float32 logits do; a class whose logit wins by less than
    // twice that is too close to call.
    const double tolerance = testing::float32_tolerance(results[i].at("float64_gap", "").as_number(""));
    const std::vector<std::int64_t> classes = plan.classify_many(input, c.budget);
    const std::vector<std::int64_t> expected_classes = integers(results[i].at("classes", ""));
    ASSERT_EQ(classes.size(), expected_classes.size());
    for (std::size_t k = 0; k < classes.size(); ++k) {
      const detail::JsonValue& margin = results[i].at("margins", "").as_array("")[k];
      if (!margin.is_null() && margin.as_number("") < 2.0 * tolerance) {
        ++skipped;
      } else {
        EXPECT_EQ(classes[k], expected_classes[k]) << "sentence " << k;
      }
    }
    classified += classes.size();

    // Each batch the reference cut, row by row.
    const SentimentPlan::Impl impl(dir(c.name), false);
    const c10::InferenceMode guard;
    const auto& logits = results[i].at("logits", "").as_array("");
    for (const detail::JsonValue& batch_json : results[i].at("batches", "").as_array("")) {
      SentimentPlan::Impl::Batch batch;
      for (std::int64_t index : integers(batch_json)) batch.push_back(&input[static_cast<std::size_t>(index)]);
      const at::Tensor actual = impl.batch_logits(batch).to(at::kDouble).contiguous();
      ASSERT_EQ(actual.size(0), static_cast<std::int64_t>(batch.size()));
      for (std::size_t row = 0; row < batch.size(); ++row) {
        std::vector<double> expected;
        for (const auto& v : logits[static_cast<std::size_t>(integers(batch_json)[row])].as_array("")) {
          expected.push_back(v.as_number(""));
        }
        const double* data = actual[static_cast<std::int64_t>(row)].data_ptr<double>();
        EXPECT_TRUE(testing::all_close({data, data + actual.size(1)}, expected, tolerance)) << "row " << row;
      }
    }
  }
  EXPECT_LE(10 * skipped, classified);
}

struct BatchCase {
  std::string text;
  std::uint64_t budget;
  std::vector<std::int64_t> classes;  // 1: the sentence was padded in its batch
};

TEST_F(SentimentInferenceTest, BatchesByTokenBudget) {
  const std::string six = "a b c d e f", five = "a b c d e", three = "a b c", two = "a b";
  const std::vector<BatchCase> cases = {
      {six + "|" + three + "|" + five + "|" + two, 10, {0, 1, 0, 1}},  // {6}, {5, 3, 2}
      {"a b c d e f g h i j k l|a|b", 10, {0, 0, 0}},                  // 12 tokens alone, then {1, 1}
      {three + "|" + two + "|" + "c d", 5, {0, 1, 0}},                 // equal lengths keep input order
      {two + "|" + three, 5000, {1, 0}},
      {"|a", 1, {1, 0}},                                               // an empty sentence gets a class
      {"|", 3, {1}},
  };
  const SentimentPlan plan(dir("pads"), false);
  for (const BatchCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(plan.classify_many(sentences(c.text), c.budget), c.classes);
  }
  EXPECT_THROW_MSG(plan.classify_many({}, 0), std::invalid_argument, "sentiment batch_size must be positive");
  EXPECT_THROW_MSG(plan.classify_many({{"a"}}, 0), std::invalid_argument, "sentiment batch_size must be positive");
  EXPECT_TRUE(plan.classify_many({}, 5).empty());
  EXPECT_EQ(plan.classify({}), 1);
  EXPECT_EQ(SentimentPlan(dir("tie"), false).classify({"a"}), 1);  // equal logits: the lowest class
}

std::vector<std::optional<int>> classes_of(const Document& document) {
  std::vector<std::optional<int>> classes;
  const SentenceSequence all = document.sentences();
  for (std::int64_t s = 0; s < static_cast<std::int64_t>(all.size()); ++s) classes.push_back(all.at(s).sentiment());
  return classes;
}

TEST_F(SentimentInferenceTest, DocumentsSinglyAndPooled) {
  using Classes = std::vector<std::optional<int>>;
  const Pipeline pipeline("en", {"tokenize", "sentiment"}, "default", dir("models"), "1.10.0", false, {});
  // "One two three ." is the longest sentence: only "Four ." is padded.
  EXPECT_EQ(classes_of(pipeline.process("One two three. Four.")), (Classes{0, 1}));

  // Alone, "Four ." is not padded; pooled with a longer document it is.
  const std::vector<std::string> texts = {"Four.", "One two three four five six."};
  EXPECT_EQ(classes_of(pipeline.process(texts[0])), (Classes{0}));
  const std::vector<Document> pooled = pipeline.process_bulk(texts);
  EXPECT_EQ(classes_of(pooled[0]), (Classes{1}));
  EXPECT_EQ(classes_of(pooled[1]), (Classes{0}));

  const Pipeline tokenize("en", {"tokenize"}, "default", dir("models"), "1.10.0", false, {});
  const SentimentPlan plan(dir("pads"), false);
  EXPECT_TRUE(classes_of(plan.process(tokenize.process(""))).empty());
  EXPECT_TRUE(plan.process_bulk({}).empty());

  // A failure in the network (a float64 filter over float32 vectors) leaves
  // every sentence as it was.
  Document document = tokenize.process("One two. Three.");
  document.sentences().at(0).set_sentiment(7);
  EXPECT_ANY_THROW(SentimentPlan(dir("double conv"), false).process(document));
  EXPECT_EQ(classes_of(document), (Classes{7, std::nullopt}));
}

TEST_F(SentimentInferenceTest, ThreadsShareOnePlan) {
  const ReferenceCase& c = reference_cases()[1];
  const SentimentPlan plan(dir(c.name), false);
  const Sentences input = sentences(c.text);
  const std::vector<std::int64_t> expected = plan.classify_many(input, c.budget);
  std::vector<std::vector<std::int64_t>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] {
      for (int round = 0; round < 5; ++round) result = plan.classify_many(input, c.budget);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace lorvane
