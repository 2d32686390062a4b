// Opening ner bundles: every refusal in check order with its exact message and
// error class, the flags a loaded plan reads, zero-copy tensor views and the
// weight sets in flat order.

#include <gtest/gtest.h>

#include <stdexcept>
#include <typeinfo>

#include "lorvane/bundle.hpp"
#include "lorvane/document.hpp"
#include "lorvane/ner.hpp"
#include "models/ner/plan_impl.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using testing::TempDir;

constexpr const char* kProfile =
    "unsupported NER architecture; the native profile requires static and delta word embeddings, a "
    "bidirectional character LSTM without recurrent dropout, and a standard bidirectional tagger LSTM";
constexpr const char* kColumns = "NER tag vocabulary columns are not contiguous";
constexpr const char* kPredict = "NER predict_tagset is out of range";

struct Refusal {
  const char* name;
  const char* options;  // ner_bundle.py keyword arguments
  std::string message;
  const std::type_info* type = &typeid(NERModelError);
};

// The tag vocabulary replaced after the tensors were made for one column.
#define ID2UNIT(columns) R"({"assets_ops": [{"set": ["vocab", "tag", "_id2unit"], "value": )" columns "}]}"

const std::vector<Refusal> kRefusals = {
    {"kind_before_json", R"({"bundle": {"processor": "pos", "assets_text": "{oops"}})",
     "expected an NER bundle, got 'pos'"},
    {"json_syntax", R"({"bundle": {"assets_text": "{\"config\" 1}"}})", "expected ':' at JSON byte 10"},
    {"no_config", R"({"assets_ops": [{"delete": "config"}]})", "missing JSON key 'config' at assets"},
    {"config_not_object", R"({"assets_ops": [{"set": "config", "value": []}]})", "expected JSON object at assets.config"},
    {"no_char", R"({"drop_config": ["char"]})", kProfile},
    {"char_false", R"({"config": {"char": false}})", kProfile},
    {"word_emb_dim_0", R"({"config": {"word_emb_dim": 0}})", kProfile},
    {"char_emb_dim_0", R"({"config": {"char_emb_dim": 0}})", kProfile},
    {"char_hidden_dim_absent", R"({"drop_config": ["char_hidden_dim"]})", kProfile},
    {"char_num_layers_null", R"({"config": {"char_num_layers": null}})", kProfile},
    {"hidden_dim_negative", R"({"config": {"hidden_dim": -1}})", kProfile},
    {"num_layers_0", R"({"config": {"num_layers": 0}})", kProfile},
    {"word_emb_dim_fraction", R"({"config": {"word_emb_dim": 300.5}})",
     "expected JSON integer at assets.config.word_emb_dim"},
    {"lowercase_string", R"({"config": {"lowercase": "yes"}})", "expected JSON boolean at assets.config.lowercase"},
    {"dropout_half", R"({"config": {"char_rec_dropout": 0.5}})", kProfile},
    {"dropout_string", R"({"config": {"char_rec_dropout": "0"}})",
     "expected JSON number at assets.config.char_rec_dropout"},
    {"profile_before_dropout", R"({"config": {"char": false, "char_rec_dropout": "0"}})", kProfile},
    {"scheme_upper", R"({"config": {"scheme": "BIOES"}})", "the native NER profile requires BIOES tags"},
    {"profile_before_scheme", R"({"config": {"num_layers": 0, "scheme": "bio"}})", kProfile},
    {"scheme_before_vocab", R"({"config": {"scheme": "BIOES"}, "assets_ops": [{"delete": "vocab"}]})",
     "the native NER profile requires BIOES tags"},
    {"transformer_assets_missing", R"({"config": {"bert_model": ""}})", "missing JSON key 'transformer' at assets"},
    {"layout_word", R"({"assets_ops": [{"set": "vocab._key2class.word", "value": "WordVocab"}]})",
     "unsupported NER vocabulary layout"},
    {"layout_no_tag", R"({"assets_ops": [{"delete": "vocab._key2class.tag"}]})",
     "missing JSON key 'tag' at assets.vocab._key2class"},
    {"layout_number", R"({"assets_ops": [{"set": "vocab._key2class.char", "value": 3}]})", "expected JSON string"},
    {"no_delta", R"({"assets_ops": [{"delete": "vocab.delta"}]})", "missing JSON key 'delta' at assets.vocab"},
    {"delta_id_string", R"({"assets_ops": [{"set": ["vocab", "delta", "_unit2id", "john"], "value": "4"}]})",
     "expected JSON integer at assets.vocab.delta._unit2id.john"},
    {"no_char_vocab", R"({"assets_ops": [{"delete": "vocab.char"}]})", "missing JSON key 'char' at assets.vocab"},
    {"word_lower_null", R"({"vocab_extra": {"word": {"lower": null}}})",
     "expected JSON boolean at assets.vocab.word.lower"},
    {"no_columns", ID2UNIT("{}"), kPredict},
    {"column_gap", ID2UNIT(R"({"0": ["a"], "2": ["b"]})"), kColumns},
    {"column_x", ID2UNIT(R"({"x": ["a"]})"), "NER tag vocabulary column is not numeric: 'x'"},
    {"column_trailing", ID2UNIT(R"({"1x": ["a"], "0": ["b"]})"), kColumns},
    {"column_beyond_64_bits", ID2UNIT(R"({"18446744073709551616": ["a"]})"),
     "NER tag vocabulary column is not numeric: '18446744073709551616'"},
    {"column_64_bits", ID2UNIT(R"({"18446744073709551615": ["a"]})"), kColumns},
    {"column_minus_one", ID2UNIT(R"({"-1": ["a"]})"), kColumns},
    {"column_twice", ID2UNIT(R"({"0": ["a"], "00": ["b"]})"), kColumns},
    {"column_twice_first_empty", ID2UNIT(R"({"0": [], "00": ["b"]})"), kColumns},
    {"column_element_number", ID2UNIT(R"({"0": ["a", 3]})"), "expected JSON string at assets.vocab.tag._id2unit.0[]"},
    {"predict_at_count", R"({"config": {"predict_tagset": 1}})", kPredict},
    {"predict_negative", R"({"config": {"predict_tagset": -1}, "extra_tensors": {"z": {"dtype": "complex64", "shape": [1]}}})",
     kPredict},
    {"dtype_complex", R"({"extra_tensors": {"z": {"dtype": "complex64", "shape": [1]}}})",
     "ATen view does not support bundle dtype: complex64"},
    {"charlm_char_vocabulary_needed", R"({"config": {"charlm": true}, "assets_ops": [{"delete": "vocab.char"}]})",
     "missing JSON key 'char' at assets.vocab"},
    {"charlm_slot_missing", R"({"config": {"charlm": true}, "assets_ops": [{"delete": "charlm.backward"}]})",
     "missing JSON key 'backward' at assets.charlm"},
    {"charlm_json_error", R"({"config": {"charlm": true}, "assets_ops": [{"delete": "charlm.forward.is_forward_lm"}]})",
     "missing JSON key 'is_forward_lm' at charlm assets"},
    {"charlm_error_unchanged", R"({"config": {"charlm": true}, "assets_ops": [{"set": "charlm.backward.config.char_num_layers", "value": 0}]})",
     "unsupported character language model; hidden size and layer count must be positive and recurrent dropout must be zero",
     &typeid(CharLMModelError)},
    {"charlm_forward_slot_backward", R"({"config": {"charlm": true}, "charlm_slots": {"forward": false}})",
     "NER charLM directions disagree with their asset slots"},
    {"charlm_backward_slot_forward", R"({"config": {"charlm": true}, "charlm_slots": {"backward": true}})",
     "NER charLM directions disagree with their asset slots"},
    {"missing_word_emb", R"({"drop_tensors": ["word_emb.weight"]})", "missing NER tensor: 'word_emb.weight'"},
    {"missing_first_in_order", R"({"drop_tensors": ["tag_clfs.0.bias", "taggerlstm_c_init"]})",
     "missing NER tensor: 'taggerlstm_c_init'"},
    {"missing_char_layer_1_reverse", R"({"drop_tensors": ["charmodel.charlstm.lstm.bias_hh_l1_reverse"]})",
     "missing NER tensor: 'charmodel.charlstm.lstm.bias_hh_l1_reverse'"},
    {"missing_transform_bias", R"({"config": {"input_transform": true}, "drop_tensors": ["input_transform.bias"]})",
     "missing NER tensor: 'input_transform.bias'"},
    {"missing_unpredicted_crf",
     R"({"tag_columns": [["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O"], ["a", "b"]], "drop_tensors": ["crits.1._transitions"]})",
     "missing NER tensor: 'crits.1._transitions'"},
    {"presence_before_shape",
     R"({"drop_tensors": ["crits.0._transitions"], "tensors": {"word_emb.weight": {"dtype": "float32", "shape": [3, 7]}}})",
     "missing NER tensor: 'crits.0._transitions'"},
    {"word_emb_rows", R"({"tensors": {"word_emb.weight": {"dtype": "float32", "shape": [12, 7]}}})",
     "NER embedding dimensions disagree with bundled vocabularies"},
    {"delta_emb_width", R"({"tensors": {"delta_emb.weight": {"dtype": "float32", "shape": [8, 8]}}})",
     "NER embedding dimensions disagree with bundled vocabularies"},
    {"char_emb_width", R"({"tensors": {"charmodel.char_emb.weight": {"dtype": "float32", "shape": [38, 4]}}})",
     "NER character embedding dimensions disagree with its vocabulary"},
    {"transform_bias", R"({"config": {"input_transform": true}, "tensors": {"input_transform.bias": {"dtype": "float32", "shape": [16]}}})",
     "NER tagger input size disagrees with its embedding profile"},
    {"tagger_input", R"({"tensors": {"taggerlstm.lstm.weight_ih_l0": {"dtype": "float32", "shape": [24, 14]}}})",
     "NER tagger input size disagrees with its embedding profile"},
    {"transitions_not_square", R"({"tensors": {"crits.0._transitions": {"dtype": "float32", "shape": [13, 14]}}})",
     "NER classifier dimensions disagree with tag vocabulary"},
    {"embedding_before_classifier",
     R"({"tensors": {"crits.0._transitions": {"dtype": "float32", "shape": [2, 2]}, "word_emb.weight": {"dtype": "float32", "shape": [11, 6]}}})",
     "NER embedding dimensions disagree with bundled vocabularies"},
    {"bundle_error_unchanged", R"({"bundle": {"manifest_ops": [{"upper": "assets.sha256"}]}})",
     "assets checksum mismatch", &typeid(ModelBundleError)},
};

struct Loadable {
  const char* name;
  const char* options;
};

const std::vector<Loadable> kLoadable = {
    {"defaults", "{}"},
    {"flags_absent", R"({"drop_config": ["lowercase", "scheme", "char_rec_dropout"], "vocab_extra": {"word": {"lower": true}}})"},
    {"flags_null", R"({"config": {"lowercase": null, "scheme": null, "char_rec_dropout": null}})"},
    {"flags_set", R"({"config": {"lowercase": false, "char_lowercase": true, "char_rec_dropout": 0.0, "input_transform": true, "connect_output_layers": true}, "vocab_extra": {"delta": {"lower": true}}})"},
    {"blank_column_key",
     R"({"tag_columns": [["a"], ["b", "c"]], "assets_ops": [{"set": ["vocab", "tag", "_id2unit"], "value": {"0": ["a"], " 1": ["b", "c"]}}]})"},
    {"charlm", R"({"config": {"charlm": true}})"},
    {"eleven_layers", R"({"config": {"num_layers": 11, "predict_tagset": 0}, "extra_tensors": {"input_transform.weight": {"dtype": "float32", "shape": [1]}}})"},
};

class NERPlanTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    std::vector<std::pair<std::filesystem::path, std::string>> jobs;
    for (const Refusal& c : kRefusals) jobs.emplace_back(path(c.name), c.options);
    for (const Loadable& c : kLoadable) jobs.emplace_back(path(c.name), c.options);
    testing::write_generated_bundles("ner_bundle.py", dir_->path(), jobs);
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::filesystem::path path(const std::string& name) { return dir_->path() / name; }
  static TempDir* dir_;
};

TempDir* NERPlanTest::dir_ = nullptr;

TEST_F(NERPlanTest, RefusesEachBrokenBundleWithItsFirstProblem) {
  for (const Refusal& c : kRefusals) {
    SCOPED_TRACE(c.name);
    const bool verify = std::string(c.name) == "bundle_error_unchanged";
    try {
      NERPlan plan(path(c.name), verify);
      ADD_FAILURE() << "loaded";
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.message);
      EXPECT_EQ(typeid(e), *c.type) << typeid(e).name();
    }
  }
}

TEST_F(NERPlanTest, ReadsTheFlagsWithTheirDefaults) {
  struct Flags {
    const char* bundle;
    bool lowercase, char_lowercase, word_lower, delta_lower, input_transform, connect_output_layers;
  };
  for (const Flags& c : std::vector<Flags>{{"defaults", true, false, false, false, false, false},
                                           {"flags_absent", true, false, true, false, false, false},
                                           {"flags_null", true, false, false, false, false, false},
                                           {"flags_set", false, true, false, true, true, true}}) {
    SCOPED_TRACE(c.bundle);
    const NERPlan::Impl plan(path(c.bundle), false);
    EXPECT_EQ(plan.lowercase, c.lowercase);
    EXPECT_EQ(plan.char_lowercase, c.char_lowercase);
    EXPECT_EQ(plan.word_lower, c.word_lower);
    EXPECT_EQ(plan.delta_lower, c.delta_lower);
    EXPECT_EQ(plan.input_transform, c.input_transform);
    EXPECT_EQ(plan.connect_output_layers, c.connect_output_layers);
    EXPECT_FALSE(plan.charlm || plan.use_transformer);
  }
  const NERPlan::Impl charlm(path("charlm"), false);
  EXPECT_TRUE(charlm.charlm);
  EXPECT_EQ(charlm.input_width(), 7 + 9 + 8);
  EXPECT_TRUE(charlm.char_lstm.flat().empty() && charlm.char_initial_state.empty());
  EXPECT_FALSE(charlm.tensors.contains("charmodel.char_emb.weight"));
  const NERPlan::Impl blank(path("blank_column_key"), false);
  EXPECT_EQ(blank.tag_columns, (std::vector<std::vector<std::string>>{{"a"}, {"b", "c"}}));
  EXPECT_EQ(blank.tag_heads.size(), 2u);
}

TEST_F(NERPlanTest, TensorsAreViewsAndWeightSetsRunInFlatOrder) {
  const NERPlan::Impl plan(path("eleven_layers"), false);
  for (const TensorDescriptor& d : plan.bundle->tensors()) {
    EXPECT_EQ(plan.weight(d.name).data_ptr(), plan.bundle->tensor_data(d.name)) << d.name;
  }
  const std::vector<at::Tensor>& flat = plan.tagger_lstm.flat();
  ASSERT_EQ(flat.size(), 88u);
  const char* kinds[] = {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"};
  for (std::size_t i = 0; i < flat.size(); ++i) {
    const std::size_t layer = i / 8;
    const std::string name = std::string("taggerlstm.lstm.") + kinds[i % 4] + std::to_string(layer) +
                             (i % 8 >= 4 ? "_reverse" : "");
    EXPECT_EQ(flat[i].data_ptr(), plan.bundle->tensor_data(name)) << name;
  }
  EXPECT_EQ(plan.char_lstm.flat().size(), 16u);
  EXPECT_EQ(plan.tagger_initial_state.at(1).data_ptr(), plan.bundle->tensor_data("taggerlstm_c_init"));
  EXPECT_THROW_MSG(plan.weight("nope"), NERModelError, "missing NER tensor: 'nope'");
}

TEST_F(NERPlanTest, AMovedFromPlanThrowsALogicError) {
  NERPlan plan(path("defaults"), false);
  NERPlan moved(std::move(plan));
  EXPECT_EQ(moved.bundle().processor(), "ner");
  EXPECT_THROW_MSG(plan.bundle(), std::logic_error, "the NER plan has been moved from");
  EXPECT_THROW_MSG(plan.tag({"a"}), std::logic_error, "the NER plan has been moved from");
  EXPECT_THROW_MSG(plan.process(Document("a")), std::logic_error, "the NER plan has been moved from");
  plan = std::move(moved);
  EXPECT_EQ(plan.tag({}), std::vector<std::string>{});
}

}  // namespace
}  // namespace lorvane
