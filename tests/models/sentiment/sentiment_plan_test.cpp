// Loading sentiment bundles: every check of the construction and of the
// tensor validation in order with its message, the fields a bundle loads
// into, the word look-ups, and moved-from plans.

#include <gtest/gtest.h>

#include <map>

#include "lorvane/bundle.hpp"
#include "lorvane/document.hpp"
#include "lorvane/sentiment.hpp"
#include "models/sentiment/plan_impl.hpp"
#include "models/sentiment/sentiment_test_support.hpp"

namespace lorvane {
namespace {

using testing::SentimentJob;

struct LoadCase {
  std::string name;
  std::string options;
  std::string message;  // empty: loads
};

std::string set(const std::string& path, const std::string& value) {
  return R"({"assets_ops": [{"set": ")" + path + R"(", "value": )" + value + "}]}";
}
std::string drop(const std::string& path) { return R"({"assets_ops": [{"delete": ")" + path + R"("}]})"; }
std::string config(const std::string& keys) { return R"({"config": {)" + keys + "}}"; }
std::string shaped(const std::string& name, const std::string& shape, const std::string& more = "") {
  return R"({"tensors": {")" + name + R"(": {"dtype": "float32", "shape": )" + shape + R"(, "values": "random"}})" +
         more + "}";
}

const std::string kProfile =
    "unsupported sentiment architecture; the native profile requires Tavrin's CNN classifier without ELMo or PEFT";
const std::string kDimensions = "sentiment dimensions and maxpool width must be positive";
const std::string kPretrain = "sentiment pretrain embedding dimensions disagree with its vocabulary";
const std::string kExtra = "sentiment extra embedding dimensions disagree with its vocabulary";
const std::string kConv = "sentiment convolution tensor disagrees with its configured filter";
const std::string kTiling = "sentiment 2D filter does not tile its input width";
const std::string kFc = "sentiment fully connected layer dimensions disagree with the configured architecture";
const std::string kCharlms = R"("has_charlm_forward": true, "has_charlm_backward": true)";

// Default bundle: vocabulary of 14 words, E = 12, filters [3, [2, 4]] with 4
// and 5 channels, maxpool 2, fc_shapes [9], 3 classes (see sentiment_bundle.py).
const std::vector<LoadCase>& load_cases() {
  static const std::vector<LoadCase> cases = {
      {"default", "{}", ""},
      {"wrong processor", R"({"bundle": {"processor": "ner"}})", "expected a sentiment bundle, got 'ner'"},
      {"no config", drop("config"), "missing JSON key 'config' at assets"},
      {"no model type", drop("config.model_type"), "missing JSON key 'model_type' at assets.config"},
      {"model type case", config(R"("model_type": "cnn")"), kProfile},
      {"elmo", config(R"("use_elmo": true)"), kProfile},
      {"elmo null", config(R"("use_elmo": null)"), ""},
      {"elmo string", config(R"("use_elmo": "no")"), "expected JSON boolean at assets.config.use_elmo"},
      {"peft", config(R"("use_peft": true)"), kProfile},
      {"max norm 0", config(R"("extra_wordvec_max_norm": 0)"),
       "sentiment extra-embedding max-norm constraints are not supported by the native profile"},
      {"max norm null", config(R"("extra_wordvec_max_norm": null)"), ""},
      {"method case", config(R"("extra_wordvec_method": "sum")"), "unsupported sentiment extra word-vector method: 'sum'"},
      {"no maxpool", drop("config.maxpool_width"), kDimensions},
      {"maxpool fraction", set("config.maxpool_width", "2.5"), "expected JSON integer at assets.config.maxpool_width"},
      {"no classes", set("config.num_classes", "0"), kDimensions},
      {"bilstm without width", R"({"config": {"bilstm": true}, "assets_ops": [{"delete": "config.bilstm_hidden_dim"}]})",
       kDimensions},
      {"no bilstm, no width", drop("config.bilstm_hidden_dim"), ""},
      {"no filter key", drop("config.filter_sizes"), "missing JSON key 'filter_sizes' at assets.config"},
      {"filters []", set("config.filter_sizes", "[]"), "sentiment classifier has no convolution filters"},
      {"filters [[3]]", set("config.filter_sizes", "[[3]]"), "sentiment 2D filter must have two dimensions"},
      {"filters [[3,4,5]]", set("config.filter_sizes", "[[3, 4, 5]]"), "sentiment 2D filter must have two dimensions"},
      {"filters [0]", set("config.filter_sizes", "[0]"), "sentiment convolution dimensions must be positive"},
      {"filters [[3,0]]", set("config.filter_sizes", "[3, [3, 0]]"), "sentiment convolution dimensions must be positive"},
      {"filters [2.5]", set("config.filter_sizes", "[2.5]"), "expected JSON array at assets.config.filter_sizes[0]"},
      {"filter string", set("config.filter_sizes", R"([3, "x"])"), "expected JSON array at assets.config.filter_sizes[1]"},
      {"filter string width", set("config.filter_sizes", R"([[3, "4"]])"),
       "expected JSON integer at assets.config.filter_sizes[0][1]"},
      {"labels", R"({"config": {"num_classes": 2}, "labels": ["a", "b", "c"]})", "sentiment labels disagree with num_classes"},
      {"no labels", drop("labels"), "missing JSON key 'labels' at assets"},
      {"vocabulary id type", set("pretrain_vocab._unit2id.the", R"("2")"),
       "expected JSON integer at assets.pretrain_vocab._unit2id.the"},
      {"lower null", set("pretrain_vocab.lower", "null"), "expected JSON boolean at assets.pretrain_vocab.lower"},
      {"PAD/UNK swapped", R"({"vocab": {"<PAD>": 1, "<UNK>": 0, "a": 2}})",
       "sentiment pretrain vocabulary has invalid PAD/UNK ids"},
      {"repeated ids", R"({"vocab": {"<PAD>": 0, "<UNK>": 1, "a": 3, "b": 3}})", ""},
      {"id past the table", R"({"vocab": {"<PAD>": 0, "<UNK>": 1, "a": 3}, "tensors": {"embedding.weight": )"
                            R"({"dtype": "float32", "shape": [3, 12], "values": "random"}}})",
       kPretrain},
      {"extra [] NONE", R"({"extra_vocab": []})", ""},
      {"extra null NONE", set("extra_vocab", "null"), ""},
      {"extra [] CONCAT", R"({"config": {"extra_wordvec_method": "CONCAT"}, "extra_vocab": []})",
       "sentiment extra vocabulary disagrees with its method"},
      {"extra with NONE", R"({"extra_vocab": ["a"]})", "sentiment extra vocabulary disagrees with its method"},
      {"extra word type", R"({"config": {"extra_wordvec_method": "SUM"}, "extra_vocab": ["a", 3]})",
       "expected JSON string at assets.extra_vocab[]"},
      {"extra repeat", R"({"config": {"extra_wordvec_method": "CONCAT"}, "extra_vocab": ["a", "a", "b"]})", ""},
      {"extra repeat, rows by count",
       R"({"config": {"extra_wordvec_method": "CONCAT"}, "extra_vocab": ["a", "a", "b"], "tensors": )"
       R"({"extra_embedding.weight": {"dtype": "float32", "shape": [2, 4], "values": "random"}}})",
       kExtra},
      {"extra of one word lacks the unknown row",
       R"({"config": {"extra_wordvec_method": "SUM"}, "extra_vocab": ["a"], "tensors": )"
       R"({"extra_embedding.weight": {"dtype": "float32", "shape": [1, 12], "values": "random"}}})",
       kExtra},
      {"extra rows", R"({"config": {"extra_wordvec_method": "CONCAT"}, "tensors": )"
                     R"({"extra_embedding.weight": {"dtype": "float32", "shape": [7, 4], "values": "random"}}})",
       kExtra},
      {"summed widths", R"({"config": {"extra_wordvec_method": "SUM"}, "tensors": )"
                        R"({"extra_embedding.weight": {"dtype": "float32", "shape": [6, 4], "values": "random"}}})",
       "summed sentiment embeddings have different widths"},
      {"no charlm assets", R"({"config": {"has_charlm_backward": true}, "assets_ops": [{"delete": "charlm"}]})",
       "missing JSON key 'charlm' at assets"},
      {"forward charlm only", R"({"config": {"has_charlm_forward": true, "filter_sizes": [3]}})", ""},
      {"forward slot holds a backward model", R"({"config": {"has_charlm_forward": true}, "charlm_forward_lm": false})",
       "sentiment forward charLM has the wrong direction"},
      {"backward slot holds a forward model", R"({"config": {"has_charlm_backward": true}, "charlm_backward_lm": true})",
       "sentiment backward charLM has the wrong direction"},
      {"projection input", R"({"config": {)" + kCharlms + R"(, "charlm_projection": 3}, "tensors": )"
                           R"({"charmodel_backward_projection.weight": {"dtype": "float32", "shape": [3, 7], "values": "random"}}})",
       "sentiment backward charLM projection has an invalid input width"},
      {"projection output", R"({"config": {)" + kCharlms + R"(, "charlm_projection": 3}, "tensors": )"
                            R"({"charmodel_forward_projection.weight": {"dtype": "float32", "shape": [1, 7], "values": "random"}}})",
       "sentiment forward charLM projection has an invalid input width"},
      {"no projection bias", R"({"config": {)" + kCharlms + R"(, "charlm_projection": 3}, "drop_tensors": )"
                             R"(["charmodel_forward_projection.bias"]})",
       "missing sentiment tensor: 'charmodel_forward_projection.bias'"},
      {"transformer named by an empty string", config(R"("bert_model": "")"), "missing JSON key 'transformer' at assets"},
      {"transformer null", config(R"("bert_model": null)"), ""},
      {"unused bool and uint8 tensors",
       R"({"extra_tensors": {"flags": {"dtype": "bool", "shape": [2], "values": "zeros"}, "bytes": )"
       R"({"dtype": "uint8", "shape": [3], "values": "arange"}}})",
       ""},
      {"unused uint16 tensor", R"({"extra_tensors": {"odd": {"dtype": "uint16", "shape": [2], "values": "zeros"}}})",
       "ATen view does not support bundle dtype: uint16"},
      {"no embedding", R"({"drop_tensors": ["embedding.weight", "unk"]})", "missing sentiment tensor: 'embedding.weight'"},
      {"no unk", R"({"drop_tensors": ["unk"]})", "missing sentiment tensor: 'unk'"},
      {"embedding rows", shaped("embedding.weight", "[13, 12]"), kPretrain},
      {"unk width", shaped("unk", "[11]"), kPretrain},
      {"bilstm tensor", R"({"config": {"bilstm": true}, "drop_tensors": ["bilstm.bias_hh_l1_reverse"]})",
       "missing sentiment tensor: 'bilstm.bias_hh_l1_reverse'"},
      {"bilstm input", R"({"config": {"bilstm": true}, "tensors": )"
                       R"({"bilstm.weight_ih_l0": {"dtype": "float32", "shape": [24, 13], "values": "random"}}})",
       "sentiment BiLSTM input width disagrees with its embedding profile"},
      // The filters see 2 x 5 columns, no longer the 12 of the embedding.
      {"bilstm output feeds the filters",
       R"({"config": {"bilstm": true, "bilstm_hidden_dim": 5, "filter_sizes": [3]}, "tensors": )"
       R"({"conv_layers.0.weight": {"dtype": "float32", "shape": [4, 1, 3, 12], "values": "random"}}})",
       "sentiment full-width convolution has the wrong input width"},
      // 2 x 2^62 would leave int64: the size is refused before any use.
      {"width past int64", R"({"config": {"bilstm": true, "filter_sizes": [3]}, "assets_ops": )"
                           R"([{"set": "config.bilstm_hidden_dim", "value": 4611686018427387904}]})",
       "expected an integer from 1 to 16777216 at assets.config.bilstm_hidden_dim"},
      {"conv rank", shaped("conv_layers.0.weight", "[4, 1, 3]"), kConv},
      {"conv height", shaped("conv_layers.0.weight", "[4, 1, 2, 12]"), kConv},
      {"2D width", shaped("conv_layers.1.weight", "[5, 1, 2, 3]"), kTiling},
      {"2D tiling", config(R"("filter_sizes": [[2, 5]])"), kTiling},
      {"full width", shaped("conv_layers.0.weight", "[4, 1, 3, 11]"), "sentiment full-width convolution has the wrong input width"},
      {"fewer channels than a pooling group", R"({"channels": [1, 5]})", kConv},
      {"one channel, three columns", R"({"channels": [4, 1]})", ""},
      {"no fc shapes", drop("config.fc_shapes"), "missing JSON key 'fc_shapes' at assets.config"},
      {"fc shape type", R"({"assets_ops": [{"set": "config.fc_shapes.0", "value": "x"}]})",
       "expected JSON integer at assets.config.fc_shapes[]"},
      {"fc weight", shaped("fc_layers.0.weight", "[9, 8]"), kFc},
      {"fc bias", shaped("fc_layers.1.bias", "[2]"), kFc},
      {"no fc bias", R"({"drop_tensors": ["fc_layers.1.bias"]})", "missing sentiment tensor: 'fc_layers.1.bias'"},
      {"fc []", config(R"("fc_shapes": [])"), ""},
      {"fc [128]", config(R"("fc_shapes": [128])"), ""},
      {"filters [[5, 1]]", config(R"("filter_sizes": [[5, 1]])"), ""},
      {"filters [[1, 6]]", config(R"("filter_sizes": [[1, 6]])"), ""},
      {"bilstm", R"({"config": {"bilstm": true}})", ""},
  };
  return cases;
}

class SentimentPlanTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testing::TempDir();
    std::vector<SentimentJob> jobs;
    for (const LoadCase& c : load_cases()) jobs.push_back({dir(c.name), c.options});
    jobs.push_back({dir("lookup"), R"({"vocab": )" + lookup_vocab() + R"(, "config": {"extra_wordvec_method": "SUM"},)"
                                       R"( "extra_vocab": ["<PAD>", "<UNK>", "Paris", "new york", "Paris"]})"});
    jobs.push_back({dir("lookup lower"), R"({"vocab": )" + lookup_vocab() + R"(, "lower": true})"});
    testing::write_sentiment_bundles(scratch_->path(), jobs);
  }
  static void TearDownTestSuite() { delete scratch_; }
  static std::filesystem::path dir(const std::string& name) { return scratch_->path() / name; }
  static std::unique_ptr<SentimentPlan::Impl> load(const std::string& name) {
    return std::make_unique<SentimentPlan::Impl>(dir(name), false);
  }
  static std::string lookup_vocab() {
    return R"({"<PAD>": 0, "<UNK>": 1, "the": 2, "paris": 3, "Rock": 4, "new\u00a0york": 5, "don": 6, "": 7,)"
           R"( "\u00e9clair": 8, "it's": 9})";
  }
  static testing::TempDir* scratch_;
};
testing::TempDir* SentimentPlanTest::scratch_ = nullptr;

TEST_F(SentimentPlanTest, EveryLoadingCheckInOrder) {
  for (const LoadCase& c : load_cases()) {
    SCOPED_TRACE(c.name);
    if (c.message.empty()) {
      EXPECT_NO_THROW(SentimentPlan(dir(c.name), true));
    } else {
      EXPECT_THROW_MSG(SentimentPlan(dir(c.name), false), SentimentModelError, c.message);
    }
  }
}

TEST_F(SentimentPlanTest, FieldsOfLoadedBundles) {
  const auto plain = load("default");
  EXPECT_EQ(plain->labels, (std::vector<std::string>{"negative", "neutral", "positive"}));
  ASSERT_EQ(plain->filters.size(), 2u);
  EXPECT_EQ(plain->filters[1].height, 2);
  EXPECT_EQ(plain->filters[1].width, 4);
  EXPECT_TRUE(plain->filters[1].two_d);
  EXPECT_FALSE(plain->filters[0].two_d);
  EXPECT_EQ(plain->max_window, 4);
  EXPECT_EQ(plain->fc_layer_count, 2);
  EXPECT_FALSE(plain->bilstm || plain->use_transformer || plain->pretrain_lower);
  EXPECT_TRUE(plain->bilstm_weights.flat().empty());
  // Views over the mapping, not copies.
  EXPECT_EQ(plain->weight("embedding.weight").data_ptr(), plain->bundle->tensor_data("embedding.weight"));
  EXPECT_EQ(plain->conv_layers[1].weight.data_ptr(), plain->bundle->tensor_data("conv_layers.1.weight"));
  EXPECT_THROW_MSG(plain->weight("nothing"), SentimentModelError, "missing sentiment tensor: 'nothing'");

  // A two-dimensional filter's width enters the window; its height only the
  // least padded length.
  EXPECT_EQ(load("filters [[1, 6]]")->max_window, 6);
  const auto tall = load("filters [[5, 1]]");
  EXPECT_EQ(tall->max_window, 1);
  EXPECT_EQ(tall->min_padded_length, 5);
  EXPECT_EQ(load("fc []")->fc_layer_count, 1);
  EXPECT_EQ(load("fc [128]")->fc_layers[0].weight.size(0), 128);

  const auto repeated = load("extra repeat");  // a, a, b
  EXPECT_EQ(repeated->extra_id("a"), 0);
  EXPECT_EQ(repeated->extra_id("b"), 2);
  EXPECT_EQ(repeated->extra_rows, 3);

  const auto bilstm = load("bilstm");
  ASSERT_EQ(bilstm->bilstm_weights.flat().size(), 16u);
  std::size_t slot = 0;
  for (const std::string layer : {"0", "1"}) {
    for (const std::string direction : {"", "_reverse"}) {
      for (const std::string kind : {"weight_ih", "weight_hh", "bias_ih", "bias_hh"}) {
        const std::string name = "bilstm." + kind + "_l" + layer + direction;
        EXPECT_EQ(bilstm->bilstm_weights.flat()[slot++].data_ptr(), bilstm->bundle->tensor_data(name)) << name;
      }
    }
  }
}

struct LookupCase {
  std::string token;
  std::int64_t id;        // vocabulary as stored
  std::int64_t lower_id;  // lower-cased vocabulary
};

TEST_F(SentimentPlanTest, WordLookups) {
  const std::vector<LookupCase> cases = {
      {"the", 2, 2},
      {"The", 2, 2},           // attempt 3
      {"PARIS", 3, 3},
      {"Rock", 4, 1},          // a lower-cased vocabulary never finds capitals
      {"rock", 1, 1},
      {"new york", 5, 5},      // spaces are looked up as U+00A0
      {"New York", 5, 5},
      {"don'", 6, 6},          // attempt 2: without the trailing quote
      {"DON'", 1, 6},
      {"'", 1, 1},             // a lone quote is not cut down to ""
      {"\u00c9clair", 8, 8},
      {"it's", 9, 9},
      {"<UNK>", 1, 1},
      {"<PAD>", 0, 1},         // "<pad>" is not in the lower-cased vocabulary
      {"", 7, 7},
  };
  const auto plain = load("lookup");
  const auto lower = load("lookup lower");
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.token);
    EXPECT_EQ(plain->pretrained_id(c.token), c.id);
    EXPECT_EQ(lower->pretrained_id(c.token), c.lower_id);
  }
  // The extra vocabulary takes the raw text and falls back to 1.
  EXPECT_EQ(plain->extra_id("Paris"), 2);
  EXPECT_EQ(plain->extra_id("paris"), 1);
  EXPECT_EQ(plain->extra_id("new york"), 3);
  EXPECT_EQ(plain->extra_id("new\u00a0york"), 1);
}

TEST_F(SentimentPlanTest, MovedFromPlans) {
  SentimentPlan plan(dir("default"), false);
  SentimentPlan other(std::move(plan));
  EXPECT_THROW_MSG(plan.classify({"the"}), std::logic_error, "the sentiment plan has been moved from");
  EXPECT_THROW_MSG(plan.bundle(), std::logic_error, "the sentiment plan has been moved from");
  EXPECT_THROW_MSG(plan.process_bulk({}), std::logic_error, "the sentiment plan has been moved from");
  plan = SentimentPlan(dir("fc []"), false);
  EXPECT_EQ(plan.bundle().processor(), "sentiment");
  EXPECT_EQ(other.classify_many({}, 3), std::vector<std::int64_t>{});
}

}  // namespace
}  // namespace lorvane
