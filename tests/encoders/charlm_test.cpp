// The character language model and its plan: construction failures in step
// order, character ids, and rows against the eager PyTorch reference
// (tests/reference/charlm_reference.py) on generated bundles.

#include <ATen/ATen.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bundle/json.hpp"
#include "encoders/charlm/native_charlm.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/charlm.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using detail::NativeCharLM;
using Sentence = std::vector<std::string>;

// A bundle the program writes once: its options for charlm_bundle.py.
struct BundleJob {
  std::string name;
  std::string options;
  bool two_models = false;
};

// A model the reference runs: a bundle, the tensor prefix and the assets key.
struct ReferenceModel {
  std::string bundle;
  std::string prefix;
  std::string key;
};

const std::vector<BundleJob> kGoodBundles = {
    {"fwd32", "{}"},
    {"bwd32", R"({"forward": false, "unk": false, "seed": 1, "layers": 1})"},
    {"fwd64", R"({"dtype": "float64", "seed": 2})"},
    {"bwd64", R"({"forward": false, "dtype": "float64", "seed": 3, "layers": 3})"},
    // The processor name does not set the direction.
    {"named_backward", R"({"processor": "backward_charlm", "seed": 4})"},
    // Tensors at odd offsets: viewed through aligned copies.
    {"misaligned", R"({"dtype": "float64", "seed": 5, "bundle": {"alignment": 1, "gap": 1}})"},
    {"two", R"({"seed": 6})", true},
};

const std::vector<ReferenceModel> kReferenceModels = {
    {"fwd32", "", ""},
    {"bwd32", "", ""},
    {"fwd64", "", ""},
    {"bwd64", "", ""},
    {"named_backward", "", ""},
    {"misaligned", "", ""},
    {"two", "forward_charlm.", "forward_charlm"},
    {"two", "backward_charlm.", "backward_charlm"},
};

// A word of 300 characters: the recurrence runs long enough for float32
// rounding to accumulate.
std::string long_word() {
  std::string word;
  for (int i = 0; i < 60; ++i) word += i % 2 ? "ab\u00fccd" : "tone\u4e2d";
  return word;
}

// Combining marks, multi-byte characters, characters outside the
// vocabulary, empty words, an empty sentence and a long word.
const std::vector<Sentence> kSentences = {
    {"ab", "c"},           {},    {"", "a", ""},         {"e\u0301te", "\u00fcber", "\u4e2d"},
    {"xyz!", "Q", "dot"}, {"a"}, {"don\u2019t", "", "\u4e2d\u4e2d"}, {"a", long_word(), "c"},
};

// 70 further sentences of 0 to 14 words: two batches of encode_many.
std::vector<Sentence> random_sentences() {
  const std::vector<std::string> pieces = {"a", "b", "c", "d", "e", "n", "o", "t", "\u0301", "\u00fc",
                                           "\u4e2d", "x", "Z", "!", "\u00e9"};
  std::mt19937 rng(11);
  std::vector<Sentence> sentences(70);
  for (Sentence& sentence : sentences) {
    sentence.resize(rng() % 15);
    for (std::string& word : sentence) {
      for (std::size_t k = rng() % 9; k > 0; --k) word += pieces[rng() % pieces.size()];
    }
  }
  return sentences;
}

std::vector<Sentence> all_sentences() {
  std::vector<Sentence> sentences = kSentences;
  for (Sentence& sentence : random_sentences()) sentences.push_back(std::move(sentence));
  return sentences;
}

struct ReferenceResult {
  std::vector<std::vector<std::int64_t>> ids;
  std::vector<std::vector<std::int64_t>> positions;
  std::vector<at::Tensor> rows;  // float64 [words, hidden] per sentence
  double float64_gap = 0.0;      // of the rows from the model's float64 twin
};

std::vector<std::int64_t> integers(const JsonValue& array) {
  std::vector<std::int64_t> out;
  for (const JsonValue& value : array.as_array("")) out.push_back(value.as_integer(""));
  return out;
}

at::Tensor matrix(const JsonValue& rows) {
  std::vector<double> values;
  std::int64_t width = 0;
  for (const JsonValue& row : rows.as_array("")) {
    width = static_cast<std::int64_t>(row.as_array("").size());
    for (const JsonValue& value : row.as_array("")) values.push_back(value.as_number(""));
  }
  const auto count = static_cast<std::int64_t>(rows.as_array("").size());
  return at::tensor(values, at::kDouble).reshape({count, count == 0 ? 0 : width});
}

std::string sentences_json(const std::vector<Sentence>& sentences) {
  std::string out = "[";
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    out += s ? ", [" : "[";
    for (std::size_t w = 0; w < sentences[s].size(); ++w) out += (w ? ", " : "") + testing::json_quote(sentences[s][w]);
    out += "]";
  }
  return out + "]";
}

// Every bundle of the program, and the reference's results for every model,
// written and computed once.
class Fixtures {
 public:
  Fixtures() {
    std::string jobs = "[";
    const auto add_job = [&](const BundleJob& job) {
      jobs += (jobs.size() > 1 ? ",\n" : "") + std::string(R"({"out_dir": )") +
              testing::json_quote(path(job.name).string()) + R"(, "options": )" + job.options +
              (job.two_models ? R"(, "two_models": true})" : "}");
    };
    for (const BundleJob& job : kGoodBundles) add_job(job);
    for (const BundleJob& job : broken_bundles()) add_job(job);
    testing::write_file(dir_ / "jobs.json", jobs + "]");
    testing::run_python({(testing::source_dir() / "tests/fixtures/charlm_bundle.py").string(), "--batch",
                         (dir_ / "jobs.json").string()});

    std::string request = R"({"models": [)";
    for (std::size_t m = 0; m < kReferenceModels.size(); ++m) {
      const ReferenceModel& model = kReferenceModels[m];
      request += (m ? ", " : "") + std::string(R"({"bundle": )") + testing::json_quote(path(model.bundle).string()) +
                 R"(, "prefix": )" + testing::json_quote(model.prefix) + R"(, "key": )" +
                 (model.key.empty() ? "null" : testing::json_quote(model.key)) + R"(, "sentences": )" +
                 sentences_json(all_sentences()) + "}";
    }
    testing::write_file(dir_ / "request.json", request + "]}");
    testing::run_python({(testing::source_dir() / "tests/reference/charlm_reference.py").string(), "rows",
                         (dir_ / "request.json").string(), (dir_ / "result.json").string()});
    const JsonValue result = detail::parse_json(testing::read_file(dir_ / "result.json"));
    for (const JsonValue& model : result.at("models", "").as_array("")) {
      ReferenceResult out;
      for (const JsonValue& ids : model.at("ids", "").as_array("")) out.ids.push_back(integers(ids));
      for (const JsonValue& p : model.at("positions", "").as_array("")) out.positions.push_back(integers(p));
      for (const JsonValue& rows : model.at("rows", "").as_array("")) out.rows.push_back(matrix(rows));
      out.float64_gap = model.at("float64_gap", "").as_number("");
      reference_.push_back(std::move(out));
    }
  }

  std::filesystem::path path(const std::string& name) const { return dir_ / name; }
  const ReferenceResult& reference(std::size_t model) const { return reference_.at(model); }

  // Broken bundles, named after their row in the failure table.
  static std::vector<BundleJob> broken_bundles();

 private:
  testing::TempDir dir_;
  std::vector<ReferenceResult> reference_;
};

const Fixtures& fixtures() {
  static const Fixtures instance;
  return instance;
}

std::unique_ptr<NativeCharLM> load_model(const ReferenceModel& model) {
  auto bundle = std::make_shared<const ModelBundle>(fixtures().path(model.bundle), false);
  const JsonValue assets = detail::parse_json(bundle->assets_json());
  return std::make_unique<NativeCharLM>(bundle, model.prefix, model.key.empty() ? assets : assets.at(model.key, ""));
}

// Float64 rows leave room for rounding only. Float32 rows: the reference's
// own float32 rows stray from its float64 twin's by its float64_gap, and
// ours, whatever order our kernels sum in, by about as much.
double tolerance(const at::Tensor& rows, const ReferenceResult& reference) {
  return rows.scalar_type() == at::kDouble ? 1e-12 : testing::float32_tolerance(reference.float64_gap);
}

::testing::AssertionResult rows_close(const at::Tensor& actual, const at::Tensor& expected, double atol) {
  // The reference writes an empty sentence's rows as [0, 0].
  if (actual.size(0) == 0 && expected.size(0) == 0) return ::testing::AssertionSuccess();
  if (!actual.sizes().equals(expected.sizes())) {
    return ::testing::AssertionFailure() << "shape " << actual.sizes() << " vs " << expected.sizes();
  }
  const double diff = (actual.to(at::kDouble) - expected).abs().max().item<double>();
  if (diff <= atol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "largest difference " << diff;
}

// ---------------------------------------------------------------------------

TEST(NativeCharLM, RowsEqualTheReferenceSinglyAndInBatches) {
  const std::vector<Sentence> sentences = all_sentences();
  for (std::size_t m = 0; m < kReferenceModels.size(); ++m) {
    SCOPED_TRACE(kReferenceModels[m].bundle + " " + kReferenceModels[m].prefix);
    const auto model = load_model(kReferenceModels[m]);
    const ReferenceResult& reference = fixtures().reference(m);
    const std::vector<at::Tensor> batched = model->encode_many(sentences);
    ASSERT_EQ(batched.size(), sentences.size());
    for (std::size_t s = 0; s < sentences.size(); ++s) {
      SCOPED_TRACE(s);
      const at::Tensor single = model->encode(sentences[s]);
      EXPECT_EQ(single.dim(), 2);
      EXPECT_EQ(single.size(1), model->hidden_size());
      EXPECT_TRUE(rows_close(single, reference.rows[s], tolerance(single, reference)));
      EXPECT_TRUE(rows_close(batched[s], single.to(at::kDouble), tolerance(single, reference)));
      EXPECT_EQ(batched[s].scalar_type(), single.scalar_type());
      const NativeCharLM::SentenceIds ids = model->sentence_ids(sentences[s]);
      EXPECT_EQ(ids.ids, reference.ids[s]);
      EXPECT_EQ(ids.positions, reference.positions[s]);
    }
  }
}

TEST(NativeCharLM, CharacterIdsAndPositions) {
  // Vocabulary of the generated bundles: a 0, b 1, "\n" 2, c 3, " " 4,
  // "<UNK>" 5 (absent in bwd32, which shifts the rest down by one), e 6,
  // U+0301 7, ...
  struct Row {
    std::string bundle;
    Sentence words;
    std::vector<std::int64_t> ids;
    std::vector<std::int64_t> positions;
  };
  const std::vector<Row> rows = {
      {"fwd32", {"ab", "c"}, {2, 0, 1, 4, 3, 4}, {3, 5}},
      {"bwd32", {"ab", "c"}, {2, 3, 4, 1, 0, 4}, {5, 2}},
      {"fwd32", {"e\u0301"}, {2, 6, 7, 4}, {3}},
      {"bwd32", {"e\u0301", ""}, {2, 4, 6, 5, 4}, {4, 1}},
      {"fwd32", {"xa", ""}, {2, 5, 0, 4, 4}, {3, 4}},  // "<UNK>" is 5
      {"bwd32", {"xa"}, {2, 0, 1, 4}, {3}},            // no "<UNK>": 1
      {"fwd32", {}, {2}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bundle + " " + testing::json_quote(row.words.empty() ? "" : row.words[0]));
    const NativeCharLM::SentenceIds ids = load_model({row.bundle, "", ""})->sentence_ids(row.words);
    EXPECT_EQ(ids.ids, row.ids);
    EXPECT_EQ(ids.positions, row.positions);
  }
}

TEST(NativeCharLM, MalformedWordsAndEmptyInput) {
  const auto model = load_model({"bwd64", "", ""});
  EXPECT_THROW_MSG(model->encode({"ok", "b\xC3"}), std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset 1");
  EXPECT_THROW_MSG(model->encode_many({{"a"}, {"\xFF"}}), std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset 0");
  EXPECT_TRUE(model->encode_many({}).empty());
  const at::Tensor empty = model->encode({});
  EXPECT_EQ(empty.sizes(), (std::vector<std::int64_t>{0, model->hidden_size()}));
  EXPECT_EQ(empty.scalar_type(), at::kDouble);
}

TEST(NativeCharLM, FourThreadsShareOneModel) {
  const auto model = load_model({"fwd32", "", ""});
  const std::vector<Sentence> sentences = all_sentences();
  const std::vector<at::Tensor> expected = model->encode_many(sentences);
  std::vector<std::vector<at::Tensor>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] {
      for (int round = 0; round < 3; ++round) result = model->encode_many(sentences);
      for (const Sentence& sentence : kSentences) result.push_back(model->encode(sentence));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& result : results) {
    ASSERT_EQ(result.size(), sentences.size() + kSentences.size());
    for (std::size_t s = 0; s < sentences.size(); ++s) EXPECT_TRUE(at::equal(result[s], expected[s]));
    for (std::size_t s = 0; s < kSentences.size(); ++s) {
      EXPECT_TRUE(at::equal(result[sentences.size() + s], model->encode(kSentences[s])));
    }
  }
}

// ---------------------------------------------------------------------------
// Construction failures

struct FailureRow {
  std::string name;
  std::string options;
  std::string expected;  // "<error class>: <message>", or "loads"
};

const std::vector<FailureRow>& failure_rows() {
  static const std::vector<FailureRow> rows = {
      {"wrong_kind", R"({"processor": "pos"})",
       "CharLMModelError: expected a forward/backward_charlm bundle, got 'pos'"},
      {"bad_json", R"({"bundle": {"assets_text": "{\"config\": {}"}})",
       "CharLMModelError: expected ',' at JSON byte 13"},
      {"root_array", R"({"assets_ops": [{"root": []}]})", "CharLMModelError: expected JSON object at charlm assets"},
      {"no_config", R"({"assets_ops": [{"delete": "config"}]})",
       "CharLMModelError: missing JSON key 'config' at charlm assets"},
      {"config_array", R"({"assets_ops": [{"set": "config", "value": []}]})",
       "CharLMModelError: expected JSON object at charlm assets.config"},
      {"no_hidden", R"({"assets_ops": [{"delete": "config.char_hidden_dim"}]})",
       "CharLMModelError: missing JSON key 'char_hidden_dim' at charlm assets.config"},
      {"hidden_float", R"({"assets_ops": [{"set": "config.char_hidden_dim", "value": 7.0}]})",
       "CharLMModelError: expected JSON integer at charlm assets.config.char_hidden_dim"},
      {"no_layers", R"({"assets_ops": [{"delete": "config.char_num_layers"}]})",
       "CharLMModelError: missing JSON key 'char_num_layers' at charlm assets.config"},
      {"hidden_zero", R"({"assets_ops": [{"set": "config.char_hidden_dim", "value": 0},
                                          {"set": "config.char_rec_dropout", "value": null}]})",
       "CharLMModelError: unsupported character language model; hidden size and layer count must be "
       "positive and recurrent dropout must be zero"},
      {"layers_negative", R"({"assets_ops": [{"set": "config.char_num_layers", "value": -1}]})",
       "CharLMModelError: unsupported character language model; hidden size and layer count must be "
       "positive and recurrent dropout must be zero"},
      {"dropout", R"({"assets_ops": [{"set": "config.char_rec_dropout", "value": 0.1},
                                      {"delete": "is_forward_lm"}]})",
       "CharLMModelError: unsupported character language model; hidden size and layer count must be "
       "positive and recurrent dropout must be zero"},
      {"dropout_null", R"({"assets_ops": [{"set": "config.char_rec_dropout", "value": null}]})",
       "CharLMModelError: expected JSON number at charlm assets.config.char_rec_dropout"},
      {"dropout_text", R"({"assets_ops": [{"set": "config.char_rec_dropout", "value": "0"}]})",
       "CharLMModelError: expected JSON number at charlm assets.config.char_rec_dropout"},
      {"dropout_int", R"({"assets_ops": [{"set": "config.char_rec_dropout", "value": 0}]})", "loads"},
      {"dropout_negative_zero", R"({"assets_ops": [{"set": "config.char_rec_dropout", "value": -0.0}]})",
       "loads"},
      {"dropout_absent", R"({"assets_ops": [{"delete": "config.char_rec_dropout"}]})", "loads"},
      {"no_direction", R"({"assets_ops": [{"delete": "is_forward_lm"}]})",
       "CharLMModelError: missing JSON key 'is_forward_lm' at charlm assets"},
      {"direction_int", R"({"assets_ops": [{"set": "is_forward_lm", "value": 1}]})",
       "CharLMModelError: expected JSON boolean at charlm assets.is_forward_lm"},
      {"no_vocab", R"({"assets_ops": [{"delete": "vocab"}]})", "CharLMModelError: missing JSON key 'vocab' at charlm assets"},
      {"no_unit2id", R"({"assets_ops": [{"delete": "vocab._unit2id"}]})",
       "CharLMModelError: missing JSON key '_unit2id' at charlm assets.vocab"},
      {"unit2id_array", R"({"assets_ops": [{"set": "vocab._unit2id", "value": []}]})",
       "CharLMModelError: expected JSON object at charlm assets.vocab._unit2id"},
      {"id_text", R"({"assets_ops": [{"set": "vocab._unit2id.d", "value": "10"}]})",
       "CharLMModelError: expected JSON integer at charlm assets.vocab._unit2id.d"},
      {"no_line_feed", R"({"assets_ops": [{"delete": "vocab._unit2id.\n"}], "drop_tensors": ["charlstm_h_init"]})",
       "CharLMModelError: character language model vocabulary has no start/end symbols"},
      {"no_space", R"({"assets_ops": [{"delete": "vocab._unit2id. "}]})",
       "CharLMModelError: character language model vocabulary has no start/end symbols"},
      {"no_embedding", R"({"drop_tensors": ["char_emb.weight"]})",
       "ModelBundleError: tensor is not present in bundle: 'char_emb.weight'"},
      {"no_c_init", R"({"drop_tensors": ["charlstm_c_init"]})",
       "ModelBundleError: tensor is not present in bundle: 'charlstm_c_init'"},
      {"embedding_uint16", R"({"tensors": {"char_emb.weight": {"dtype": "uint16", "shape": [14, 5]}}})",
       "CharLMModelError: ATen view does not support bundle dtype: uint16"},
      {"h_init_complex", R"({"tensors": {"charlstm_h_init": {"dtype": "complex64", "shape": [2, 1, 7]}}})",
       "CharLMModelError: ATen view does not support bundle dtype: complex64"},
      {"embedding_short", R"({"vocab_rows": 13})",
       "CharLMModelError: character language model tensors do not match its assets"},
      {"embedding_3d", R"({"tensors": {"char_emb.weight": {"dtype": "float32", "shape": [14, 5, 1]}}})",
       "CharLMModelError: character language model tensors do not match its assets"},
      {"h_init_batch", R"({"tensors": {"charlstm_h_init": {"dtype": "float32", "shape": [2, 2, 7]}},
                           "drop_tensors": ["charlstm.lstm.weight_ih_l0"]})",
       "CharLMModelError: character language model tensors do not match its assets"},
      {"h_init_2d", R"({"tensors": {"charlstm_h_init": {"dtype": "float32", "shape": [2, 7]}}})",
       "CharLMModelError: character language model tensors do not match its assets"},
      {"c_init_other", R"({"tensors": {"charlstm_c_init": {"dtype": "float32", "shape": [2, 1, 6]}}})",
       "CharLMModelError: character language model tensors do not match its assets"},
      {"no_bias", R"({"drop_tensors": ["charlstm.lstm.bias_hh_l1"]})",
       "ModelBundleError: tensor is not present in bundle: 'charlstm.lstm.bias_hh_l1'"},
      // Checked beyond the listed steps: the LSTM parameters must fit the
      // dimensions and the type of the other tensors.
      {"weight_ih_width", R"({"tensors": {"charlstm.lstm.weight_ih_l0": {"dtype": "float32", "shape": [28, 4]}}})",
       "CharLMModelError: character language model tensors do not match its assets"},
      {"weight_hh_type", R"({"tensors": {"charlstm.lstm.weight_hh_l1": {"dtype": "float64", "shape": [28, 7]}}})",
       "CharLMModelError: character language model tensors do not match its assets"},
      {"integer_model", R"({"dtype": "int32"})",
       "CharLMModelError: character language model tensors do not match its assets"},
      {"half_model", R"({"dtype": "float16"})", "loads"},
  };
  return rows;
}

std::vector<BundleJob> Fixtures::broken_bundles() {
  std::vector<BundleJob> jobs;
  for (const FailureRow& row : failure_rows()) jobs.push_back({row.name, row.options});
  return jobs;
}

std::string outcome(const std::function<void()>& load) {
  try {
    load();
  } catch (const CharLMModelError& e) {
    return std::string("CharLMModelError: ") + e.what();
  } catch (const ModelBundleError& e) {
    return std::string("ModelBundleError: ") + e.what();
  } catch (const detail::JsonError& e) {
    return std::string("JsonError: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "loads";
}

TEST(CharLMPlan, ConstructionFailuresInStepOrder) {
  for (const FailureRow& row : failure_rows()) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(outcome([&] { CharLMPlan plan(fixtures().path(row.name), true); }), row.expected);
  }
  // A prefixed model names the absent tensor with its prefix.
  EXPECT_EQ(outcome([] { load_model({"two", "forward.", "forward_charlm"}); }),
            "ModelBundleError: tensor is not present in bundle: 'forward.char_emb.weight'");
}

TEST(CharLMPlan, EncodesFloatRows) {
  const std::vector<Sentence> sentences = all_sentences();
  for (const std::size_t m : {std::size_t{2}, std::size_t{4}}) {  // fwd64; named_backward (float32)
    SCOPED_TRACE(kReferenceModels[m].bundle);
    const CharLMPlan plan(fixtures().path(kReferenceModels[m].bundle), false);
    EXPECT_TRUE(plan.is_forward());
    EXPECT_EQ(plan.bundle().processor(), m == 2 ? "forward_charlm" : "backward_charlm");
    for (std::size_t s = 0; s < kSentences.size(); ++s) {
      const std::vector<std::vector<float>> rows = plan.encode(sentences[s]);
      ASSERT_EQ(rows.size(), sentences[s].size());
      std::vector<double> flat;
      for (const auto& row : rows) {
        ASSERT_EQ(static_cast<std::int64_t>(row.size()), plan.hidden_size());
        flat.insert(flat.end(), row.begin(), row.end());
      }
      const at::Tensor expected = fixtures().reference(m).rows[s].contiguous();
      const std::vector<double> expected_flat(expected.data_ptr<double>(),
                                              expected.data_ptr<double>() + expected.numel());
      // The float64 model's rows rounded to float lie within half an ulp of
      // outputs below 1 (3e-8).
      const double tolerance = m == 2 ? 1e-7 : testing::float32_tolerance(fixtures().reference(m).float64_gap);
      EXPECT_TRUE(testing::all_close(flat, expected_flat, tolerance));
    }
  }
  const CharLMPlan backward(fixtures().path("bwd32"), false);
  EXPECT_FALSE(backward.is_forward());
  EXPECT_EQ(backward.hidden_size(), 7);

  CharLMPlan moved(fixtures().path("fwd32"), false);
  const CharLMPlan target(std::move(moved));
  EXPECT_EQ(target.encode({"a", "b", "c"}).size(), 3u);
  EXPECT_THROW_MSG(moved.encode({"a"}), std::logic_error, "the character LM plan has been moved from");
  EXPECT_THROW_MSG(moved.bundle(), std::logic_error, "the character LM plan has been moved from");
  EXPECT_THROW_MSG(moved.is_forward(), std::logic_error, "the character LM plan has been moved from");
}

}  // namespace
}  // namespace lorvane
