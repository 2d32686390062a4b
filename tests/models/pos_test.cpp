// The POS tagger: loading and validation messages in check order, and the
// encoder and heads against the eager PyTorch reference
// (tests/reference/pos_reference.py) on generated bundles with seeded random
// weights, singly, in batches and through the document entry points.

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "document/document_records.hpp"
#include "lorvane/document.hpp"
#include "lorvane/pos.hpp"
#include "models/pos/plan_impl.hpp"
#include "models/pos_reference_bounds.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

namespace fs = std::filesystem;
using Sentences = std::vector<std::vector<std::string>>;
using testing::json_string;

// Bundles that load, each compared with the reference.
struct ModelCase {
  std::string name;
  std::string options;  // JSON keyword arguments of pos_bundle.write_pos_bundle
  std::string xpos;     // the XPOS every word must get ("" when not forced)
  std::string feats;    // the features every word must get ("" when not forced)
  bool charlm = false;  // character language models instead of the character LSTM
};

const std::vector<ModelCase>& model_cases() {
  static const std::vector<ModelCase> cases = {
      {"plain", R"({"seed": 11})", "", ""},
      {"composite", R"({"seed": 12, "composite": true, "word_lower": true})", "", ""},
      // Class 2 is absent for every feature; for a plain XPOS without an
      // "ignore" list it is the ordinary unit at position 2.
      {"absent",
       R"({"seed": 13, "force": {"xpos_clf.W_bilin": 2, "ufeats_clf.0.W_bilin": 2, "ufeats_clf.1.W_bilin": 2,
           "ufeats_clf.2.W_bilin": 2, "ufeats_clf.3.W_bilin": 2}})",
       "<EMPTY>", "_"},
      {"ignored", R"({"seed": 14, "xpos_ignore": ["_"], "force": {"xpos_clf.W_bilin": 2, "ufeats_clf.2.W_bilin": 4}})",
       "_", ""},
      {"partial",
       R"({"seed": 15, "composite": true, "force": {"xpos_clf.0.W_bilin": 3, "xpos_clf.1.W_bilin": 2,
           "xpos_clf.2.W_bilin": 4, "ufeats_clf.0.W_bilin": 2, "ufeats_clf.1.W_bilin": 3,
           "ufeats_clf.2.W_bilin": 2, "ufeats_clf.3.W_bilin": 4}})",
       "Nc+f", "Definite=Def|abbr=No"},
      {"all_absent", R"({"seed": 16, "composite": true, "force": {"xpos_clf.0.W_bilin": 2, "xpos_clf.1.W_bilin": 2,
           "xpos_clf.2.W_bilin": 2}})", "_", ""},
      {"one_layer", R"({"seed": 17, "config": {"num_layers": 1}})", "", ""},
      // "char_num_layers" is not read with character language models.
      {"charlm", R"({"seed": 18, "config": {"charlm": true, "charlm_transform_dim": 21, "char_num_layers": null}})",
       "", "", true},
      {"charlm_raw", R"({"seed": 19, "composite": true, "config": {"charlm": true}})", "", "", true},
  };
  return cases;
}

// 300 words: the tagger's recurrences run long enough for float32 rounding
// to accumulate.
std::vector<std::string> long_sentence() {
  const std::vector<std::string> words = {"the", "dog", "sat", "on", "a", "mat", ",", "K\u00f6ln", "runs", "?"};
  std::vector<std::string> out;
  for (std::size_t i = 0; i < 300; ++i) out.push_back(words[(i * 7 + i / 10) % words.size()]);
  return out;
}

// With character language models an empty word is encoded too.
const Sentences& sentences(bool charlm = false) {
  static const Sentences list = {
      {"The", "dog", "runs", "?!?"},
      {},
      {"new york", "K\u00f6ln", "stra\u00dfe", "\u00dcber", "THE", "!!", "\uFF1F", "?a", "\uFF1F!", "zebra"},
      {"the", "cat", "sat", "on", "a", "mat", "."},
      {"a", "big", "dog", "sat", "on", "the", "new york", "mat", ",", "the", "cat", "runs", "!", "?", "dogs",
       "The", "Cat", "on", "a", "mat", "\u00e9t\u00e9", "x", "."},
      {"dog"},
      {"dogs", "runs", "on", "The", "mat", "?", "!"},
      {},
      long_sentence(),
  };
  static const Sentences with_empty_word = [] {
    Sentences extended = list;
    extended.push_back({"a", "", "dog"});
    return extended;
  }();
  return charlm ? with_empty_word : list;
}

// Loading refusals, in the order the loader checks: options -> message.
struct RefusalCase {
  std::string name;
  std::string options;
  std::string message;
  bool pos_error = true;  // a POSModelError, or another component's ModelBundleError
};

const char* const kProfile =
    "unsupported POS architecture; the native profile requires word/pretrain embeddings, one "
    "unidirectional character LSTM, a non-shared HighwayLSTM, and no recurrent dropout";

std::string set_op(const std::string& path, const std::string& value) {
  return R"({"assets_ops": [{"set": ")" + path + R"(", "value": )" + value + "}]}";
}

const std::vector<RefusalCase>& refusal_cases() {
  static const std::vector<RefusalCase> cases = {
      {"kind", R"({"bundle": {"processor": "tokenize"}})", "expected a POS bundle, got 'tokenize'"},
      {"no_char", R"({"assets_ops": [{"delete": "config.char"}]})", kProfile},
      {"pretrain_off", set_op("config.pretrain", "false"), kProfile},
      {"char_bidi", set_op("config.char_bidirectional", "true"), kProfile},
      {"share_hid", set_op("config.share_hid", "true"), kProfile},
      {"no_char_layers", R"({"assets_ops": [{"delete": "config.char_num_layers"}]})", kProfile},
      {"char_layers_2", set_op("config.char_num_layers", "2"), kProfile},
      {"char_dropout", set_op("config.char_rec_dropout", "0.25"), kProfile},
      {"rec_dropout", set_op("config.rec_dropout", "0.5"), kProfile},
      {"no_layers", set_op("config.num_layers", "0"), kProfile},
      {"batch_zero", set_op("config.batch_size", "0"), kProfile},
      {"config_array", set_op("config", "[]"), kProfile},
      {"batch_string", set_op("config.batch_size", "\"8\""), "expected JSON integer at assets.config.batch_size"},
      {"dim_string", set_op("config.word_emb_dim", "\"7\""), "expected JSON integer at assets.config.word_emb_dim"},
      {"bert_false", set_op("config.bert_model", "false"), "missing JSON key 'transformer' at assets"},
      {"no_vocab", R"({"assets_ops": [{"delete": "vocab"}]})", "missing JSON key 'vocab' at assets"},
      {"xpos_class", set_op("vocab._key2class.xpos", "\"TagVocab\""), "unsupported XPOS vocabulary class: TagVocab"},
      {"xpos_class_number", set_op("vocab._key2class.xpos", "5"), "expected JSON string"},
      {"word_lower_null", set_op("vocab.word.lower", "null"), "expected JSON boolean at assets.vocab.word.lower"},
      {"word_id_string", set_op("vocab.word._unit2id.dog", "\"4\""), "expected JSON integer at assets.vocab.word._unit2id.dog"},
      {"upos_not_string", set_op("vocab.upos._id2unit", "[1]"), "expected JSON string at assets.vocab.upos._id2unit[]"},
      {"keyed_composite", R"({"composite": true, "assets_ops": [{"set": "vocab.xpos.keyed", "value": true}]})",
       "keyed composite XPOS vocabularies are unsupported"},
      {"composite_gap", R"({"composite": true, "assets_ops": [{"set": ["vocab", "xpos", "_id2unit", "3"], "value": []},
           {"delete": ["vocab", "xpos", "_id2unit", "2"]}]})", "composite XPOS component keys must be contiguous"},
      {"composite_key", R"({"composite": true, "assets_ops": [{"set": "vocab.xpos._id2unit.x", "value": []}]})",
       "composite XPOS component keys must be integers"},
      {"composite_unit", R"({"composite": true, "assets_ops": [{"set": ["vocab", "xpos", "_id2unit", "1"], "value": [3]}]})",
       "expected JSON string at assets.vocab.xpos._id2unit.1[]"},
      {"xpos_ignore_object", set_op("vocab.xpos.ignore", "{}"), "expected JSON array at assets.vocab.xpos.ignore"},
      {"no_pretrain", R"({"assets_ops": [{"delete": "pretrain_vocab"}]})", "missing JSON key 'pretrain_vocab' at assets"},
      {"feats_sep", set_op("vocab.feats.sep", "\";\""),
       "the native POS profile requires keyed, pipe-separated morphological features"},
      {"feats_unkeyed", R"({"assets_ops": [{"delete": "vocab.feats.keyed"}]})",
       "missing JSON key 'keyed' at assets.vocab.feats"},
      {"feats_value", set_op("vocab.feats._id2unit.Case", "[\"Nom\", null]"),
       "expected JSON string at assets.vocab.feats._id2unit.Case[]"},
      {"dtype", R"({"tensors": {"unused": {"dtype": "uint16", "shape": [2]}}, "drop_tensors": ["word_emb.weight"]})",
       "ATen view does not support bundle dtype: uint16"},
      {"first_missing", R"({"drop_tensors": ["trans_char.weight", "upos_emb.weight"]})",
       "missing POS tensor: 'upos_emb.weight'"},
      {"plain_classifier", R"({"drop_tensors": ["xpos_clf.W_bilin.weight"],
           "tensors": {"xpos_clf.0.W_bilin.weight": {"dtype": "float32", "shape": [16, 14, 4]}}})",
       "missing POS tensor: 'xpos_clf.W_bilin.weight'"},
      {"component_bias", R"({"composite": true, "drop_tensors": ["xpos_clf.2.W_bilin.bias"]})",
       "missing POS tensor: 'xpos_clf.2.W_bilin.bias'"},
      {"char_lstm", R"({"drop_tensors": ["charmodel.charlstm.lstm.bias_hh_l0"]})",
       "missing POS tensor: 'charmodel.charlstm.lstm.bias_hh_l0'"},
      {"layer_gate", R"({"drop_tensors": ["taggerlstm.gate.1.bias", "ufeats_clf.0.W_bilin.weight"]})",
       "missing POS tensor: 'taggerlstm.gate.1.bias'"},
      {"feature_bias", R"({"drop_tensors": ["ufeats_clf.3.W_bilin.bias"]})", "missing POS tensor: 'ufeats_clf.3.W_bilin.bias'"},
      {"word_width", R"({"tensors": {"word_emb.weight": {"dtype": "float32", "shape": [23, 8]}}})",
       "POS tensor dimensions disagree with bundled vocabularies"},
      {"pretrained_rows", R"({"tensors": {"pretrained_emb.weight": {"dtype": "float32", "shape": [18, 10]}}})",
       "POS tensor dimensions disagree with bundled vocabularies"},
      {"xpos_rows", R"({"extra_classes": {"xpos_clf.W_bilin": 1}})",
       "XPOS tensor dimensions disagree with its vocabulary"},
      {"component_rows", R"({"composite": true, "extra_classes": {"xpos_clf.1.W_bilin": 1}})",
       "composite XPOS tensor dimensions disagree with its vocabulary"},
      {"char_rows", R"({"tensors": {"charmodel.char_emb.weight": {"dtype": "float32", "shape": [3, 4]}}})",
       "POS character tensor dimensions disagree with its vocabulary"},
      {"input_width", R"({"tensors": {"taggerlstm.lstm.0.lstm.weight_ih_l0": {"dtype": "float32", "shape": [24, 18]}}})",
       "POS tagger input size disagrees with its embedding profile"},
      {"charlm_no_assets", R"({"config": {"charlm": true}, "assets_ops": [{"delete": "charlm"}]})",
       "missing JSON key 'charlm' at assets"},
      {"charlm_broken", R"({"config": {"charlm": true}, "assets_ops": [{"set": "charlm.backward.config.char_num_layers",
           "value": 0}]})",
       "unsupported character language model; hidden size and layer count must be positive and recurrent dropout "
       "must be zero", false},
      {"charlm_swapped", R"({"config": {"charlm": true}, "assets_ops": [{"set": "charlm.forward.is_forward_lm",
           "value": false}]})", "POS charLM directions disagree with their asset slots"},
      {"charlm_transform", R"({"config": {"charlm": true, "charlm_transform_dim": 4},
           "drop_tensors": ["charmodel_backward_transform.weight"]})",
       "missing POS tensor: 'charmodel_backward_transform.weight'"},
  };
  return cases;
}

// Bundles of the other tests: name -> options.
const std::vector<std::pair<std::string, std::string>>& other_bundles() {
  static const std::vector<std::pair<std::string, std::string>> bundles = {
      {"ignore_empty", R"({"xpos_ignore": []})"},
      {"batch_null", R"({"config": {"batch_size": null, "bert_model": null}})"},
      {"bad_feature", R"({"extra_classes": {"ufeats_clf.1.W_bilin": 3}, "force": {"ufeats_clf.1.W_bilin": 8}})"},
      // A character id outside the embedding: refused at load.
      {"bad_char", R"({"seed": 11, "assets_ops": [{"set": "vocab.char._unit2id.z", "value": 999}]})"},
      {"composite_order", R"({"composite": true, "assets_ops": [{"set": "vocab.xpos._id2unit",
           "value": {"1": ["<PAD>", "<UNK>", "_", "s", "p"], "0": ["<PAD>", "<UNK>", "_", "Nc"]}}],
           "drop_tensors": ["xpos_clf.2.W_bilin.weight", "xpos_clf.2.W_bilin.bias"],
           "tensors": {"xpos_clf.0.W_bilin.weight": {"dtype": "float32", "shape": [4, 14, 4]},
                       "xpos_clf.0.W_bilin.bias": {"dtype": "float32", "shape": [4]}}})"},
  };
  return bundles;
}

class POSTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    at::set_num_threads(1);
    root_ = std::make_unique<testing::TempDir>();
    std::vector<std::string> jobs;
    const auto add = [&](const std::string& name, const std::string& options) {
      jobs.push_back("{\"out_dir\": " + json_string(dir(name).string()) + ", \"options\": " + options + "}");
    };
    for (const ModelCase& c : model_cases()) add(c.name, c.options);
    for (const RefusalCase& c : refusal_cases()) add(c.name, c.options);
    for (const auto& [name, options] : other_bundles()) add(name, options);
    testing::write_file(*root_ / "jobs.json", testing::json_array(jobs));
    testing::run_python({(testing::source_dir() / "tests/fixtures/pos_bundle.py").string(), "--batch",
                         (*root_ / "jobs.json").string()});
    reference_ = std::make_unique<detail::JsonValue>(run_reference());
  }
  static void TearDownTestSuite() {
    reference_.reset();
    root_.reset();
  }

  static fs::path dir(const std::string& name) { return *root_ / name; }

  static detail::JsonValue run_reference() {
    std::vector<std::string> cases;
    for (const ModelCase& c : model_cases()) {
      std::vector<std::string> sentence_items;
      for (const auto& words : sentences(c.charlm)) {
        std::vector<std::string> quoted;
        for (const std::string& word : words) quoted.push_back(json_string(word));
        sentence_items.push_back(testing::json_array(quoted));
      }
      cases.push_back("{\"bundle\": " + json_string(dir(c.name).string()) +
                      ", \"sentences\": " + testing::json_array(sentence_items) + "}");
    }
    testing::write_file(*root_ / "request.json", "{\"cases\": " + testing::json_array(cases) + "}");
    testing::run_python({(testing::source_dir() / "tests/reference/pos_reference.py").string(),
                         (*root_ / "request.json").string(), (*root_ / "result.json").string()});
    return detail::load_json(*root_ / "result.json");
  }

  // The reference's result for model case `index`.
  static const detail::JsonValue& reference(std::size_t index) {
    return reference_->at("cases", "").as_array("")[index];
  }
  static std::size_t case_index(const std::string& name) {
    for (std::size_t m = 0; m < model_cases().size(); ++m) {
      if (model_cases()[m].name == name) return m;
    }
    throw std::out_of_range(name);
  }
  static double encoded_tolerance(std::size_t m, std::size_t s) {
    return testing::pos_encoded_tolerance(reference(m), s);
  }
  static bool too_close_to_call(std::size_t m, std::size_t s) {
    return testing::pos_too_close_to_call(reference(m), s);
  }

  static inline std::unique_ptr<testing::TempDir> root_;
  static inline std::unique_ptr<detail::JsonValue> reference_;
};

std::vector<double> values(const at::Tensor& tensor) {
  const at::Tensor flat = tensor.to(at::kDouble).contiguous().view(-1);
  return {flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel()};
}

std::vector<double> reference_values(const detail::JsonValue& rows) {
  std::vector<double> out;
  for (const detail::JsonValue& row : rows.as_array(""))
    for (const detail::JsonValue& value : row.as_array("")) out.push_back(value.as_number(""));
  return out;
}

std::vector<std::string> tag_strings(const std::vector<POSTag>& tags) {
  std::vector<std::string> out;
  for (const POSTag& tag : tags) out.push_back(tag.upos + " " + tag.xpos + " " + tag.feats);
  return out;
}

std::vector<std::string> reference_tags(const detail::JsonValue& tags) {
  std::vector<std::string> out;
  for (const detail::JsonValue& tag : tags.as_array("")) {
    const auto& fields = tag.as_array("");
    out.push_back(fields[0].as_string("") + " " + fields[1].as_string("") + " " + fields[2].as_string(""));
  }
  return out;
}

TEST_F(POSTest, RefusalsCarryTheirMessageInCheckOrder) {
  for (const RefusalCase& c : refusal_cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ((testing::refusal<POSPlan, POSModelError>(dir(c.name))), std::make_pair(c.message, c.pos_error));
  }
}

TEST_F(POSTest, LoadingReadsVocabulariesAndViewsTheMappedTensors) {
  const POSPlan plan(dir("plain"), false);
  const POSPlan::Impl& impl = plan.impl();
  // Inserted as Number, abbr, Case, Definite: kept in ascending byte order.
  std::vector<std::string> names;
  for (const FeatureVocab& feature : impl.feats_vocab) names.push_back(feature.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Case", "Definite", "Number", "abbr"}));
  EXPECT_EQ(impl.feats_vocab[0].units, (std::vector<std::string>{"<PAD>", "<UNK>", "_", "Nom", "Acc", "Dat"}));
  EXPECT_FALSE(impl.word_lowercase);
  EXPECT_FALSE(impl.xpos_ignore);
  EXPECT_EQ(impl.batch_size, 250);
  ASSERT_EQ(impl.tagger_layers.size(), 2u);
  // Layer 1 starts from rows 2 and 3 of the stacked initial states, viewed in place.
  const auto* h = static_cast<const float*>(plan.bundle().tensor_data("taggerlstm_h_init"));
  const auto* c = static_cast<const float*>(plan.bundle().tensor_data("taggerlstm_c_init"));
  EXPECT_EQ(impl.tagger_layers[1].initial_state.h.data_ptr<float>(), h + 2 * 6);
  EXPECT_EQ(impl.tagger_layers[1].initial_state.c.data_ptr<float>(), c + 2 * 6);
  EXPECT_EQ(impl.tagger_layers[1].initial_state.h.sizes(), (at::IntArrayRef{2, 1, 6}));
  EXPECT_EQ(impl.word_embedding.data_ptr(), plan.bundle().tensor_data("word_emb.weight"));

  EXPECT_TRUE(POSPlan(dir("composite"), false).impl().word_lowercase);
  EXPECT_FALSE(POSPlan(dir("ignore_empty"), false).impl().xpos_ignore);
  EXPECT_TRUE(POSPlan(dir("ignored"), false).impl().xpos_ignore);
  const POSPlan defaults(dir("batch_null"), false);
  EXPECT_EQ(defaults.impl().batch_size, 250);
  EXPECT_FALSE(defaults.impl().use_transformer);
  // Component keys "1", "0" in the file are ordered by their value.
  const POSPlan ordered(dir("composite_order"), false);
  EXPECT_EQ(ordered.impl().xpos_components,
            (std::vector<std::vector<std::string>>{{"<PAD>", "<UNK>", "_", "Nc"}, {"<PAD>", "<UNK>", "_", "s", "p"}}));
}

TEST_F(POSTest, EncoderAndHeadsAgreeWithTheReference) {
  std::size_t skipped = 0, sentence_count = 0;
  for (std::size_t m = 0; m < model_cases().size(); ++m) {
    sentence_count += sentences(model_cases()[m].charlm).size();
    const ModelCase& c = model_cases()[m];
    SCOPED_TRACE(c.name);
    const POSPlan plan(dir(c.name), false);
    const auto& expected = reference(m);
    c10::InferenceMode guard;
    for (std::size_t s = 0; s < sentences(c.charlm).size(); ++s) {
      const auto& words = sentences(c.charlm)[s];
      SCOPED_TRACE(s);
      const auto& tags = reference_tags(expected.at("tags", "").as_array("")[s]);
      if (too_close_to_call(m, s)) {
        ++skipped;
      } else {
        EXPECT_EQ(tag_strings(plan.tag(words)), tags);
      }
      if (words.empty()) continue;
      const at::Tensor encoded = plan.impl().encode(words, nullptr, nullptr);
      EXPECT_TRUE(testing::all_close(values(encoded), reference_values(expected.at("encoded", "").as_array("")[s]),
                                     encoded_tolerance(m, s)));
      for (const POSTag& tag : plan.tag(words)) {
        if (!c.xpos.empty()) {
          EXPECT_EQ(tag.xpos, c.xpos);
        }
        if (!c.feats.empty()) {
          EXPECT_EQ(tag.feats, c.feats);
        }
      }
    }
  }
  EXPECT_LE(10 * skipped, sentence_count);
}

// Batched encoding and tagging equal the single-sentence operations under
// budgets that cut several batches, split ties and isolate long sentences.
TEST_F(POSTest, BatchesEqualSingleSentences) {
  struct Budget {
    std::int64_t batch_size;
    std::int64_t max_tokens;
  };
  for (const bool charlm : {false, true}) {
    SCOPED_TRACE(charlm);
    POSPlan::Impl impl(dir(charlm ? "charlm" : "composite"), false);
    const std::size_t m = case_index(charlm ? "charlm" : "composite");
    const Sentences& texts = sentences(charlm);
    // Character-LM rows as process_bulk computes them, for all sentences at once.
    std::vector<at::Tensor> forward;
    std::vector<at::Tensor> backward;
    if (charlm) {
      forward = impl.forward_charlm->encode_many(texts);
      backward = impl.backward_charlm->encode_many(texts);
    }
    c10::InferenceMode guard;
    std::vector<at::Tensor> single;
    std::vector<std::vector<POSTag>> single_tags;
    for (const auto& words : texts) {
      single.push_back(words.empty() ? at::Tensor() : impl.encode(words, nullptr, nullptr));
      single_tags.push_back(words.empty() ? std::vector<POSTag>{} : impl.tag_encoded(single.back(), words.size()));
    }
    for (const Budget budget : {Budget{250, 5000}, Budget{1, 5000}, Budget{2, 5000}, Budget{250, 10}, Budget{3, 1}}) {
      SCOPED_TRACE(std::to_string(budget.batch_size) + "/" + std::to_string(budget.max_tokens));
      impl.batch_size = budget.batch_size;
      impl.batch_maximum_tokens = budget.max_tokens;
      const std::vector<at::Tensor> many = impl.encode_many(texts, forward, backward);
      const auto tags = impl.tag_encoded_many(single, texts);
      ASSERT_EQ(many.size(), texts.size());
      for (std::size_t s = 0; s < texts.size(); ++s) {
        EXPECT_EQ(many[s].defined(), !texts[s].empty());
        if (many[s].defined()) {
          EXPECT_TRUE(testing::all_close(values(many[s]), values(single[s]), encoded_tolerance(m, s)));
        }
        if (!too_close_to_call(m, s)) {
          EXPECT_EQ(tag_strings(tags[s]), tag_strings(single_tags[s]));
        }
      }
    }
    EXPECT_TRUE(impl.encode_many({}, {}, {}).empty());
    if (!charlm) {
      EXPECT_FALSE(impl.encode_many({{}, {}}, {}, {})[1].defined());
      continue;
    }
    // Rows that do not cover every sentence, or not every word, are refused.
    const std::string rows = "POS charLM rows do not match the encoded sentences";
    EXPECT_THROW_MSG(impl.encode_many(texts, {}, {}), POSModelError, rows);
    EXPECT_THROW_MSG(impl.encode_many({{"a"}, {"b"}}, {forward[0], forward[0]}, {backward[0]}), POSModelError, rows);
    EXPECT_THROW_MSG(impl.encode_many({{"a"}}, {forward[0]}, {backward[0]}), POSModelError, rows);
    EXPECT_THROW_MSG(impl.encode_many({{"a"}}, {at::Tensor()}, {at::Tensor()}), POSModelError, rows);
  }
}

TEST_F(POSTest, InconsistentInputsAreRefused) {
  POSPlan plan(dir("plain"), false);
  const POSPlan::Impl& impl = plan.impl();
  c10::InferenceMode guard;
  const at::Tensor encoded = impl.encode({"a", "dog"}, nullptr, nullptr);
  const std::string length = "POS encoded sentence length does not match its words";
  EXPECT_THROW_MSG(impl.tag_encoded(encoded, 3), POSModelError, length);
  EXPECT_THROW_MSG(impl.tag_encoded_many({encoded}, {{"a"}}), POSModelError, length);
  EXPECT_THROW_MSG(impl.tag_encoded_many({at::Tensor()}, {{"a"}}), POSModelError, length);
  EXPECT_THROW_MSG(impl.tag_encoded_many({encoded}, {}), POSModelError,
                   "POS encoded and sentence batches must have equal lengths");
  EXPECT_TRUE(impl.tag_encoded_many({at::Tensor(), at::Tensor()}, {{}, {}})[1].empty());
  EXPECT_THROW_MSG(plan.tag({"a", ""}), POSModelError, "POS cannot encode an empty word");
  EXPECT_THROW_MSG(plan.tag({"a", "\xC3("}), std::invalid_argument, "invalid UTF-8 sequence at byte offset 1");
  // A feature classifier with classes past its units is refused at load.
  EXPECT_THROW_MSG(POSPlan(dir("bad_feature"), false), POSModelError, "feature classifier produced an invalid id");
  EXPECT_TRUE(plan.tag({}).empty());

  const POSPlan moved(std::move(plan));
  EXPECT_THROW_MSG(plan.tag({"a"}), std::logic_error, "the POS plan has been moved from");
  EXPECT_THROW_MSG(plan.process(Document("")), std::logic_error, "the POS plan has been moved from");
  EXPECT_THROW_MSG(plan.process_bulk({}), std::logic_error, "the POS plan has been moved from");
}

// Predicted ids outside a vocabulary (the vocabularies shrunk after loading):
// UPOS is checked first, then XPOS, then the features; id 2 of a component or
// a feature is skipped before its range check, a plain XPOS id is checked
// before the "ignore" rule.
TEST_F(POSTest, HeadIdsOutsideTheirVocabulariesAreRefused) {
  struct Case {
    const char* model;
    std::function<void(POSPlan::Impl&)> shrink;
    std::string expected;  // "<xpos> <feats>" of the first word, or the message
  };
  const std::string upos = "POS classifier produced an invalid id";
  const std::string xpos = "XPOS classifier produced an invalid id";
  const std::string feature = "feature classifier produced an invalid id";
  const auto clear_features = [](POSPlan::Impl& impl) {
    for (FeatureVocab& f : impl.feats_vocab) f.units.clear();
  };
  const std::vector<Case> cases = {
      {"plain", [&](POSPlan::Impl& impl) { impl.upos_units.clear(), impl.xpos_units.clear(), clear_features(impl); },
       upos},
      {"plain", [&](POSPlan::Impl& impl) { impl.xpos_units.clear(), clear_features(impl); }, xpos},
      {"ignored", [](POSPlan::Impl& impl) { impl.xpos_units.resize(2); }, xpos},
      {"partial", [](POSPlan::Impl& impl) { impl.xpos_components[1].clear(); }, "Nc+f Definite=Def|abbr=No"},
      {"partial", [&](POSPlan::Impl& impl) { impl.xpos_components[2].resize(4), clear_features(impl); },
       "composite XPOS classifier produced an invalid id"},
      {"partial", [](POSPlan::Impl& impl) { impl.feats_vocab[1].units.resize(3); }, feature},
      {"absent", clear_features, "<EMPTY> _"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " -> " + c.expected);
    POSPlan::Impl impl(dir(c.model), false);
    c.shrink(impl);
    c10::InferenceMode guard;
    std::string outcome;
    try {
      const std::vector<POSTag> tags = impl.tag_encoded(impl.encode({"the", "dog"}, nullptr, nullptr), 2);
      outcome = tags[0].xpos + " " + tags[0].feats;
    } catch (const POSModelError& error) {
      outcome = error.what();
    }
    EXPECT_EQ(outcome, c.expected);
  }
}

Document document(const Sentences& texts) {
  std::vector<SentenceInput> input = testing::records::plain_sentences(texts);
  // A tag given in the input: overwritten by the prediction, or cleared by "_".
  if (!input.empty() && !input[0].tokens.empty()) {
    WordInput& first = input[0].tokens[0].words[0];
    first.xpos = "given";
    first.feats = "Given=Yes";
  }
  return Document("", std::move(input));
}

std::vector<std::string> written_tags(const Document& doc) {
  std::vector<std::string> out;
  const SentenceSequence all = doc.sentences();
  for (std::uint64_t s = 0; s < all.size(); ++s) {
    const WordSequence words = all.at(static_cast<std::int64_t>(s)).words();
    for (std::uint64_t k = 0; k < words.size(); ++k) {
      const Word word = words.at(static_cast<std::int64_t>(k));
      out.push_back(word.upos().value_or("-") + " " + word.xpos().value_or("-") + " " + word.feats().value_or("-"));
    }
  }
  return out;
}

std::vector<std::string> expected_written(const POSPlan& plan, const Sentences& texts) {
  std::vector<std::string> out;
  for (const auto& words : texts) {
    for (const POSTag& tag : plan.tag(words)) {
      out.push_back(tag.upos + " " + (tag.xpos == "_" ? "-" : tag.xpos) + " " + (tag.feats == "_" ? "-" : tag.feats));
    }
  }
  return out;
}

TEST_F(POSTest, DocumentsAreTaggedSinglyAndInBulk) {
  for (const char* name : {"plain", "ignored", "absent", "charlm_raw"}) {
    SCOPED_TRACE(name);
    // Bulk batches sum in another order than single sentences.
    const std::size_t m = case_index(name);
    if (too_close_to_call(m, 0) || too_close_to_call(m, 3) || too_close_to_call(m, 4) || too_close_to_call(m, 5)) {
      continue;
    }
    const POSPlan plan(dir(name), false);
    const Sentences first = {sentences()[0], {}, sentences()[3]};
    const Sentences second = {sentences()[4], sentences()[5]};
    const Document doc = plan.process(document(first));
    EXPECT_EQ(written_tags(doc), expected_written(plan, first));
    std::vector<Document> bulk = plan.process_bulk({document(first), Document(""), document(second)});
    ASSERT_EQ(bulk.size(), 3u);
    EXPECT_EQ(written_tags(bulk[0]), expected_written(plan, first));
    EXPECT_EQ(written_tags(bulk[2]), expected_written(plan, second));
    EXPECT_TRUE(plan.process_bulk({}).empty());
  }
}

// A bundle whose character ids lie outside the embedding once failed in the
// model at the first sentence holding such a character, after the sentences
// before it were written; it is refused at load now, so no document is
// touched.
TEST_F(POSTest, AModelThatWouldFailOnASentenceIsRefusedAtLoad) {
  EXPECT_THROW_MSG(POSPlan(dir("bad_char"), false), POSModelError,
                   "vocabulary id 999 is outside the 44 rows of 'charmodel.char_emb.weight' at "
                   "assets.vocab.char._unit2id.z");
}

TEST_F(POSTest, ThreadsSharingOnePlanAgree) {
  const POSPlan plan(dir("composite"), false);
  const Sentences texts(sentences().begin(), sentences().end());
  const std::vector<std::string> expected = written_tags(plan.process(document(texts)));
  const std::vector<std::string> expected_bulk = written_tags(plan.process_bulk({document(texts)})[0]);
  std::vector<std::vector<std::string>> results(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        results[t] = written_tags(t % 2 == 0 ? plan.process(document(texts)) : plan.process_bulk({document(texts)})[0]);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < results.size(); ++t) EXPECT_EQ(results[t], t % 2 == 0 ? expected : expected_bulk);
}

}  // namespace
}  // namespace lorvane
