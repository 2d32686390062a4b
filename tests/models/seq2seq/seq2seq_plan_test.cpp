// Loading a seq2seq bundle: every refusal in check order, every model variant
// loading and agreeing with the eager reference, accessors, moves, and the
// source encoding of words.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lorvane/bundle.hpp"
#include "models/seq2seq/plan_impl.hpp"
#include "models/seq2seq/seq2seq_test_support.hpp"

namespace lorvane {
namespace {

using testing::failure_of;
using testing::json_string;
using testing::Seq2SeqBundle;

struct RefusalCase {
  std::string name;
  std::string options;  // keyword arguments of write_seq2seq_bundle
  std::string failure;  // failure_of's "<type>: <message>"
};

const std::string kDims = "seq2seq: invalid seq2seq dimensions in assets.config";
const std::string kSpecials = " must begin with <PAD>, <UNK>, <SOS>, <EOS>";

// One row per check, in the loader's order; pairs of faults show which check comes first.
const std::vector<RefusalCase> kRefusals = {
    {"processor", R"({"processor": "pos"})", "seq2seq: expected a lemma or MWT bundle, got 'pos'"},
    {"manifest", R"({"bundle": {"manifest_ops": [{"set": "format", "value": "x"}]}})",
     "bundle: unsupported model bundle format"},
    {"syntax", R"({"bundle": {"assets_text": "{\"config\": "}})",
     "seq2seq: unexpected end of JSON at JSON byte 11"},
    {"no_config", R"({"assets_ops": [{"delete": "config"}]})", "seq2seq: missing JSON key 'config' at assets"},
    {"no_vocab", R"({"assets_ops": [{"delete": "vocab"}]})", "seq2seq: missing JSON key 'vocab' at assets"},
    {"no_id2unit", R"({"assets_ops": [{"delete": "vocab.char._id2unit"}]})",
     "seq2seq: missing JSON key '_id2unit' at assets.vocab.char"},
    {"unit_not_string", R"({"assets_ops": [{"set": "vocab.char._id2unit.5", "value": 5}]})",
     "seq2seq: expected JSON string at assets.vocab.char._id2unit[]"},
    {"id_not_integer", R"({"assets_ops": [{"set": "vocab.char._unit2id.a", "value": "4"}]})",
     "seq2seq: expected JSON integer at assets.vocab.char._unit2id"},
    {"three_specials", R"({"assets_ops": [{"set": "vocab.char._id2unit", "value": ["<PAD>", "<UNK>", "<SOS>"]}]})",
     "seq2seq: assets.vocab.char" + kSpecials},
    {"flat_unk_first", R"({"char_member": false, "assets_ops": [{"set": "vocab._id2unit.0", "value": "<UNK>"}]})",
     "seq2seq: assets.vocab" + kSpecials},
    {"unused_pos_vocab", R"({"pos_vocab": true, "assets_ops": [{"delete": "vocab.pos._id2unit.3"}]})",
     "seq2seq: assets.vocab.pos" + kSpecials},
    {"vocab_before_config", R"({"config": {"copy": 1}, "assets_ops": [{"delete": "vocab.char._unit2id"}]})",
     "seq2seq: missing JSON key '_unit2id' at assets.vocab.char"},
    {"int_type", R"({"config": {"max_dec_len": 5.0}})", "seq2seq: expected JSON integer at assets.config.max_dec_len"},
    {"bool_type", R"({"config": {"copy": 1}})", "seq2seq: expected JSON boolean at assets.config.copy"},
    {"no_attn", R"({"drop_config": ["attn_type"]})", "seq2seq: missing JSON key 'attn_type' at assets.config"},
    {"attn_type", R"({"config": {"attn_type": 3}})", "seq2seq: expected JSON string at assets.config.attn_type"},
    {"attn_general", R"({"config": {"attn_type": "general", "charlm": true}})",
     "seq2seq: native seq2seq inference currently supports soft attention"},
    {"charlm", R"({"config": {"charlm": true, "hidden_dim": 7}})",
     "seq2seq: contextual character-LM seq2seq bundles are unsupported"},
    {"no_vocab_size", R"({"drop_config": ["vocab_size"]})", kDims},
    {"vocab_size_short", R"({"config": {"vocab_size": 21}})", kDims},
    {"emb_dim", R"({"config": {"emb_dim": 0}})", kDims},
    {"hidden_odd", R"({"config": {"hidden_dim": 7}})", kDims},
    {"num_layers", R"({"config": {"num_layers": 0}})", kDims},
    {"max_dec_len", R"({"config": {"max_dec_len": 0}})", kDims},
    {"beam_size", R"({"config": {"beam_size": 0}})", kDims},
    {"batch_size", R"({"config": {"batch_size": -1}})", kDims},
    {"pos_without_vocab", R"({"config": {"pos": true}, "pos_vocab": false})",
     "seq2seq: the seq2seq config enables POS without a POS vocabulary"},
    {"pos_dim", R"({"config": {"pos": true, "pos_dim": 0}})",
     "seq2seq: the seq2seq config enables POS without a POS vocabulary"},
    {"dims_before_tensors", R"({"config": {"emb_dim": 0}, "tensors": {"z": {"dtype": "complex64", "shape": [1]}}})",
     kDims},
    {"complex", R"({"drop_tensors": ["embedding.weight"], "tensors": {"z": {"dtype": "complex64", "shape": [2]}}})",
     "seq2seq: ATen view does not support bundle dtype: complex64"},
    {"no_embedding", R"({"drop_tensors": ["embedding.weight"]})", "seq2seq: missing seq2seq tensor: 'embedding.weight'"},
    {"no_reverse_bias", R"({"config": {"num_layers": 2}, "drop_tensors": ["encoder.bias_hh_l1_reverse", "dec2vocab.bias"]})",
     "seq2seq: missing seq2seq tensor: 'encoder.bias_hh_l1_reverse'"},
    {"no_copy_gate", R"({"config": {"copy": true}, "drop_tensors": ["copy_gate.bias"]})",
     "seq2seq: missing seq2seq tensor: 'copy_gate.bias'"},
    {"no_pos_embedding", R"({"config": {"pos": true, "edit": true}, "drop_tensors": ["pos_embedding.weight", "edit_clf.0.bias"]})",
     "seq2seq: missing seq2seq tensor: 'pos_embedding.weight'"},
    {"no_edit", R"({"config": {"edit": true}, "drop_tensors": ["edit_clf.2.bias"]})",
     "seq2seq: missing seq2seq tensor: 'edit_clf.2.bias'"},
    // Shapes and element types the inference code relies on, checked last.
    {"half", R"({"dtype": "float16"})", "seq2seq: seq2seq tensor has an unsupported dtype: 'embedding.weight'"},
    {"mixed", R"({"tensors": {"dec2vocab.bias": {"dtype": "float64", "shape": [22]}}})",
     "seq2seq: seq2seq tensor has an unsupported dtype: 'dec2vocab.bias'"},
    {"embedding_rows", R"({"tensors": {"embedding.weight": {"dtype": "float32", "shape": [23, 7]}}})",
     "seq2seq: seq2seq tensor has an unexpected shape: 'embedding.weight'"},
    {"encoder_layer1", R"({"config": {"num_layers": 2}, "tensors": {"encoder.weight_ih_l1": {"dtype": "float32", "shape": [20, 7]}}})",
     "seq2seq: seq2seq tensor has an unexpected shape: 'encoder.weight_ih_l1'"},
    {"transposed", R"({"tensors": {"decoder.attention_layer.linear_out.weight": {"dtype": "float32", "shape": [20, 10]}}})",
     "seq2seq: seq2seq tensor has an unexpected shape: 'decoder.attention_layer.linear_out.weight'"},
    {"pos_width", R"({"config": {"pos": true, "pos_dim": 8}, "tensors": {"pos_embedding.weight": {"dtype": "float32", "shape": [9, 8]}}})",
     "seq2seq: seq2seq tensor has an unexpected shape: 'pos_embedding.weight'"},
    {"edit_classes", R"({"config": {"edit": true}, "tensors": {"edit_clf.2.bias": {"dtype": "float32", "shape": [4]}}})",
     "seq2seq: seq2seq tensor has an unexpected shape: 'edit_clf.2.bias'"},
};

// Every combination of copy, POS and edit classifier, character vocabulary
// layout, element type and encoder depth.
std::vector<Seq2SeqBundle> variants() {
  std::vector<Seq2SeqBundle> bundles;
  for (int bits = 0; bits < 64; ++bits) {
    auto flag = [&](int bit) { return (bits >> bit & 1) != 0 ? std::string("true") : std::string("false"); };
    bundles.push_back(
        {"variant" + std::to_string(bits),
         R"({"processor": ")" + std::string(bits % 3 == 0 ? "mwt" : "lemma") + R"(", "config": {"copy": )" +
             flag(0) + R"(, "pos": )" + flag(1) + R"(, "edit": )" + flag(2) + R"(, "num_layers": )" +
             std::to_string(1 + (bits >> 3 & 1)) + R"(}, "char_member": )" + flag(4) + R"(, "dtype": ")" +
             ((bits & 32) != 0 ? "float64" : "float32") + R"(", "seed": )" + std::to_string(bits) +
             R"(, "scale": 1.5, "eos_bias": 1.0, "special_bias": -6})"});
  }
  return bundles;
}

class Seq2SeqPlanTest : public testing::SuiteDirectoryTest<Seq2SeqPlanTest> {
 public:
  static void populate(const std::filesystem::path& root) {
    std::vector<Seq2SeqBundle> bundles = variants();
    for (const RefusalCase& c : kRefusals) bundles.push_back({c.name, c.options});
    bundles.push_back({"beam_null", R"({"config": {"beam_size": null, "batch_size": null}})"});
    bundles.push_back({"beam_absent", R"({"drop_config": ["beam_size", "batch_size", "pos_dim", "copy"]})"});
    bundles.push_back({"beam4", R"({"config": {"beam_size": 4, "batch_size": 7, "pos": true}})"});
    bundles.push_back({"bad_ids", R"({"config": {"pos": true}, "assets_ops": [
        {"set": "vocab.char._unit2id.a", "value": 22}, {"set": "vocab.char._unit2id.b", "value": -1},
        {"set": "vocab.pos._unit2id.NOUN", "value": 9}]})"});
    bundles.push_back({"negative_id", R"({"config": {"pos": true}, "assets_ops": [
        {"set": "vocab.char._unit2id.b", "value": -1}]})"});
    bundles.push_back({"bad_pos_id", R"({"config": {"pos": true}, "assets_ops": [
        {"set": "vocab.pos._unit2id.NOUN", "value": 9}]})"});
    testing::write_seq2seq_bundles(root, bundles);
  }
  static std::filesystem::path bundle(const std::string& name) { return root_->path() / name; }
};

TEST_F(Seq2SeqPlanTest, RefusesBrokenBundlesInCheckOrder) {
  for (const RefusalCase& c : kRefusals) {
    EXPECT_EQ(failure_of([&] { Seq2SeqPlan(bundle(c.name), false); }), c.failure) << c.name;
  }
}

// Every variant loads, and its greedy, beam and batched predictions equal the
// reference's on a few words (the big comparisons are in the decoding tests).
TEST_F(Seq2SeqPlanTest, EveryVariantLoadsAndPredictsLikeTheReference) {
  std::string request = R"({"jobs": [)";
  const std::vector<Seq2SeqBundle> bundles = variants();
  for (const Seq2SeqBundle& b : bundles) {
    request += (b.name == bundles.front().name ? "" : ",") + std::string(R"({"kind": "predict", "bundle": )") +
               json_string(bundle(b.name).string()) + R"(, "words": {"random": 6, "seed": 9}, "beam": 2})";
  }
  const detail::JsonValue jobs = testing::run_seq2seq_reference(request + "]}");
  std::size_t total = 0, skipped = 0;
  for (std::size_t i = 0; i < bundles.size(); ++i) {
    const Seq2SeqPlan plan(bundle(bundles[i].name), true);
    const detail::JsonValue& job = jobs.as_array("").at(i);
    const auto words = testing::strings_of(*job.find("words"));
    const auto tags = testing::optional_strings_of(*job.find("pos"));
    const auto batched = plan.predict_many(words, tags, 1, false);
    for (std::size_t w = 0; w < words.size(); ++w) {
      ++total;
      if (testing::prediction_too_close_to_call(job, w)) {
        ++skipped;
        continue;
      }
      const auto expect = [&](const char* mode, const Seq2SeqPrediction& actual) {
        const auto expected = testing::reference_prediction(job.find(mode)->as_array("").at(w));
        EXPECT_TRUE(testing::same_prediction(actual, expected))
            << bundles[i].name << " " << mode << " '" << words[w] << "': " << testing::describe(actual)
            << " vs " << testing::describe(expected);
      };
      expect("greedy", plan.predict(words[w], tags[w], std::nullopt, false));
      expect("beam", plan.predict(words[w], tags[w], 2, false));
      expect("batched", batched[w]);
    }
  }
  EXPECT_LE(10 * skipped, total);
}

TEST_F(Seq2SeqPlanTest, ConfigurationDefaultsAndAccessors) {
  for (const char* name : {"beam_null", "beam_absent"}) {
    const Seq2SeqPlan plan(bundle(name), false);
    EXPECT_EQ(plan.configured_beam_size(), 1) << name;
    EXPECT_FALSE(plan.uses_pos()) << name;
  }
  const Seq2SeqPlan::Impl defaults(bundle("beam_absent"), false);
  EXPECT_EQ(defaults.batch_size, 50);
  EXPECT_FALSE(defaults.copy);
  const Seq2SeqPlan plan(bundle("beam4"), false);
  EXPECT_EQ(plan.configured_beam_size(), 4);
  EXPECT_TRUE(plan.uses_pos());
  EXPECT_EQ(plan.bundle().processor(), "lemma");
  // Weights are views of the mapped tensor file, not copies.
  const Seq2SeqPlan::Impl impl(bundle("beam4"), false);
  EXPECT_EQ(impl.batch_size, 7);
  EXPECT_EQ(impl.decoder.embedding.data_ptr(), impl.bundle->tensor_data("embedding.weight"));
  EXPECT_EQ(impl.pos_embedding.data_ptr(), impl.bundle->tensor_data("pos_embedding.weight"));
  EXPECT_EQ(impl.encoder_weights.flat().front().data_ptr(), impl.bundle->tensor_data("encoder.weight_ih_l0"));
}

TEST_F(Seq2SeqPlanTest, MovedFromPlansThrowLogicError) {
  Seq2SeqPlan source(bundle("beam4"), false);
  Seq2SeqPlan target(std::move(source));
  EXPECT_EQ(target.configured_beam_size(), 4);
  const std::string moved = "logic_error: the seq2seq plan has been moved from";
  EXPECT_EQ(failure_of([&] { (void)source.bundle(); }), moved);
  EXPECT_EQ(failure_of([&] { (void)source.uses_pos(); }), moved);
  EXPECT_EQ(failure_of([&] { (void)source.configured_beam_size(); }), moved);
  EXPECT_EQ(failure_of([&] { source.predict("a", "NOUN", std::nullopt, false); }), moved);
  EXPECT_EQ(failure_of([&] { source.predict_many({}, {}, std::nullopt, false); }), moved);
  Seq2SeqPlan other(bundle("beam_null"), false);
  other = std::move(target);
  EXPECT_EQ(other.configured_beam_size(), 4);
  EXPECT_EQ(failure_of([&] { (void)target.uses_pos(); }), moved);
  EXPECT_EQ(other.predict("ab", "NOUN", std::nullopt, false).text,
            Seq2SeqPlan(bundle("beam4"), false).predict("ab", "NOUN", std::nullopt, false).text);
}

// Vocabulary ids stored in a bundle are never trusted as indices: one
// outside its table is refused when the bundle is opened, with the message a
// look-up of that unit would give (the first such unit in byte order).
TEST_F(Seq2SeqPlanTest, OutOfRangeVocabularyIdsAreRefusedAtLoad) {
  EXPECT_EQ(failure_of([] { Seq2SeqPlan(bundle("bad_ids"), false); }),
            "seq2seq: seq2seq vocabulary id is out of range: 'a'");
  EXPECT_EQ(failure_of([] { Seq2SeqPlan(bundle("negative_id"), false); }),
            "seq2seq: seq2seq vocabulary id is out of range: 'b'");
  EXPECT_EQ(failure_of([] { Seq2SeqPlan(bundle("bad_pos_id"), false); }),
            "seq2seq: seq2seq vocabulary id is out of range: 'NOUN'");
}

TEST(Seq2SeqSource, EncodesCodePointsWithFirstOccurrenceUnknowns) {
  detail::Seq2SeqVocabulary vocab;
  vocab.id2unit = {"<PAD>", "<UNK>", "<SOS>", "<EOS>", "a", "e", "\u00e9"};
  for (std::size_t id = 0; id < vocab.id2unit.size(); ++id) vocab.unit2id[vocab.id2unit[id]] = static_cast<std::int64_t>(id);
  struct Case {
    std::string word;
    std::vector<std::int64_t> ids;
    std::vector<std::string> oov;
  };
  const std::vector<Case> cases = {
      {"", {2, 3}, {}},
      {"xax", {2, 7, 4, 7, 3}, {"x"}},
      {"xyx", {2, 7, 8, 7, 3}, {"x", "y"}},
      {"\u00e9", {2, 6, 3}, {}},
      {"e\u0301e\u0301", {2, 5, 7, 5, 7, 3}, {"\u0301"}},
      {"Aa\U0001F600", {2, 7, 4, 8, 3}, {"A", "\U0001F600"}},
  };
  for (const Case& c : cases) {
    const detail::SourceEncoding source = Seq2SeqPlan::Impl::encode_source(vocab, c.word);
    EXPECT_EQ(source.ids, c.ids) << c.word;
    EXPECT_EQ(source.oov_units, c.oov) << c.word;
  }
  EXPECT_EQ(failure_of([&] { Seq2SeqPlan::Impl::encode_source(vocab, "ab\x80"); }),
            "invalid_argument: invalid UTF-8 sequence at byte offset 2");
  EXPECT_EQ(failure_of([&] { Seq2SeqPlan::Impl::encode_source(vocab, "a\xC3"); }),
            "invalid_argument: invalid UTF-8 sequence at byte offset 1");
}

}  // namespace
}  // namespace lorvane
