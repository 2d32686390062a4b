// Loading a constituency bundle: every refusal in the order the loader meets
// it, and what an accepted bundle yields.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <typeinfo>

#include "lorvane/constituency.hpp"
#include "lorvane/document.hpp"
#include "models/constituency/plan_impl.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using Impl = ConstituencyPlan::Impl;

const std::string kArchitecture =
    "unsupported constituency architecture; the native profile requires IN_ORDER/MAX/LSTM with ReLU, one tree "
    "layer, ordinary output layers, and no parser attention or PEFT";
const std::string kDimensions = "constituency model dimensions must be positive";
const std::string kIncompleteOpen = "constituency Open transition is incomplete";
const std::string kIncompleteTable = "constituency transition table is incomplete";
const std::string kRows = "constituency vocabularies disagree with embedding rows";
const std::string kHidden = "constituency hidden dimensions disagree";
const std::string kPadUnk = "constituency pretrain vocabulary has invalid PAD/UNK ids";

struct LoadCase {
  std::string name;
  std::string options;
  std::string message;  // empty: the bundle loads and `check` holds
  std::function<void(const Impl&)> check = {};
};

std::string missing(const std::string& tensor) { return "missing constituency tensor: '" + tensor + "'"; }

std::string config(const std::string& members) { return R"({"config": {)" + members + "}}"; }
std::string assets(const std::string& members) { return R"({"assets": {)" + members + "}}"; }
std::string transitions(const std::string& entries) {
  return assets(R"("transitions": [{"kind": "shift"}, {"kind": "close"})" + entries + "]");
}

const std::vector<LoadCase>& load_cases() {
  static const std::vector<LoadCase> cases = {
      {"processor", R"({"bundle": {"processor": "pos"}})", "expected a constituency bundle, got 'pos'"},
      {"assets not an object", R"({"assets_ops": [{"root": []}]})", "expected JSON object at assets"},
      {"no config", R"({"assets_ops": [{"delete": "config"}]})", "missing JSON key 'config' at assets"},
      {"config not an object", R"({"assets_ops": [{"set": "config", "value": 3}]})",
       "expected JSON object at assets.config"},
      {"scheme absent", R"({"drop_config": ["transition_scheme"]})",
       "missing JSON key 'transition_scheme' at assets.config"},
      {"scheme", config(R"("transition_scheme": "TOP_DOWN")"), kArchitecture},
      {"scheme decides before an absent key",
       R"({"config": {"transition_scheme": "in_order"}, "drop_config": ["constituency_composition"]})", kArchitecture},
      {"composition", config(R"("constituency_composition": "max")"), kArchitecture},
      {"transition stack", config(R"("transition_stack": "ATTN")"), kArchitecture},
      {"constituent stack", config(R"("constituent_stack": "TREE_LSTM")"), kArchitecture},
      {"nonlinearity type", config(R"("nonlinearity": 5)"), "expected JSON string at assets.config.nonlinearity"},
      {"nonlinearity", config(R"("nonlinearity": "tanh")"), kArchitecture},
      {"tree layers absent", R"({"drop_config": ["num_tree_lstm_layers"]})", kArchitecture},
      {"tree layers", config(R"("num_tree_lstm_layers": 2)"), kArchitecture},
      {"maxout", config(R"("maxout_k": 2)"), kArchitecture},
      {"maxout type", config(R"("maxout_k": "2")"), "expected JSON integer at assets.config.maxout_k"},
      {"parser attention", config(R"("pattn_num_layers": 1)"), kArchitecture},
      {"rattn", config(R"("use_rattn": true)"), kArchitecture},
      {"rattn type", config(R"("use_rattn": 0)"), "expected JSON boolean at assets.config.use_rattn"},
      {"peft", config(R"("use_peft": true)"), kArchitecture},
      {"boundary profile", config(R"("sentence_boundary_vectors": "everything")"),
       "unsupported constituency sentence boundary profile: 'everything'"},
      {"hidden size", config(R"("hidden_size": 0)"), kDimensions},
      {"tag dimension", config(R"("tag_embedding_dim": -1)"), kDimensions},
      {"output layers absent", R"({"drop_config": ["num_output_layers"]})", kDimensions},
      {"types before ranges", config(R"("hidden_size": 0, "num_output_layers": "2")"),
       "expected JSON integer at assets.config.num_output_layers"},
      {"no contract", R"({"assets_ops": [{"delete": "runtime_contract"}]})",
       "missing JSON key 'runtime_contract' at assets"},
      {"tag source", assets(R"("runtime_contract": {"tag_source": "XPOS"})"),
       "unsupported constituency tag source: 'XPOS'"},
      {"unary limit", assets(R"("unary_limit": -1)"), "constituency unary limit cannot be negative"},
      {"unary limit type", assets(R"("unary_limit": 2.0)"), "expected JSON integer at assets.unary_limit"},
      {"root labels", assets(R"("root_labels": [])"), "constituency model has no root labels"},
      {"root label type", assets(R"("root_labels": ["ROOT", 1])"), "expected JSON string at assets.root_labels[]"},
      {"kind absent", assets(R"("transitions": [{"kind": "shift"}, {}])"),
       "missing JSON key 'kind' at assets.transitions[1]"},
      {"unknown kind", transitions(R"(, {"kind": "reduce"})"), "unknown constituency transition kind: 'reduce'"},
      {"open index absent", transitions(R"(, {"kind": "open", "labels": ["NP"]})"),
       "missing JSON key 'open_index' at assets.transitions[2]"},
      {"label type", transitions(R"(, {"kind": "open", "open_index": 0, "labels": [null]})"),
       "expected JSON string at assets.transitions[2].labels[]"},
      {"no labels", transitions(R"(, {"kind": "open", "open_index": 0, "labels": []})"), kIncompleteOpen},
      {"negative open index", transitions(R"(, {"kind": "open", "open_index": -1, "labels": ["NP"]})"),
       kIncompleteOpen},
      {"opens only", assets(R"("transitions": [{"kind": "open", "open_index": 0, "labels": ["NP"]}])"),
       kIncompleteTable},
      {"no close", assets(R"("transitions": [{"kind": "shift"}])"), kIncompleteTable},
      {"empty table", assets(R"("transitions": [])"), kIncompleteTable},
      {"delta word type", assets(R"("delta_words": ["a", 1])"), "expected JSON string at assets.delta_words[]"},
      {"tag type", assets(R"("tags": [true])"), "expected JSON string at assets.tags[]"},
      {"PAD and UNK swapped", assets(R"("pretrain_vocab": {"_unit2id": {"<PAD>": 1, "<UNK>": 0}})"), kPadUnk},
      {"no UNK", assets(R"("pretrain_vocab": {"_unit2id": {"<PAD>": 0, "x": 1}})"), kPadUnk},
      {"pretrained id type", R"({"assets_ops": [{"set": "pretrain_vocab._unit2id.the", "value": "2"}]})",
       "expected JSON integer at assets.pretrain_vocab._unit2id.the"},
      {"lower null", R"({"assets_ops": [{"set": "pretrain_vocab.lower", "value": null}]})",
       "expected JSON boolean at assets.pretrain_vocab.lower"},
      {"complex64", R"({"extra_tensors": {"other.head": {"dtype": "complex64", "shape": [2]}}})",
       "ATen view does not support bundle dtype: complex64"},
      {"uint16", R"({"extra_tensors": {"other.head": {"dtype": "uint16", "shape": [2]}}})",
       "ATen view does not support bundle dtype: uint16"},
      {"charLM without assets", R"({"charlm": ["backward"], "charlm_assets_member": false})",
       "constituency charLM tensors have no assets"},
      {"charLM member absent", R"({"charlm": ["forward"], "assets_ops": [{"delete": "charlm.forward"}]})",
       "missing JSON key 'forward' at assets.charlm"},
      {"forward direction",
       R"({"charlm": ["forward"], "assets_ops": [{"set": "charlm.forward.is_forward_lm", "value": false}]})",
       "constituency forward charLM has the wrong direction"},
      {"backward direction",
       R"({"charlm": ["backward"], "assets_ops": [{"set": "charlm.backward.is_forward_lm", "value": true}]})",
       "constituency backward charLM has the wrong direction"},
      {"transformer assets", config(R"("bert_model": "any")"), "missing JSON key 'transformer' at assets"},
      {"boundary tensor", R"({"drop_tensors": ["constituent_stack.start_embedding"]})",
       missing("constituent_stack.start_embedding")},
      {"tag embedding", R"({"drop_tensors": ["tag_embedding.weight"]})", missing("tag_embedding.weight")},
      {"layer order", R"({"drop_tensors": ["transition_stack.lstm.weight_ih_l0", "word_lstm.bias_hh_l0_reverse"]})",
       missing("word_lstm.bias_hh_l0_reverse")},
      {"LSTMs before output layers",
       R"({"drop_tensors": ["output_layers.1.bias", "constituent_stack.lstm.bias_hh_l1"]})",
       missing("constituent_stack.lstm.bias_hh_l1")},
      {"output bias", R"({"drop_tensors": ["output_layers.1.bias"]})", missing("output_layers.1.bias")},
      {"layer ten", R"({"config": {"num_lstm_layers": 11}, "drop_tensors": ["word_lstm.weight_hh_l10_reverse"]})",
       missing("word_lstm.weight_hh_l10_reverse")},
      {"embedding rows", R"({"tensors": {"embedding.weight": {"dtype": "float32", "shape": [12, 9]}}})", kRows},
      // Rows follow the largest assigned id: "b" is at position 2, so 5 rows, not distinct + 2 = 4.
      {"delta rows from ids",
       R"({"assets": {"delta_words": ["a", "a", "b"]}, "tensors": {"delta_embedding.weight": {"dtype": "float32", "shape": [4, 6]}}})",
       kRows},
      {"tag rows", R"({"tensors": {"tag_embedding.weight": {"dtype": "float32", "shape": [7, 3]}}})", kRows},
      {"transition rows", R"({"tensors": {"transition_embedding.weight": {"dtype": "float32", "shape": [9, 4]}}})",
       kRows},
      {"dummy width", R"({"tensors": {"dummy_embedding.weight": {"dtype": "float32", "shape": [5, 6]}}})", kHidden},
      {"projection rows", R"({"tensors": {"word_to_constituent.weight": {"dtype": "float32", "shape": [6, 14]}}})",
       kHidden},
      {"reduce rank", R"({"tensors": {"reduce_linear.weight": {"dtype": "float32", "shape": [7, 7, 1]}}})", kHidden},
      {"reduce width", R"({"tensors": {"reduce_linear.weight": {"dtype": "float32", "shape": [7, 14]}}})", kHidden},

      {"default", "{}", "",
       [](const Impl& impl) {
         EXPECT_FALSE(impl.uses_xpos);
         EXPECT_TRUE(impl.sentence_boundaries && impl.has_shift && impl.has_close && !impl.pretrain_lower);
         EXPECT_FALSE(impl.forward_charlm || impl.backward_charlm || impl.transformer || impl.uses_transformer);
         EXPECT_EQ(std::vector<std::int64_t>({impl.hidden_size, impl.transition_hidden_size, impl.tag_embedding_dim,
                                              impl.transition_embedding_dim, impl.delta_embedding_dim,
                                              impl.num_lstm_layers, impl.num_output_layers, impl.unary_limit}),
                   std::vector<std::int64_t>({7, 5, 3, 4, 6, 2, 2, 2}));
         ASSERT_EQ(impl.transitions.size(), 8u);
         EXPECT_EQ(impl.transitions[6].labels, std::vector<std::string>({"PP", "NP"}));
         EXPECT_EQ(impl.transitions[6].open_index, 4);
         EXPECT_EQ(impl.transitions[3].kind, TransitionKind::Close);
         EXPECT_EQ(impl.delta_vocab.at("Paris"), 3);
         EXPECT_EQ(impl.delta_vocab.at("paris"), 4);
         EXPECT_EQ(impl.tag_vocab.at("PUNCT"), 7);
         EXPECT_EQ(impl.word_lstm_weights.flat().size(), 16u);
         EXPECT_EQ(impl.transition_stack_weights.flat()[4].sizes(), at::IntArrayRef({20, 5}));
         EXPECT_EQ(impl.constituent_stack_state.h.sizes(), at::IntArrayRef({2, 1, 7}));
         EXPECT_EQ(impl.word_lstm_state.c.sizes(), at::IntArrayRef({4, 1, 7}));
         EXPECT_EQ(impl.output_layers.size(), 2u);
         // Views over the mapping, not copies.
         EXPECT_EQ(impl.fetched.embedding.data_ptr(), impl.bundle->tensor_data("embedding.weight"));
         EXPECT_EQ(impl.output_layers[1].first.data_ptr(), impl.bundle->tensor_data("output_layers.1.weight"));
       }},
      {"xpos", assets(R"("runtime_contract": {"tag_source": "xpos"})"), "",
       [](const Impl& impl) { EXPECT_TRUE(impl.uses_xpos); }},
      {"no tag embedding", R"({"config": {"tag_embedding_dim": 0}})", "",
       [](const Impl& impl) { EXPECT_FALSE(impl.fetched.tag_embedding.defined()); }},
      // The other tensors are shaped for no tag columns, as the absent key reads.
      {"tag dimension absent, any tag rows",
       R"({"config": {"tag_embedding_dim": 0}, "drop_config": ["tag_embedding_dim"],)"
       R"( "tensors": {"tag_embedding.weight": {"dtype": "float32", "shape": [2, 3]}}})",
       "", [](const Impl& impl) { EXPECT_EQ(impl.tag_embedding_dim, 0); }},
      {"optional profile keys absent",
       R"({"drop_config": ["maxout_k", "pattn_num_layers", "use_rattn", "use_peft", "bert_model"]})", "", nullptr},
      {"no boundaries, no boundary tensors", config(R"("sentence_boundary_vectors": "NONE")"), "",
       [](const Impl& impl) { EXPECT_FALSE(impl.sentence_boundaries); }},
      {"unary limit zero, no Open", assets(R"("unary_limit": 0, "transitions": [{"kind": "close"}, {"kind": "shift"}])"),
       "", [](const Impl& impl) { EXPECT_EQ(impl.unary_limit, 0); }},
      {"repeats keep their first position", assets(R"("delta_words": ["a", "b", "a", "c"], "tags": ["X", "X"])"), "",
       [](const Impl& impl) {
         EXPECT_EQ(impl.delta_vocab.at("a"), 2);
         EXPECT_EQ(impl.delta_vocab.at("b"), 3);
         EXPECT_EQ(impl.delta_vocab.at("c"), 5);
         EXPECT_EQ(impl.delta_rows, 6);
         EXPECT_EQ(impl.tag_rows, 3);
       }},
      {"lower", R"({"assets_ops": [{"set": "pretrain_vocab.lower", "value": true}]})", "",
       [](const Impl& impl) { EXPECT_TRUE(impl.pretrain_lower); }},
      {"other heads", R"({"extra_tensors": {"tagger.weight": {"dtype": "int8", "shape": [3]}}})", "", nullptr},
      {"backward charLM only", R"({"charlm": ["backward"]})", "",
       [](const Impl& impl) {
         EXPECT_TRUE(impl.has_backward_charlm && !impl.has_forward_charlm && !impl.forward_charlm);
         ASSERT_TRUE(impl.backward_charlm);
         EXPECT_EQ(impl.backward_charlm->hidden_size(), 12);
       }},
  };
  return cases;
}

std::size_t case_index(const std::string& name) {
  const auto& cases = load_cases();
  return static_cast<std::size_t>(
      std::find_if(cases.begin(), cases.end(), [&](const LoadCase& c) { return c.name == name; }) - cases.begin());
}

class ConstituencyPlanLoading : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new testing::TempDir();
    std::vector<std::pair<std::filesystem::path, std::string>> jobs;
    for (std::size_t i = 0; i < load_cases().size(); ++i) jobs.emplace_back(dir(i), load_cases()[i].options);
    testing::write_generated_bundles("constituency_bundle.py", root_->path(), jobs);
  }
  static void TearDownTestSuite() { delete root_; }
  static std::filesystem::path dir(std::size_t i) { return root_->path() / std::to_string(i); }
  static testing::TempDir* root_;
};
testing::TempDir* ConstituencyPlanLoading::root_ = nullptr;

TEST_F(ConstituencyPlanLoading, EachRefusalInLoadingOrder) {
  for (std::size_t i = 0; i < load_cases().size(); ++i) {
    const LoadCase& c = load_cases()[i];
    SCOPED_TRACE(c.name);
    try {
      const ConstituencyPlan plan(dir(i), true);
      EXPECT_EQ(c.message, "") << "loaded";
      if (c.check) c.check(*detail::load_constituency_plan(dir(i), false));
    } catch (const std::exception& error) {
      EXPECT_EQ(error.what(), c.message);
      EXPECT_EQ(typeid(error), typeid(ConstituencyModelError));
    }
  }
}

TEST_F(ConstituencyPlanLoading, BundleErrorsPassUnchangedAndMovedFromPlansRefuse) {
  const auto missing_dir = root_->path() / "absent";
  try {
    ConstituencyPlan plan(missing_dir, false);
    ADD_FAILURE() << "loaded";
  } catch (const ModelBundleError& error) {
    EXPECT_EQ(typeid(error), typeid(ModelBundleError));
  }

  ConstituencyPlan plan(dir(case_index("default")), false);
  ConstituencyPlan moved(std::move(plan));
  EXPECT_FALSE(moved.uses_xpos());
  const std::string message = "the constituency plan has been moved from";
  EXPECT_THROW_MSG(plan.bundle(), std::logic_error, message);
  EXPECT_THROW_MSG(plan.uses_xpos(), std::logic_error, message);
  EXPECT_THROW_MSG(plan.parse({"a"}, {"X"}), std::logic_error, message);
  EXPECT_THROW_MSG(plan.parse_many({}, {}), std::logic_error, message);
  EXPECT_THROW_MSG(plan.process(Document("a")), std::logic_error, message);
  EXPECT_THROW_MSG(plan.process_bulk({}), std::logic_error, message);
  plan = std::move(moved);
  EXPECT_EQ(plan.bundle().processor(), "constituency");
}

}  // namespace
}  // namespace lorvane
