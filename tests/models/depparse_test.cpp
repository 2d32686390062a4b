// The dependency parser: loading and validation messages in check order, the
// encoder, scores and parses against the eager PyTorch reference
// (tests/reference/depparse_reference.py) on generated bundles with seeded
// random weights (a compiled test package for the transformer rows), batches
// against single sentences, and the document entry points.

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <thread>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "document/document_records.hpp"
#include "encoders/transformer_test_support.hpp"
#include "lorvane/document.hpp"
#include "models/depparse/plan_impl.hpp"
#include "nn/batching.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

namespace fs = std::filesystem;
using Sentences = DepparsePlan::Impl::Sentences;
using testing::json_quote;

// Bundles that load, each compared with the reference.
struct ModelCase {
  std::string name;
  std::string options;  // JSON keyword arguments of depparse_bundle.write_depparse_bundle
  bool charlm = false;
  std::string package = "";      // compiled transformer test package; "" for none
  std::string transformer = "";  // further transformer_bundle.model_transformer options, as JSON members
};

const std::vector<ModelCase>& model_cases() {
  static const std::vector<ModelCase> cases = {
      {"plain", R"({"seed": 21, "xpos_ignore": ["_"]})"},
      {"no_terms", R"({"seed": 22, "lemma_lower": true, "config": {"linearization": false, "distance": false}})"},
      {"composite", R"({"seed": 23, "composite": true, "word_lower": true, "config": {"distance": false}})"},
      {"code_points", R"({"seed": 24, "composite": true, "separator": "", "config": {"linearization": false}})"},
      {"double", R"({"seed": 25, "dtype": "float64", "xpos_ignore": ["_"]})"},
      // "char_num_layers" and "char_rec_dropout" are not read with character language models.
      {"charlm", R"({"seed": 26, "config": {"charlm": true, "char_num_layers": 2, "char_rec_dropout": 0.5}})", true},
      {"charlm_double", R"({"seed": 27, "composite": true, "dtype": "float64", "config": {"charlm": true}})", true},
      // Windows of 12 subwords: the longest sentence needs several.
      {"transformer", R"({"seed": 28, "composite": true})", false, "contextual",
       R"("tokenizer": "WordPiece", "model_max_length": 12)"},
  };
  return cases;
}

DepparseWord row(std::string text, std::optional<std::string> lemma, std::optional<std::string> upos,
                 std::optional<std::string> xpos) {
  return {std::move(text), std::move(lemma), std::move(upos), std::move(xpos), std::nullopt};
}

// With character language models an empty word is encoded too.
const Sentences& sentences(bool charlm = false) {
  static const Sentences list = {
      {row("The", "the", "DET", "DT"), row("dog", {}, "NOUN", "NN"), row("runs", "run", "VERB", "VBZ"),
       row("?!?", "?", "PUNCT", ".")},
      {},
      {row("new york", "New York", "PROPN", "NNP"), row("K\u00f6ln", "K\u00f6ln", "PROPN", "_"),
       row("stra\u00dfe", {}, "NOUN", {}), row("\u00dcber", "DOG", "ADP", "IN"), row("THE", "THE", {}, "DT"),
       row("!!", "!", "PUNCT", "."), row("\uFF1F", "?", "PUNCT", "."), row("?a", {}, {}, "NN"),
       row("\uFF1F!", {}, "X", "_"), row("zebra", "zebra", "NOUN", "NNS")},
      // Composite values: three pieces, two, four, an empty piece, a trailing
      // separator, "_", the empty value, and code points without a separator.
      {row("a", "a", "DET", "Nc+s+m"), row("cat", "cat", "NOUN", "Vm+p"), row("sat", "sit", "VERB", "Af+p+f+x"),
       row("on", "on", "ADP", "Nc++m"), row("a", "a", "DET", "Dd+s+"), row("mat", "mat", "NOUN", "_"),
       row(".", ".", "PUNCT", ""), row("dogs", "dog", "NOUN", "Vpm"), row("cats", {}, "NOUN", "Nsx")},
      {row("dog", "dog", "NOUN", "NN")},
      {row("a", "a", "DET", "DT"), row("big", "big", "ADJ", "JJ"), row("dog", "dog", "NOUN", "NN"),
       row("sat", "sit", "VERB", "VBZ"), row("on", "on", "ADP", "IN"), row("the", "the", "DET", "DT"),
       row("new york", {}, "PROPN", "NNP"), row("mat", "mat", "NOUN", "NN"), row(",", ",", "PUNCT", ","),
       row("the", "the", "DET", "DT"), row("cat", "cat", "NOUN", "NN"), row("runs", "run", "VERB", "VBZ"),
       row("!", "!", "PUNCT", "."), row("The", "the", "DET", "DT"), row("Cat", {}, "PROPN", "NNP"),
       row("\u00e9t\u00e9", {}, "NOUN", "NN"), row(".", ".", "PUNCT", ".")},
  };
  static const Sentences with_empty_word = [] {
    Sentences extended = list;
    extended.push_back({row("a", "a", "DET", "DT"), row("", {}, "NOUN", "NN"), row("dog", "dog", "NOUN", "NN")});
    return extended;
  }();
  return charlm ? with_empty_word : list;
}

// Loading refusals, in the order the loader checks: options -> message.
struct RefusalCase {
  std::string name;
  std::string options;
  std::string message;
  bool depparse_error = true;  // a DepparseModelError, or another component's ModelBundleError
};

const char* const kProfile =
    "unsupported depparse architecture; the native profile requires word/lemma/POS/pretrain embeddings, one "
    "unidirectional character LSTM, a non-reversed GraphParser HighwayLSTM without recurrent dropout, and "
    "standard deep biaffine heads";
const char* const kDimensions = "depparse tensor dimensions disagree with bundled configuration or vocabularies";

std::string set_op(const std::string& path, const std::string& value) {
  return R"({"assets_ops": [{"set": ")" + path + R"(", "value": )" + value + "}]}";
}
std::string delete_op(const std::string& path) { return R"({"assets_ops": [{"delete": ")" + path + "\"}]}"; }
std::string shaped(const std::string& name, const std::string& shape) {
  return R"({"tensors": {")" + name + R"(": {"dtype": "float32", "shape": )" + shape + "}}}";
}

const std::vector<RefusalCase>& refusal_cases() {
  static const std::vector<RefusalCase> cases = {
      {"kind", R"({"bundle": {"processor": "pos"}})", "expected a depparse bundle, got 'pos'"},
      {"no_config", delete_op("config"), "missing JSON key 'config' at assets"},
      {"config_array", set_op("config", "[]"), kProfile},
      {"dim_string", set_op("config.word_emb_dim", "\"7\""), "expected JSON integer at assets.config.word_emb_dim"},
      {"charlm_string", set_op("config.charlm", "1"), "expected JSON boolean at assets.config.charlm"},
      {"no_char", delete_op("config.char"), kProfile},
      {"pretrain_type", set_op("config.pretrain", "\"yes\""), "expected JSON boolean at assets.config.pretrain"},
      {"char_bidi", set_op("config.char_bidirectional", "true"), kProfile},
      {"arc_embedding", set_op("config.use_arc_embedding", "true"), kProfile},
      {"reversed", set_op("config.reversed", "true"), kProfile},
      {"no_upos", set_op("config.use_upos", "false"), kProfile},
      {"no_ufeats", set_op("config.use_ufeats", "false"), kProfile},
      {"no_char_layers", delete_op("config.char_num_layers"), kProfile},
      {"char_dropout", set_op("config.char_rec_dropout", "0.5"), kProfile},
      {"rec_dropout_string", set_op("config.rec_dropout", "\"0\""), "expected JSON number at assets.config.rec_dropout"},
      {"rec_dropout", set_op("config.rec_dropout", "0.25"), kProfile},
      {"batch_zero", set_op("config.batch_size", "0"), kProfile},
      {"biaffine_negative", set_op("config.deep_biaff_hidden_dim", "-1"), kProfile},
      {"no_contract", delete_op("runtime_contract"), "missing JSON key 'runtime_contract' at assets"},
      {"contract", set_op("runtime_contract.depparse_ufeats_input", "\"separate\""),
       "unsupported depparse UFeats input contract; released Tavrin 1.14 checkpoints require duplicated_pos_emb"},
      {"contract_type", set_op("runtime_contract.depparse_ufeats_input", "1"),
       "expected JSON string at assets.runtime_contract.depparse_ufeats_input"},
      {"xpos_class", set_op("vocab._key2class.xpos", "\"TagVocab\""), "unsupported XPOS vocabulary class: TagVocab"},
      {"xpos_class_type", set_op("vocab._key2class.xpos", "5"), "expected JSON string at assets.vocab._key2class.xpos"},
      {"lemma_lower_null", set_op("vocab.lemma.lower", "null"), "expected JSON boolean at assets.vocab.lemma.lower"},
      {"word_id_string", set_op("vocab.word._unit2id.dog", "\"4\""),
       "expected JSON integer at assets.vocab.word._unit2id.dog"},
      {"upos_list", set_op("vocab.upos", R"({"_id2unit": ["NOUN"]})"), "missing JSON key '_unit2id' at assets.vocab.upos"},
      {"keyed_composite", R"({"composite": true, "assets_ops": [{"set": "vocab.xpos.keyed", "value": true}]})",
       "keyed composite XPOS vocabularies are unsupported"},
      {"composite_gap", R"({"composite": true, "assets_ops": [{"set": ["vocab", "xpos", "_unit2id", "10"],
           "value": {}}]})", "composite XPOS component keys must be contiguous"},
      {"composite_key", R"({"composite": true, "assets_ops": [{"set": ["vocab", "xpos", "_unit2id", "1a"],
           "value": {}}]})", "composite XPOS component keys must be integers"},
      {"composite_id", R"({"composite": true, "assets_ops": [{"set": ["vocab", "xpos", "_unit2id", "1", "s"],
           "value": "3"}]})", "expected JSON integer at assets.vocab.xpos._unit2id.1.s"},
      {"no_pretrain", delete_op("pretrain_vocab"), "missing JSON key 'pretrain_vocab' at assets"},
      {"deprel_unit", set_op("vocab.deprel._id2unit", "[\"nsubj\", 3]"),
       "expected JSON string at assets.vocab.deprel._id2unit[]"},
      {"feats_unkeyed", set_op("vocab.feats.keyed", "false"),
       "the native depparse profile requires keyed, pipe-separated morphological features"},
      {"feats_sep", set_op("vocab.feats.sep", "\",\""),
       "the native depparse profile requires keyed, pipe-separated morphological features"},
      {"feats_list", set_op("vocab.feats._id2unit", "[]"), "expected JSON object at assets.vocab.feats._id2unit"},
      {"dtype", R"({"tensors": {"unused": {"dtype": "complex64", "shape": [2]}}, "drop_tensors": ["word_emb.weight"]})",
       "ATen view does not support bundle dtype: complex64"},
      {"charlm_no_assets", R"({"config": {"charlm": true}, "assets_ops": [{"delete": "charlm"}]})",
       "missing JSON key 'charlm' at assets"},
      {"charlm_swapped", R"({"config": {"charlm": true}, "assets_ops": [{"set": "charlm.forward.is_forward_lm",
           "value": false}]})", "depparse charLM directions disagree with their asset slots"},
      {"charlm_broken", R"({"config": {"charlm": true}, "assets_ops": [{"set": "charlm.backward.config.char_num_layers",
           "value": 0}]})",
       "unsupported character language model; hidden size and layer count must be positive and recurrent dropout "
       "must be zero", false},
      {"bert_empty", set_op("config.bert_model", "\"\""), "missing JSON key 'transformer' at assets"},
      {"first_missing", R"({"drop_tensors": ["trans_char.weight", "deprel.W2.bias", "lemma_emb.weight"]})",
       "missing depparse tensor: 'lemma_emb.weight'"},
      {"deprel_head", R"({"drop_tensors": ["deprel.scorer.W_bilin.bias", "xpos_emb.weight"]})",
       "missing depparse tensor: 'deprel.scorer.W_bilin.bias'"},
      {"component", R"({"composite": true, "drop_tensors": ["xpos_emb.2.weight", "trans_char.weight"]})",
       "missing depparse tensor: 'xpos_emb.2.weight'"},
      {"char_lstm", R"({"drop_tensors": ["charmodel.charlstm.lstm.bias_hh_l0", "parserlstm.gate.0.bias"]})",
       "missing depparse tensor: 'charmodel.charlstm.lstm.bias_hh_l0'"},
      {"layer_gate", R"({"drop_tensors": ["parserlstm.gate.2.bias", "linearization.W1.weight"]})",
       "missing depparse tensor: 'parserlstm.gate.2.bias'"},
      {"distance_head", R"({"drop_tensors": ["distance.scorer.W_bilin.weight", "ufeats_emb.0.weight"]})",
       "missing depparse tensor: 'distance.scorer.W_bilin.weight'"},
      {"ufeats", R"({"drop_tensors": ["ufeats_emb.2.weight"]})", "missing depparse tensor: 'ufeats_emb.2.weight'"},
      {"word_width", shaped("word_emb.weight", "[25, 8]"), kDimensions},
      {"lemma_rows", shaped("lemma_emb.weight", "[21, 7]"), kDimensions},
      {"upos_rows", shaped("upos_emb.weight", "[12, 3]"), kDimensions},
      {"pretrained_rows", shaped("pretrained_emb.weight", "[17, 19]"), kDimensions},
      {"input_width", shaped("parserlstm.lstm.0.lstm.weight_ih_l0", "[32, 31]"), kDimensions},
      {"relation_count", shaped("deprel.scorer.W_bilin.bias", "[11]"), kDimensions},
      {"xpos_rows", shaped("xpos_emb.weight", "[15, 3]"), "XPOS embedding dimensions disagree with its vocabulary"},
      {"component_rows", R"({"composite": true, "tensors": {"xpos_emb.1.weight": {"dtype": "float32", "shape": [6, 3]}}})",
       "composite XPOS embedding dimensions disagree with its vocabulary"},
      {"char_rows", shaped("charmodel.char_emb.weight", "[39, 4]"),
       "depparse character tensor dimensions disagree with its vocabulary"},
  };
  return cases;
}

// Bundles of the other tests: name -> options.
const std::vector<std::pair<std::string, std::string>>& other_bundles() {
  static const std::vector<std::pair<std::string, std::string>> bundles = {
      // Loads: defaults and keys that are not read.
      {"defaults", R"({"config": {"batch_size": null, "bert_model": null, "linearization": false, "distance": false,
           "use_upos": null}, "assets_ops": [{"set": "vocab.xpos.ignore", "value": []}],
           "drop_tensors": ["linearization.W1.weight", "distance.W2.bias"]})"},
      {"rec_dropout_int", R"({"config": {"rec_dropout": 0}, "composite": true,
           "assets_ops": [{"set": "vocab.xpos._unit2id", "value": {
             "1": {"<PAD>": 0, "<UNK>": 1, "<EMPTY>": 2, "<ROOT>": 3, "s": 4},
             "0": {"<PAD>": 0, "<UNK>": 1, "<EMPTY>": 2, "<ROOT>": 3, "Dd": 4, "Vm": 5, "Af": 6, "Nc": 7}}}],
           "drop_tensors": ["xpos_emb.2.weight"], "tensors": {"xpos_emb.0.weight": {"dtype": "float32", "shape": [8, 3]},
           "xpos_emb.1.weight": {"dtype": "float32", "shape": [5, 3]}}})"},
      {"no_components", R"({"composite": true, "assets_ops": [{"set": "vocab.xpos._unit2id", "value": {}}],
           "drop_tensors": ["xpos_emb.0.weight", "xpos_emb.1.weight", "xpos_emb.2.weight"]})"},
      // A character id outside the embedding: refused at load.
      {"bad_char", R"({"seed": 21, "assets_ops": [{"set": "vocab.char._unit2id.z", "value": 999}]})"},
  };
  return bundles;
}

// The "transformer" options of a case's bundle writer or reference, with `more` members.
std::string transformer_json(const ModelCase& c, const std::string& more = "") {
  return R"({"packages_dir": )" + json_quote(testing::transformer_packages_dir().string()) + R"(, "package": )" +
         json_quote(c.package) + (more.empty() ? "" : ", " + more) + "}";
}

std::string bundle_options(const ModelCase& c) {
  if (c.package.empty()) return c.options;
  return c.options.substr(0, c.options.rfind('}')) + R"(, "transformer": )" + transformer_json(c, c.transformer) + "}";
}

// The transformer tokenizer's [ids, word_ids] of every sentence ("null" for an empty one).
std::string encodings_json(const ModelCase& c, const fs::path& bundle, const Sentences& texts) {
  const DepparsePlan plan(bundle, false);
  std::string out;
  for (const auto& words : texts) {
    std::vector<std::string> forms;
    for (const DepparseWord& word : words) forms.push_back(word.text);
    out += (out.empty() ? "" : ", ") +
           (forms.empty() ? "null" : testing::json_encoding(plan.impl().transformer->tokenize(forms, true)));
  }
  return R"(, "transformer": )" + transformer_json(c) + R"(, "encodings": [)" + out + "]";
}

std::string word_json(const DepparseWord& word) {
  const auto field = [](const std::optional<std::string>& value) { return value ? json_quote(*value) : "null"; };
  return "{\"text\": " + json_quote(word.text) + ", \"lemma\": " + field(word.lemma) + ", \"upos\": " +
         field(word.upos) + ", \"xpos\": " + field(word.xpos) + "}";
}

class DepparseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    at::set_num_threads(1);
    root_ = std::make_unique<testing::TempDir>();
    std::vector<std::pair<fs::path, std::string>> jobs;
    for (const ModelCase& c : model_cases()) jobs.emplace_back(dir(c.name), bundle_options(c));
    for (const RefusalCase& c : refusal_cases()) jobs.emplace_back(dir(c.name), c.options);
    for (const auto& [name, options] : other_bundles()) jobs.emplace_back(dir(name), options);
    testing::write_generated_bundles("depparse_bundle.py", root_->path(), jobs);
    run_reference();
  }
  static void TearDownTestSuite() {
    reference_.reset();
    root_.reset();
  }

  static fs::path dir(const std::string& name) { return *root_ / name; }

  static void run_reference() {
    std::vector<std::string> cases;
    for (const ModelCase& c : model_cases()) {
      std::vector<std::string> sentence_items;
      for (const auto& words : sentences(c.charlm)) {
        std::vector<std::string> items;
        for (const DepparseWord& word : words) items.push_back(word_json(word));
        sentence_items.push_back("[" + join(items) + "]");
      }
      const std::string transformer = c.package.empty() ? "" : encodings_json(c, dir(c.name), sentences(c.charlm));
      cases.push_back("{\"name\": " + json_quote(c.name) + ", \"bundle\": " + json_quote(dir(c.name).string()) +
                      ", \"sentences\": [" + join(sentence_items) + "]" + transformer + "}");
    }
    testing::write_file(*root_ / "request.json",
                        "{\"out\": " + json_quote((*root_ / "reference").string()) + ", \"cases\": [" + join(cases) + "]}");
    testing::run_python({(testing::source_dir() / "tests/reference/depparse_reference.py").string(),
                         (*root_ / "request.json").string()});
    reference_ = std::make_unique<Reference>(*root_ / "reference");
  }

  static std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
  }

  struct Reference {
    explicit Reference(const fs::path& path)
        : bundle(path, false),
          tensors(bundle, &detail::raise<DepparseModelError>, "missing reference tensor: '"),
          assets(detail::parse_json(bundle.assets_json())) {}
    ModelBundle bundle;
    detail::ModelTensors tensors;
    detail::JsonValue assets;
  };

  static const at::Tensor& expected(const std::string& name) { return reference_->tensors.require(name); }
  static const detail::JsonValue& expected_parse(std::size_t model, std::size_t sentence) {
    return reference_->assets.at("config", "").at("cases", "").as_array("")[model].at("parses", "").as_array("")[sentence];
  }
  // How far the reference's float32 `output` ("inputs", "encoded", "arcs" or
  // "relations") of a sentence lies from its float64 twin's.
  static double float64_gap(std::size_t model, std::size_t sentence, const char* output) {
    const detail::JsonValue& gaps =
        reference_->assets.at("config", "").at("cases", "").as_array("")[model].at("float64_gaps", "");
    return gaps.as_array("")[sentence].at(output, "").as_number("");
  }
  static std::size_t case_index(const std::string& name) {
    for (std::size_t m = 0; m < model_cases().size(); ++m) {
      if (model_cases()[m].name == name) return m;
    }
    throw std::out_of_range(name);
  }

  static inline std::unique_ptr<testing::TempDir> root_;
  static inline std::unique_ptr<Reference> reference_;
};

// Float64 tensors leave room for rounding only; float32 ones stray from the
// exact values by about the reference's own float32 gap whatever order their
// sums run in.
void expect_close(const at::Tensor& actual, const at::Tensor& expected, double float64_gap) {
  ASSERT_EQ(actual.sizes(), expected.sizes());
  ASSERT_EQ(actual.scalar_type(), expected.scalar_type());
  const double tolerance = expected.scalar_type() == at::kDouble ? 1e-9 : testing::float32_tolerance(float64_gap);
  EXPECT_TRUE(at::allclose(actual, expected, 0.0, tolerance))
      << "largest difference " << (actual - expected).nan_to_num(0, 0, 0).abs().max().item<double>();
}

std::string parse_text(const std::vector<DependencyPrediction>& parse) {
  std::string out;
  for (const DependencyPrediction& p : parse) out += std::to_string(p.head) + ":" + p.deprel + " ";
  return out;
}

std::string parse_text(const detail::JsonValue& expected) {
  std::string out;
  const auto& heads = expected.at("heads", "").as_array("");
  for (std::size_t i = 0; i < heads.size(); ++i) {
    out += std::to_string(heads[i].as_integer("")) + ":" +
           expected.at("deprels", "").as_array("")[i].as_string("") + " ";
  }
  return out;
}

TEST_F(DepparseTest, RefusalsCarryTheirMessageInCheckOrder) {
  for (const RefusalCase& c : refusal_cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ((testing::refusal<DepparsePlan, DepparseModelError>(dir(c.name))), std::make_pair(c.message, c.depparse_error));
  }
}

TEST_F(DepparseTest, LoadingReadsDefaultsVocabulariesAndViewsTheMappedTensors) {
  const DepparsePlan plan(dir("plain"), false);
  const DepparsePlan::Impl& impl = plan.impl();
  EXPECT_EQ(impl.batch_size, 5000);
  EXPECT_EQ(impl.feats_count, 3u);
  EXPECT_EQ(impl.deprel_units.size(), 14u);
  EXPECT_TRUE(impl.xpos_ignore);
  EXPECT_TRUE(impl.linearization && impl.distance);
  ASSERT_EQ(impl.parser_layers.size(), 3u);
  // Layer 2 starts from rows 4 and 5 of the stacked initial states, viewed in place.
  const auto* h = static_cast<const float*>(plan.bundle().tensor_data("parserlstm_h_init"));
  EXPECT_EQ(impl.parser_layers[2].initial_state.h.data_ptr<float>(), h + 4 * 8);
  EXPECT_EQ(impl.parser_layers[2].initial_state.c.sizes(), (at::IntArrayRef{2, 1, 8}));
  EXPECT_EQ(impl.lemma_embedding.data_ptr(), plan.bundle().tensor_data("lemma_emb.weight"));

  const DepparsePlan defaults_plan(dir("defaults"), false);
  const DepparsePlan::Impl& defaults = defaults_plan.impl();
  EXPECT_EQ(defaults.batch_size, 5000);
  EXPECT_FALSE(defaults.use_transformer || defaults.xpos_ignore || defaults.linearization || defaults.distance);
  EXPECT_FALSE(defaults.scorers.linearization || defaults.scorers.distance);
  EXPECT_TRUE(DepparsePlan(dir("no_terms"), false).impl().lemma_lowercase);
  EXPECT_EQ(DepparsePlan(dir("no_components"), false).impl().xpos_embeddings.size(), 0u);
  // Component keys "1", "0" in the file are ordered by their value.
  const DepparsePlan ordered(dir("rec_dropout_int"), false);
  ASSERT_EQ(ordered.impl().xpos_component_vocabs.size(), 2u);
  EXPECT_EQ(ordered.impl().xpos_component_vocabs[0].at("Nc"), 7);
  EXPECT_EQ(ordered.impl().xpos_component_vocabs[1].at("s"), 4);
}

TEST_F(DepparseTest, EncoderScoresAndParsesAgreeWithTheReference) {
  for (std::size_t m = 0; m < model_cases().size(); ++m) {
    const ModelCase& c = model_cases()[m];
    SCOPED_TRACE(c.name);
    const DepparsePlan plan(dir(c.name), false);
    c10::InferenceMode guard;
    for (std::size_t s = 0; s < sentences(c.charlm).size(); ++s) {
      const auto& words = sentences(c.charlm)[s];
      SCOPED_TRACE(s);
      const std::vector<DependencyPrediction> parse = plan.parse(words);
      if (words.empty()) {
        EXPECT_TRUE(parse.empty());
        continue;
      }
      const std::string prefix = c.name + "." + std::to_string(s) + ".";
      const auto gap = [&](const char* output) { return float64_gap(m, s, output); };
      expect_close(plan.impl().sentence_inputs(words, nullptr, nullptr), expected(prefix + "inputs"), gap("inputs"));
      const at::Tensor encoded = plan.impl().encode(words, nullptr, nullptr);
      expect_close(encoded, expected(prefix + "encoded"), gap("encoded"));
      const auto [arcs, relations] = plan.impl().score_encoded(encoded, nullptr);
      expect_close(arcs, expected(prefix + "arcs"), gap("arcs"));
      expect_close(relations, expected(prefix + "relations"), gap("relations"));
      EXPECT_EQ(parse_text(parse), parse_text(expected_parse(m, s)));
    }
  }
}

TEST_F(DepparseTest, WordsTheEncoderRefuses) {
  const DepparsePlan plan(dir("plain"), false);
  EXPECT_THROW_MSG(plan.parse({row("a", {}, "DET", {}), row("", {}, "X", {})}), DepparseModelError,
                   "depparse cannot encode an empty word");
  EXPECT_THROW_MSG(plan.parse({row("a\xC3(", {}, "DET", {})}), std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset 2");
  EXPECT_THROW_MSG(DepparsePlan(dir("code_points"), false).parse({row("a", {}, "DET", "N\xFF")}),
                   std::invalid_argument, "invalid UTF-8 sequence at byte offset 1");
}

// The padded-row budget as the parser counts it: ROOT rows included, the
// first (longest) sentence's rows times the number of sentences.
TEST(DepparseBatches, ThePaddedRowBudgetCutsAsSpecified) {
  struct Case {
    std::vector<std::int64_t> rows;
    std::int64_t budget;
    std::vector<std::size_t> sizes;
  };
  const std::vector<Case> cases = {
      {std::vector<std::int64_t>(1001, 10), 5000, {500, 500, 1}},
      {{5000, 2}, 5000, {1, 1}},
      {{5001, 9, 9}, 5000, {1, 2}},
      {{5, 4, 5}, 10, {2, 1}},
  };
  for (const Case& c : cases) {
    std::vector<std::size_t> sizes;
    for (const auto& range : detail::cut_batches(detail::longest_first(c.rows), c.rows, 0, c.budget)) {
      sizes.push_back(range.end - range.begin);
    }
    EXPECT_EQ(sizes, c.sizes);
  }
}

// Batched encoding and parsing equal the single-sentence operations under
// budgets that cut several batches and isolate long sentences.
TEST_F(DepparseTest, BatchesEqualSingleSentences) {
  for (const char* name : {"composite", "charlm"}) {
    SCOPED_TRACE(name);
    DepparsePlan::Impl impl(dir(name), false);
    const Sentences& texts = sentences(impl.use_charlm);
    std::vector<at::Tensor> forward;
    std::vector<at::Tensor> backward;
    if (impl.use_charlm) {
      std::vector<std::vector<std::string>> lists;
      for (const auto& words : texts) lists.push_back(DepparsePlan::Impl::charlm_words(words));
      forward = impl.forward_charlm->encode_many(lists);
      backward = impl.backward_charlm->encode_many(lists);
    }
    std::vector<at::Tensor> single;
    std::vector<std::string> single_parses;
    {
      c10::InferenceMode guard;
      for (const auto& words : texts) {
        single.push_back(words.empty() ? at::Tensor() : impl.encode(words, nullptr, nullptr));
        if (words.empty()) {
          single_parses.emplace_back();
          continue;
        }
        const auto [arcs, relations] = impl.score_encoded(single.back(), nullptr);
        single_parses.push_back(parse_text(impl.parse_scored(words, arcs, relations)));
      }
    }
    for (const std::int64_t budget : {5000, 1, 12, 30}) {
      SCOPED_TRACE(budget);
      impl.batch_size = budget;
      impl.scored_cells_per_slice = budget == 1 ? 1 : std::int64_t{1} << 24;  // one sentence per slice at 1
      const auto parses = impl.parse_many(texts);
      c10::InferenceMode guard;
      const std::vector<at::Tensor> many = impl.encode_many(texts, forward, backward);
      ASSERT_EQ(many.size(), texts.size());
      for (std::size_t s = 0; s < texts.size(); ++s) {
        EXPECT_EQ(many[s].defined(), !texts[s].empty());
        if (many[s].defined()) expect_close(many[s], single[s], float64_gap(case_index(name), s, "encoded"));
        EXPECT_EQ(parse_text(parses[s]), single_parses[s]);
      }
    }
    c10::InferenceMode guard;
    EXPECT_TRUE(impl.encode_many({}, {}, {}).empty());
    if (!impl.use_charlm) {
      EXPECT_FALSE(impl.encode_many({{}, {}}, {}, {})[1].defined());
      continue;
    }
    // Rows that do not cover every sentence, or not every row, are refused.
    const std::string message = "depparse charLM rows do not match the encoded sentences";
    EXPECT_THROW_MSG(impl.encode_many(texts, {forward[0]}, backward), DepparseModelError, message);
    EXPECT_THROW_MSG(impl.encode_many({texts[0], texts[4]}, {forward[0], forward[0]}, {backward[0], backward[4]}),
                     DepparseModelError, message);
    EXPECT_THROW_MSG(impl.encode_many({texts[4]}, {at::Tensor()}, {backward[4]}), DepparseModelError, message);
  }
}

Document document(const std::vector<std::vector<DepparseWord>>& texts) {
  std::vector<SentenceInput> input;
  for (const auto& words : texts) {
    std::vector<TokenInput> tokens;
    for (std::size_t i = 0; i < words.size(); ++i) {
      TokenInput token = testing::records::token(static_cast<int>(i) + 1, words[i].text);
      WordInput& word = token.words[0];
      word.lemma = words[i].lemma;
      word.upos = words[i].upos;
      word.xpos = words[i].xpos;
      // An earlier parse, replaced by the new one.
      word.head = 0;
      word.deprel = "old";
      tokens.push_back(std::move(token));
    }
    input.push_back(testing::records::sentence(std::move(tokens)));
  }
  return Document("", std::move(input));
}

std::string written(const Document& doc) {
  std::string out;
  const SentenceSequence all = doc.sentences();
  for (std::uint64_t s = 0; s < all.size(); ++s) {
    const WordSequence words = all.at(static_cast<std::int64_t>(s)).words();
    for (std::uint64_t k = 0; k < words.size(); ++k) {
      const Word word = words.at(static_cast<std::int64_t>(k));
      out += std::to_string(word.head().value_or(-1)) + ":" + word.deprel().value_or("-") + " ";
    }
    out += "| ";
  }
  return out;
}

std::string expected_written(const DepparsePlan& plan, const Sentences& texts) {
  std::string out;
  for (const auto& words : texts) out += parse_text(plan.parse(words)) + "| ";
  return out;
}

TEST_F(DepparseTest, DocumentsAreParsedSinglyAndInBulk) {
  for (const char* name : {"plain", "charlm"}) {
    SCOPED_TRACE(name);
    const DepparsePlan plan(dir(name), false);
    const Sentences first = {sentences()[0], {}, sentences()[2]};  // sentence 2 has words with XPOS only
    const Sentences second = {sentences()[4], sentences()[5]};
    EXPECT_EQ(written(plan.process(document(first))), expected_written(plan, first));
    const std::vector<Document> bulk = plan.process_bulk({document(first), Document(""), document(second)});
    ASSERT_EQ(bulk.size(), 3u);
    EXPECT_EQ(written(bulk[0]), expected_written(plan, first));
    EXPECT_EQ(written(bulk[1]), "");
    EXPECT_EQ(written(bulk[2]), expected_written(plan, second));
    EXPECT_TRUE(plan.process_bulk({}).empty());
  }
}

TEST_F(DepparseTest, FailuresStopProcessAndBulkWritesNothing) {
  const DepparsePlan plan(dir("plain"), false);
  const std::string untouched = "0:old 0:old | ";
  Sentences texts = {sentences()[4], {row("a", {}, "DET", {}), row("cat", {}, {}, "NN")},
                     {row("a", {}, "DET", {}), row("cat", {}, {}, {})}, sentences()[4]};
  Document doc = document(texts);
  EXPECT_THROW_MSG(plan.process(doc), DepparseModelError, "POS must run before depparse");
  EXPECT_EQ(written(doc), expected_written(plan, {texts[0], texts[1]}) + untouched + "0:old | ");

  const Document a = document({sentences()[0]});
  EXPECT_THROW_MSG(plan.process_bulk({a, document(texts)}), DepparseModelError, "POS must run before depparse");
  EXPECT_EQ(written(a), "0:old 0:old 0:old 0:old | ");
  // A character id outside the embedding once failed in the model after the
  // sentences before it were written; it is refused at load now.
  EXPECT_THROW_MSG(DepparsePlan(dir("bad_char"), false), DepparseModelError,
                   "vocabulary id 999 is outside the 44 rows of 'charmodel.char_emb.weight' at "
                   "assets.vocab.char._unit2id.z");

  DepparsePlan moved(dir("plain"), false);
  const DepparsePlan taken(std::move(moved));
  const std::string gone = "the depparse plan has been moved from";
  EXPECT_THROW_MSG(moved.parse({}), std::logic_error, gone);
  EXPECT_THROW_MSG(moved.process(Document("")), std::logic_error, gone);
  EXPECT_THROW_MSG(moved.process_bulk({}), std::logic_error, gone);
  EXPECT_THROW_MSG(moved.bundle(), std::logic_error, gone);
}

Sentences words_of(std::size_t count) { return {std::vector<DepparseWord>(count, row("w", "w", "NOUN", "NN"))}; }

std::string refusal(std::size_t words, std::uint64_t bytes, std::uint64_t limit, const std::string& where) {
  return "depparse refuses a sentence of " + std::to_string(words) + " words: its arc scores would take " +
         std::to_string(bytes) + " bytes, above max_arc_score_bytes (" + std::to_string(limit) + ")" + where;
}

// A sentence whose arc scores, (words + 1)^2 numbers of the bundle's type,
// would exceed the limit is refused before any model work: the sentences
// before it stay parsed by process, nothing is written by process_bulk.
TEST_F(DepparseTest, SentencesAboveTheArcScoreLimitAreRefused) {
  struct Case {
    const char* model;
    std::uint64_t limit;
    std::size_t most_words;  // admitted; one more is refused
    std::uint64_t bytes;     // of one more
  };
  // float: 10 x 10 x 4 = 400 admits 9 words; double: 7 x 7 x 8 = 392 admits 6.
  for (const Case& c : {Case{"plain", 400, 9, 484}, Case{"double", 400, 6, 512}}) {
    SCOPED_TRACE(c.model);
    const DepparsePlan plan(dir(c.model), false, DepparseOptions{c.limit});
    EXPECT_EQ(plan.parse(words_of(c.most_words)[0]).size(), c.most_words);
    const std::size_t words = c.most_words + 1;
    EXPECT_THROW_MSG(plan.parse(words_of(words)[0]), DepparseModelError, refusal(words, c.bytes, c.limit, ""));
    const Sentences texts = {sentences()[0], words_of(words)[0], sentences()[0]};
    Document doc = document(texts);
    EXPECT_THROW_MSG(plan.process(doc), DepparseModelError, refusal(words, c.bytes, c.limit, ": sentence 1"));
    EXPECT_EQ(written(doc), expected_written(plan, {texts[0]}) + written(document({texts[1], texts[2]})));
    const Document first = document({sentences()[0]});
    EXPECT_THROW_MSG(plan.process_bulk({first, document(texts)}), DepparseModelError,
                     refusal(words, c.bytes, c.limit, ": document 1, sentence 1"));
    EXPECT_EQ(written(first), written(document({sentences()[0]})));
  }
  // A megabyte of "." is one sentence of a million words: refused at once
  // under the default limit, whose bytes the message names.
  const DepparsePlan plan(dir("plain"), false);
  std::vector<TokenInput> dots;
  dots.reserve(1000000);
  for (int i = 1; i <= 1000000; ++i) {
    TokenInput token = testing::records::token(i, ".");
    token.words[0].upos = "PUNCT";
    dots.push_back(std::move(token));
  }
  std::vector<SentenceInput> input;
  input.push_back(testing::records::sentence({testing::records::token(1, "dog")}));
  input.back().tokens[0].words[0].upos = "NOUN";
  input.push_back(testing::records::sentence(std::move(dots)));
  Document megabyte("", std::move(input));
  EXPECT_THROW_MSG(plan.process(megabyte), DepparseModelError,
                   refusal(1000000, 4000008000004, DepparseOptions{}.max_arc_score_bytes, ": sentence 1"));
  EXPECT_TRUE(megabyte.sentences().at(0).words().at(0).head().has_value());
}

TEST_F(DepparseTest, ThreadsSharingOnePlanAgree) {
  const DepparsePlan plan(dir("composite"), false);
  const std::string expected = expected_written(plan, sentences());
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        results[t] = written(t % 2 == 0 ? plan.process(document(sentences()))
                                        : plan.process_bulk({document(sentences())})[0]);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace lorvane
