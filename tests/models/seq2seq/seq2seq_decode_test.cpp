// The decoder step and prediction against the eager reference on seeded
// weights, and the behaviour of predict and predict_many around them:
// argument errors and their order, batch order and cuts, edge decodings,
// threads.

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "models/seq2seq/plan_impl.hpp"
#include "models/seq2seq/seq2seq_test_support.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using testing::failure_of;
using testing::json_string;

const char* const kBundles[][2] = {
    {"copy_pos", R"({"config": {"copy": true, "pos": true, "edit": true, "num_layers": 2}, "dtype": "float64",
                    "seed": 1, "scale": 1.5, "eos_bias": 1.0, "special_bias": -6})"},
    {"copy_f32", R"({"processor": "mwt", "config": {"copy": true}, "char_member": false, "seed": 4,
                    "scale": 1.5, "eos_bias": 1.0, "special_bias": -6})"},
    {"plain", R"({"config": {"pos": true, "edit": true, "beam_size": 4}, "seed": 5, "scale": 1.5,
                 "eos_bias": 1.0, "special_bias": -6})"},
    {"eos_first", R"({"config": {"copy": true, "edit": true}, "eos_bias": 80})"},
    {"never_eos", R"({"config": {"copy": true, "max_dec_len": 5}, "eos_bias": -80, "seed": 2})"},
};

// Reference jobs: the decoder step of three bundles, then predictions of 200
// random words on the same three (beam 3, 3 with forbid_unk, 4).
std::string reference_request(const std::filesystem::path& root) {
  const auto bundle = [&](const char* name) { return json_string((root / name).string()); };
  const std::string cases = R"([{"rows": 4, "positions": 7, "extra": 2, "forbid": true, "mask": true, "limits": true},
      {"rows": 3, "positions": 5, "extra": 0, "forbid": false},
      {"rows": 5, "positions": 6, "extra": 3, "mask": true},
      {"rows": 2, "positions": 4, "extra": 1, "forbid": true, "limits": true}])";
  std::string request = R"({"jobs": [)";
  for (const char* name : {"copy_pos", "copy_f32", "plain"}) {
    request += R"({"kind": "step", "seed": 7, "bundle": )" + bundle(name) + R"(, "cases": )" + cases + "},";
  }
  request += R"({"kind": "predict", "bundle": )" + bundle("copy_pos") +
             R"(, "words": {"random": 200, "seed": 3}, "beam": 3},)";
  request += R"({"kind": "predict", "bundle": )" + bundle("copy_f32") +
             R"(, "words": {"random": 200, "seed": 4}, "beam": 3, "forbid_unk": true},)";
  request += R"({"kind": "predict", "bundle": )" + bundle("plain") +
             R"(, "words": {"random": 200, "seed": 5}, "beam": 4}]})";
  return request;
}

class Seq2SeqDecodeTest : public testing::SuiteDirectoryTest<Seq2SeqDecodeTest> {
 public:
  static void populate(const std::filesystem::path& root) {
    std::vector<testing::Seq2SeqBundle> bundles;
    for (const auto& [name, options] : kBundles) bundles.push_back({name, options});
    testing::write_seq2seq_bundles(root, bundles);
    reference_ = testing::run_seq2seq_reference(reference_request(root));
  }
  static std::filesystem::path bundle(const std::string& name) { return root_->path() / name; }
  static const JsonValue& job(std::size_t index) { return reference_.as_array("").at(index); }
  static inline JsonValue reference_;
};

// A reference value: a number, or "inf" / "-inf".
double number_of(const JsonValue& value) {
  if (value.kind() != JsonValue::kString) return value.as_number("");
  return value.as_string("") == "-inf" ? -INFINITY : INFINITY;
}

at::Tensor tensor_of(const JsonValue& list, at::IntArrayRef shape, at::ScalarType type) {
  std::vector<double> values;
  for (const JsonValue& value : list.as_array("")) values.push_back(number_of(value));
  return at::tensor(values, at::kDouble).view(shape).to(type);
}

at::Tensor ids_of(const JsonValue& list, at::IntArrayRef shape) {
  std::vector<std::int64_t> values;
  for (const JsonValue& value : list.as_array("")) values.push_back(value.as_integer(""));
  return at::tensor(values, at::kLong).view(shape);
}

// |actual - expected| <= tolerance * (1 + |expected|), infinities equal.
void expect_close(const at::Tensor& actual, const JsonValue& expected, double tolerance, const std::string& what) {
  const at::Tensor flat = actual.to(at::kDouble).contiguous().view(-1);
  const auto& values = expected.as_array("");
  ASSERT_EQ(flat.numel(), static_cast<std::int64_t>(values.size())) << what;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double a = flat[static_cast<std::int64_t>(i)].item<double>();
    const double e = number_of(values[i]);
    const bool close = std::isinf(e) ? a == e : std::abs(a - e) <= tolerance * (1.0 + std::abs(e));
    ASSERT_TRUE(close) << what << " [" << i << "]: " << a << " vs " << e;
  }
}

// Float64 values leave room for rounding only; float32 ones stray from the
// exact values by about the reference's own float32 gap whatever order their
// sums run in.
double value_tolerance(at::ScalarType type, const JsonValue& float64_gap) {
  return type == at::kDouble ? 1e-10 : testing::float32_tolerance(float64_gap.as_number(""));
}

TEST_F(Seq2SeqDecodeTest, DecoderStepEqualsTheReference) {
  c10::InferenceMode guard;
  const char* names[] = {"copy_pos", "copy_f32", "plain"};
  for (std::size_t b = 0; b < 3; ++b) {
    const Seq2SeqPlan::Impl plan(bundle(names[b]), false);
    const at::ScalarType type = plan.decoder.embedding.scalar_type();
    for (const JsonValue& c : job(b).find("cases")->as_array("")) {
      const double tolerance = value_tolerance(type, *c.find("float64_gap"));
      const std::int64_t rows = c.find("rows")->as_integer("");
      const std::int64_t positions = c.find("positions")->as_integer("");
      const std::int64_t h = plan.hidden_dim;
      const std::string what = std::string(names[b]) + " rows " + std::to_string(rows);
      at::Tensor ids = ids_of(*c.find("ids"), {rows});
      const detail::DecoderState state{tensor_of(*c.find("h"), {rows, h}, type), tensor_of(*c.find("c"), {rows, h}, type)};
      const at::Tensor memory = tensor_of(*c.find("memory"), {rows, positions, h}, type);
      const at::Tensor source = ids_of(*c.find("source"), {rows, positions - (plan.pos ? 1 : 0)});
      at::Tensor mask, limits;
      if (!c.find("mask")->is_null()) mask = ids_of(*c.find("mask"), {rows, positions}).to(at::kBool);
      if (!c.find("limits")->is_null()) limits = ids_of(*c.find("limits"), {rows});
      const std::int64_t width = c.find("ext_width")->as_integer("");
      const detail::DecoderStepOutput out =
          plan.decode_step(ids, state, memory, source, width, c.find("forbid")->as_bool(""),
                           mask.defined() ? &mask : nullptr, limits.defined() ? &limits : nullptr);
      ASSERT_EQ(out.log_probs.size(1), c.find("width")->as_integer("")) << what;
      expect_close(out.log_probs, *c.find("log_probs"), tolerance, what + " log_probs");
      expect_close(out.h, *c.find("h_out"), tolerance, what + " h");
      expect_close(out.c, *c.find("c_out"), tolerance, what + " c");
      // Copied ids were fed back as <UNK>, in the caller's tensor.
      EXPECT_TRUE(at::equal(ids, ids_of(*c.find("ids_after"), {rows}))) << what;
      if (!plan.copy && !c.find("forbid")->as_bool("")) {
        EXPECT_TRUE(at::allclose(out.log_probs.exp().sum(1), at::ones({rows}, type), tolerance, tolerance)) << what;
      }
    }
  }
  // A source id outside the output columns breaks the step's contract.
  const Seq2SeqPlan::Impl plan(bundle("copy_f32"), false);
  const at::Tensor zeros = at::zeros({1, plan.hidden_dim});
  EXPECT_EQ(failure_of([&] {
              plan.decode_step(at::full({1}, 2, at::kLong), {zeros, zeros}, at::zeros({1, 3, plan.hidden_dim}),
                               at::full({1, 3}, plan.vocab_size + 1, at::kLong), plan.vocab_size + 1, false,
                               nullptr, nullptr);
            }),
            "invalid_argument: invalid seq2seq decoder step arguments");
}

// 200 random words per bundle (ASCII, two-byte, unknown, four-byte, combining
// mark, empty): greedy, beam and batched results equal the reference's, and
// batched prediction equals prediction word by word.
TEST_F(Seq2SeqDecodeTest, PredictionsEqualTheReference) {
  const char* names[] = {"copy_pos", "copy_f32", "plain"};
  const std::int64_t beams[] = {3, 3, 4};
  std::size_t beam_differs = 0;
  std::size_t copied = 0;
  std::size_t unknown = 0;
  std::size_t skipped = 0, total = 0;
  for (std::size_t b = 0; b < 3; ++b) {
    const JsonValue& expected = job(3 + b);
    const Seq2SeqPlan plan(bundle(names[b]), false);
    const bool forbid = b == 1;
    const auto words = testing::strings_of(*expected.find("words"));
    const auto tags = testing::optional_strings_of(*expected.find("pos"));
    const auto batched = plan.predict_many(words, tags, 1, forbid);
    // The plain bundle's configured beam size is 4: predict_many without a
    // beam size runs the beam search word by word.
    const auto beamed = plan.predict_many(words, tags, b == 2 ? std::nullopt : std::optional(beams[b]), forbid);
    for (std::size_t w = 0; w < words.size(); ++w) {
      ++total;
      if (testing::prediction_too_close_to_call(expected, w)) {
        ++skipped;
        continue;
      }
      const auto reference = [&](const char* mode) {
        return testing::reference_prediction(expected.find(mode)->as_array("").at(w));
      };
      const auto check = [&](const char* mode, const Seq2SeqPrediction& actual, const Seq2SeqPrediction& want) {
        EXPECT_TRUE(testing::same_prediction(actual, want)) << names[b] << " " << mode << " '" << words[w]
                                                             << "': " << testing::describe(actual) << " vs "
                                                             << testing::describe(want);
      };
      const Seq2SeqPrediction greedy = plan.predict(words[w], tags[w], 1, forbid);
      check("greedy", greedy, reference("greedy"));
      check("beam", plan.predict(words[w], tags[w], beams[b], forbid), reference("beam"));
      check("batched", batched[w], reference("batched"));
      check("batched vs single", batched[w], greedy);
      check("beam many", beamed[w], reference("beam"));
      beam_differs += greedy.text != reference("beam").text;
      copied += greedy.text.find_first_of("xyzA") != std::string::npos;
      unknown += greedy.text.find("<UNK>") != std::string::npos;
      if (forbid) {
        EXPECT_EQ(batched[w].text.find("<UNK>"), std::string::npos);
      }
    }
  }
  // The fixtures decide differently under beam search, copy unknown
  // characters, and write <UNK> where it is not forbidden.
  EXPECT_GT(beam_differs, 20u);
  EXPECT_GT(copied, 20u);
  EXPECT_GT(unknown, 5u);
  EXPECT_LE(10 * skipped, total);
}

TEST_F(Seq2SeqDecodeTest, ArgumentErrorsInOrder) {
  const Seq2SeqPlan tagged(bundle("copy_pos"), false);
  const Seq2SeqPlan untagged(bundle("copy_f32"), false);
  const std::string lengths = "seq2seq: seq2seq text and POS batches must have equal lengths";
  const std::string beam = "seq2seq: beam size must be positive";
  const std::string tag = "seq2seq: this seq2seq bundle requires a POS tag";
  const std::string utf8 = "invalid_argument: invalid UTF-8 sequence at byte offset 1";
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { untagged.predict_many({"a", "b", "c"}, {}, std::nullopt, false); }, lengths},
      {[&] { untagged.predict_many({"a"}, {"X", "Y"}, 0, false); }, lengths},
      {[&] { untagged.predict_many({"a"}, {std::nullopt}, 0, false); }, beam},
      {[&] { untagged.predict_many({"a"}, {std::nullopt}, -3, false); }, beam},
      {[&] { untagged.predict("a", std::nullopt, 0, false); }, beam},
      {[&] { tagged.predict("a", std::nullopt, 0, false); }, tag},
      {[&] { tagged.predict("a\xFF", std::nullopt, 0, false); }, utf8},
      {[&] { tagged.predict_many({"ab", "a"}, {"NOUN", std::nullopt}, 1, false); }, tag},
      {[&] { tagged.predict_many({"ab", "a"}, {"NOUN", std::nullopt}, 2, false); }, tag},
      // Every word is encoded before the first batch reads its tags.
      {[&] { tagged.predict_many({"ab", "a\x80"}, {std::nullopt, std::nullopt}, 1, false); }, utf8},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(failure_of(cases[i].first), cases[i].second) << i;
  for (const std::optional<std::int64_t> size : {std::optional<std::int64_t>(), std::optional<std::int64_t>(1),
                                                 std::optional<std::int64_t>(3)}) {
    EXPECT_TRUE(tagged.predict_many({}, {}, size, false).empty());
  }
  // A model without POS ignores the tag.
  EXPECT_EQ(untagged.predict("abxa", "NOUN", std::nullopt, false).text,
            untagged.predict("abxa", std::nullopt, std::nullopt, false).text);
}

TEST_F(Seq2SeqDecodeTest, BatchesAreSortedLongestFirstAndCutByBatchSize) {
  const Seq2SeqPlan::Impl plan(bundle("copy_f32"), false);
  const auto plan_of = [&](const std::vector<std::string>& words) {
    std::vector<detail::SourceEncoding> sources;
    for (const std::string& word : words) sources.push_back(Seq2SeqPlan::Impl::encode_source(plan.char_vocab, word));
    return plan.batch_plan(sources);
  };
  using Batches = std::vector<std::vector<std::size_t>>;
  EXPECT_EQ(plan_of({"a", "abcde", "x\u00e9yzq", "abc"}), (Batches{{1, 2, 3, 0}}));
  std::vector<std::string> words;
  for (std::size_t i = 0; i < 120; ++i) words.push_back(std::string(1 + i % 7, 'a'));
  std::vector<std::size_t> sizes;
  for (const auto& batch : plan_of(words)) sizes.push_back(batch.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{50, 50, 20}));
}

TEST_F(Seq2SeqDecodeTest, EndOfSequenceFirstAndNever) {
  const std::vector<std::string> words = {"", "ab", "xa\u6f22", "ponmlkji"};
  const std::vector<std::optional<std::string>> no_tags(words.size());
  const Seq2SeqPlan eos_first(bundle("eos_first"), false);
  for (const auto& [beam, label] : {std::pair<std::int64_t, const char*>{1, "greedy"}, {3, "beam"}}) {
    for (const Seq2SeqPrediction& p : eos_first.predict_many(words, no_tags, beam, false)) {
      EXPECT_EQ(p.text, "") << label;
      EXPECT_TRUE(p.edit.has_value()) << label;
    }
  }
  // Never ending: exactly max_dec_len ids, greedily, in a batch and by beam search.
  const Seq2SeqPlan::Impl never(bundle("never_eos"), false);
  c10::InferenceMode guard;
  std::vector<detail::SourceEncoding> sources;
  std::vector<const detail::SourceEncoding*> pointers;
  for (const std::string& word : words) sources.push_back(Seq2SeqPlan::Impl::encode_source(never.char_vocab, word));
  for (const auto& source : sources) pointers.push_back(&source);
  const detail::EncodedBatch batch = never.encode_batch(pointers, {});
  for (const auto& ids : never.greedy_decode_many(batch, false)) {
    EXPECT_EQ(ids.size(), 5u);
  }
  EXPECT_EQ(never.beam_search(never.encode_batch({&sources[2]}, {}), 3, false).size(), 5u);
}

TEST_F(Seq2SeqDecodeTest, ThreadsShareOnePlan) {
  const JsonValue& expected = job(3);
  const auto words = testing::strings_of(*expected.find("words"));
  const auto tags = testing::optional_strings_of(*expected.find("pos"));
  const Seq2SeqPlan plan(bundle("copy_pos"), false);
  const auto run = [&] {
    std::vector<Seq2SeqPrediction> out = plan.predict_many(words, tags, 1, false);
    for (std::size_t w = 0; w < 40; ++w) out.push_back(plan.predict(words[w], tags[w], 2, false));
    return out;
  };
  const std::vector<Seq2SeqPrediction> sequential = run();
  std::vector<std::vector<Seq2SeqPrediction>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) threads.emplace_back([&] { result = run(); });
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) {
    ASSERT_EQ(result.size(), sequential.size());
    for (std::size_t i = 0; i < result.size(); ++i) EXPECT_TRUE(testing::same_prediction(result[i], sequential[i])) << i;
  }
}

}  // namespace
}  // namespace lorvane
