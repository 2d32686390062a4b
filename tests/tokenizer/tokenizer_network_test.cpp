// The tokenizer network and its label decoding: agreement with the PyTorch
// reference on random bundles, exact labels from hand-set weights (class
// ties, windows, the final unit, the gate), and the address pass.

#include <ATen/Parallel.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/tokenizer.hpp"
#include "models/tokenizer/network.hpp"
#include "models/tokenizer/plan_impl.hpp"
#include "models/tokenizer/text/units.hpp"
#include "support/test_support.hpp"
#include "tokenizer/tokenizer_inference_support.hpp"

namespace lorvane {
namespace {

using detail::TokenizerParagraph;
using testing::DesignedWeights;

// The test programs run side by side; with one intra-op thread each, the
// network's kernels never wait in thread barriers for descheduled workers.
// Results do not depend on the thread count.
class OneIntraOpThread : public ::testing::Environment {
 public:
  void SetUp() override { at::set_num_threads(1); }
};
[[maybe_unused]] ::testing::Environment* const kOneIntraOpThread =
    ::testing::AddGlobalTestEnvironment(new OneIntraOpThread);
using Labels = std::vector<std::int64_t>;

std::vector<TokenizerParagraph> paragraphs_of(const std::string& text, bool skip_newline = false) {
  return detail::split_paragraphs(text.data(), text.size(), skip_newline);
}

TokenizerParagraph one_paragraph(const std::string& text) {
  auto paragraphs = paragraphs_of(text);
  EXPECT_EQ(paragraphs.size(), 1u) << text;
  return paragraphs.empty() ? TokenizerParagraph{} : paragraphs.front();
}

std::string digits(const Labels& labels) {
  std::string out;
  for (const std::int64_t label : labels) out += std::to_string(label);
  return out;
}

Labels from_digits(const std::string& text) {
  Labels out;
  for (const char c : text) out.push_back(c - '0');
  return out;
}

std::vector<double> widened(const std::vector<float>& values) { return {values.begin(), values.end()}; }

// Labels keyed by unit position, for long paragraphs that are mostly 0.
std::map<std::size_t, std::int64_t> non_zero(const Labels& labels) {
  std::map<std::size_t, std::int64_t> out;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] != 0) out[i] = labels[i];
  }
  return out;
}

// ---------------------------------------------------------------------------
// Hand-set bundles

// The vocabulary of every hand-set bundle below: <PAD> 0, <UNK> 1, a 2, . 3,
// space 4, b 5, c 6.
constexpr std::string_view kDesignedUnits = "a. bc";
constexpr std::int64_t kDesignedRows = 7;
constexpr std::int64_t kDot = 3;
constexpr std::int64_t kUnk = 1;

std::string designed_options(const DesignedWeights& weights, bool use_mwt, double hier_invtemp) {
  return std::string(R"({"config": {"emb_dim": 2, "hidden_dim": 2, "use_mwt": )") + (use_mwt ? "true" : "false") +
         R"(, "hier_invtemp": )" + testing::json_float(hier_invtemp) + R"(}, "vocab": )" +
         testing::vocab_json(kDesignedUnits) + R"(, "tensors": )" + weights.tensors_json() + "}";
}

DesignedWeights zero_weights(bool mwt_tensors) { return DesignedWeights(kDesignedRows, 2, 2, 5, mwt_tensors); }

// Heads that see nothing but their biases: every LSTM weight is zero, so
// both levels output exactly 0.
DesignedWeights bias_only(float tok, float sent, float mwt, bool mwt_tensors) {
  DesignedWeights w = zero_weights(mwt_tensors);
  w.set("tok_clf.bias", 0, tok);
  w.set("sent_clf.bias", 0, sent);
  if (mwt_tensors) w.set("mwt_clf.bias", 0, mwt);
  return w;
}

// A memoryless first level: forward unit 0 reads whether the unit is a full
// stop (or unknown), reverse unit 0 counts the steps from the window's end,
// so that only the last unit of each window sees 0.76 (tanh 1) there. The
// heads turn that into: full stop 2, last unit of a window 3 (4 if both).
DesignedWeights window_edges() {
  DesignedWeights w = zero_weights(true);
  w.set("embeddings.weight", kDot, 0, 1.0f);
  w.set("embeddings.weight", kUnk, 0, 1.0f);
  const std::string rnn = "rnn.";
  w.gate_bias(rnn, false, DesignedWeights::kInput, 0, 20.0f);
  w.gate_bias(rnn, false, DesignedWeights::kForget, 0, -20.0f);
  w.gate_input(rnn, false, DesignedWeights::kCell, 0, 0, 20.0f);
  w.gate_bias(rnn, false, DesignedWeights::kOutput, 0, 20.0f);
  for (const auto gate : {DesignedWeights::kInput, DesignedWeights::kForget, DesignedWeights::kCell,
                          DesignedWeights::kOutput}) {
    w.gate_bias(rnn, true, gate, 0, 20.0f);
  }
  // First-level output: [forward 0, forward 1, reverse 0, reverse 1].
  w.set("tok_clf.weight", 0, 0, 40.0f);
  w.set("tok_clf.weight", 0, 2, -200.0f);
  w.set("tok_clf.bias", 0, 172.56f);
  w.set("sent_clf.weight", 0, 0, 40.0f);
  w.set("sent_clf.bias", 0, -15.0f);
  w.set("mwt_clf.weight", 0, 2, -200.0f);
  w.set("mwt_clf.bias", 0, 172.56f);
  return w;
}

// Forward unit 0 reads full stops (as in window_edges), reverse unit 1 reads
// "b", and forward unit 1 counts the steps from the window's start in small
// increments (tanh(0.001 k) at step k). Full stop 2, b 1, everything else 0;
// the multi-word-token logit, -10 + the count, never decides a label but
// shows in the kept logits where each window started.
DesignedWeights window_starts() {
  DesignedWeights w = zero_weights(true);
  constexpr std::int64_t kB = 5;
  w.set("embeddings.weight", kDot, 0, 1.0f);
  w.set("embeddings.weight", kUnk, 0, 1.0f);
  w.set("embeddings.weight", kB, 1, 1.0f);
  const std::string rnn = "rnn.";
  for (const bool reverse : {false, true}) {
    const std::int64_t j = reverse ? 1 : 0;
    w.gate_bias(rnn, reverse, DesignedWeights::kInput, j, 20.0f);
    w.gate_bias(rnn, reverse, DesignedWeights::kForget, j, -20.0f);
    w.gate_input(rnn, reverse, DesignedWeights::kCell, j, j, 20.0f);
    w.gate_bias(rnn, reverse, DesignedWeights::kOutput, j, 20.0f);
  }
  w.gate_bias(rnn, false, DesignedWeights::kInput, 1, 20.0f);
  w.gate_bias(rnn, false, DesignedWeights::kForget, 1, 20.0f);
  w.gate_bias(rnn, false, DesignedWeights::kCell, 1, 0.001f);
  w.gate_bias(rnn, false, DesignedWeights::kOutput, 1, 20.0f);
  // First-level output: [forward 0, forward 1, reverse 0, reverse 1].
  w.set("tok_clf.weight", 0, 0, 40.0f);
  w.set("tok_clf.weight", 0, 3, 40.0f);
  w.set("tok_clf.bias", 0, -20.0f);
  w.set("sent_clf.weight", 0, 0, 40.0f);
  w.set("sent_clf.bias", 0, -15.0f);
  w.set("mwt_clf.weight", 0, 1, 1.0f);
  w.set("mwt_clf.bias", 0, -10.0f);
  return w;
}

// The first level outputs a constant 0.76 on forward unit 0 and a fixed
// token score; the second level squashes its input twice (0.57 for the
// ungated 0.76, 0.35 at half strength, about 0 when closed) and its token head
// adds second_weight x that. Probe A (score -10, weight 22) shows whether the
// gate is open at all: ungated 1, half or fully closed 0. Probe B (score +10,
// weight -30) shows a gate closed by a negative temperature: ungated 0,
// closed 1.
DesignedWeights gate_probe(float first_score, float second_weight) {
  DesignedWeights w = zero_weights(false);
  const std::string rnn = "rnn.";
  w.gate_bias(rnn, false, DesignedWeights::kInput, 0, 20.0f);
  w.gate_bias(rnn, false, DesignedWeights::kForget, 0, -20.0f);
  w.gate_bias(rnn, false, DesignedWeights::kCell, 0, 20.0f);
  w.gate_bias(rnn, false, DesignedWeights::kOutput, 0, 20.0f);
  w.set("tok_clf.bias", 0, first_score);
  w.set("sent_clf.bias", 0, -10.0f);
  const std::string rnn2 = "rnn2.";
  w.gate_bias(rnn2, false, DesignedWeights::kInput, 0, 20.0f);
  w.gate_bias(rnn2, false, DesignedWeights::kForget, 0, -20.0f);
  w.gate_input(rnn2, false, DesignedWeights::kCell, 0, 0, 1.0f);
  w.gate_bias(rnn2, false, DesignedWeights::kOutput, 0, 20.0f);
  w.set("tok_clf2.weight", 0, 0, second_weight);
  return w;
}

struct BiasCase {
  const char* name;
  float tok, sent, mwt;
  bool use_mwt;
  bool mwt_tensors;
  std::int64_t inner;  // label of every unit but the last
  std::int64_t last;
};

// Ties are exact in float: the scores being compared are sums of the same
// terms, so only the choice of the lower class decides.
const BiasCase kBiasCases[] = {
    {"none", -5, 0, 0, true, true, 0, 2},
    {"token", 5, -5, -5, true, true, 1, 2},
    {"sentence", 5, 5, -5, true, true, 2, 2},
    {"mwt", 5, -5, 5, true, true, 3, 4},
    {"mwt_sentence", 5, 5, 5, true, true, 4, 4},
    {"tie_0_1", 0, -100, -100, true, true, 0, 2},
    {"tie_1_2", 100, 0, -100, true, true, 1, 2},
    {"tie_1_3", 100, -100, 0, true, true, 1, 2},
    {"tie_1_2_3_4", 100, 0, 0, true, true, 1, 2},
    {"tie_2_4", 100, 100, 0, true, true, 2, 2},
    {"tie_3_4", 100, 0, 100, true, true, 3, 4},
    {"no_mwt_tie_0_1", 0, -100, 0, false, false, 0, 2},
    {"no_mwt_tie_1_2", 100, 0, 0, false, false, 1, 2},
    {"no_mwt_sentence", 5, 5, 0, false, false, 2, 2},
    // MWT heads present in the bundle but switched off: never consulted.
    {"no_mwt_heads_ignored", 5, -5, 50, false, true, 1, 2},
};

struct WindowCase {
  const char* name;
  std::size_t length;
  std::vector<std::size_t> full_stops;
  std::map<std::size_t, std::int64_t> expected;
};

// Every window marks its own last unit with 3 (4 on a full stop): the marks
// that survive show where windows ended and what was cut back.
const WindowCase kWindowCases[] = {
    {"exactly_one_window", 1000, {499}, {{499, 2}, {999, 4}}},
    {"one_window_no_stop", 1000, {}, {{999, 4}}},
    // The first window is cut after unit 499; units 500..999 are predicted
    // again in the second window, which ends at the paragraph's end.
    {"cut_back_to_stop", 1001, {499}, {{499, 2}, {1000, 4}}},
    // No sentence end, and the only token end is the window's own mark on
    // its final unit, which does not count: all 1000 labels kept, the last
    // unit runs alone.
    {"kept_whole_without_stop", 1001, {}, {{999, 3}, {1000, 4}}},
    {"stop_on_window_end", 1001, {999}, {{999, 4}, {1000, 4}}},
    {"three_windows", 2500, {499, 1799}, {{499, 2}, {1499, 3}, {1799, 2}, {2499, 4}}},
    {"three_windows_no_stop", 2500, {}, {{999, 3}, {1999, 3}, {2499, 4}}},
};

struct CutCase {
  const char* name;
  std::size_t length;
  std::vector<std::size_t> full_stops;
  std::vector<std::size_t> token_ends;  // units "b"
  std::vector<std::size_t> window_starts;
};

std::vector<std::size_t> every(std::size_t first, std::size_t step, std::size_t end) {
  std::vector<std::size_t> out;
  for (std::size_t i = first; i < end; i += step) out.push_back(i);
  return out;
}

// A full window is cut back after its last sentence end, else after its last
// token end before its final unit, else kept whole; the next window starts
// right after the cut.
const CutCase kCutCases[] = {
    {"exactly_one_window", 1000, {}, {499}, {0}},
    {"cut_after_token_end", 1001, {}, {599}, {0, 600}},
    {"kept_whole_without_token_end", 1001, {}, {}, {0, 1000}},
    // A token end on the window's final unit is no place to cut.
    {"token_end_on_window_end", 1001, {}, {999}, {0, 1000}},
    {"token_ends_at_window_end", 1001, {}, {998, 999}, {0, 999}},
    // The sentence end decides in the first window; the second holds only a
    // token end and is cut there; the third holds neither.
    {"sentence_end_before_token_end", 1700, {499}, {599}, {0, 500, 600, 1600}},
    {"token_ends_in_every_window", 3000, {}, every(299, 300, 3000), {0, 900, 1800, 2700}},
    // Sentence ends in every window: the windows the sentence-end rule alone
    // gives, whatever token ends follow the last sentence end.
    {"sentence_ends_in_every_window", 3000, every(299, 300, 3000), every(350, 300, 3000), {0, 900, 1800, 2700}},
    {"no_ends_at_all", 2500, {}, {}, {0, 1000, 2000}},
};

const double kInvtemps[] = {1.0, 2.0, 0.0, -0.0, -1.0};

class TokenizerNetworkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testing::TempDir();
    std::vector<std::pair<std::filesystem::path, std::string>> jobs;
    for (const BiasCase& c : kBiasCases) {
      jobs.emplace_back(dir(std::string("bias_") + c.name),
                        designed_options(bias_only(c.tok, c.sent, c.mwt, c.mwt_tensors), c.use_mwt, 0.5));
    }
    jobs.emplace_back(dir("windows"), designed_options(window_edges(), true, 0.5));
    jobs.emplace_back(dir("window_starts"), designed_options(window_starts(), true, 0.5));
    for (std::size_t i = 0; i < std::size(kInvtemps); ++i) {
      jobs.emplace_back(dir("gate_a_" + std::to_string(i)),
                        designed_options(gate_probe(-10.0f, 22.0f), false, kInvtemps[i]));
      jobs.emplace_back(dir("gate_b_" + std::to_string(i)),
                        designed_options(gate_probe(10.0f, -30.0f), false, kInvtemps[i]));
    }
    jobs.emplace_back(dir("every_token"), designed_options(bias_only(5, -5, -5, true), true, 0.5));
    testing::write_tokenizer_bundles(scratch_->path(), jobs);
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }

  static std::filesystem::path dir(const std::string& name) { return scratch_->path() / name; }
  static const TokenizerPlan::Impl& load(const std::string& name) {
    static std::map<std::string, std::unique_ptr<TokenizerPlan>> plans;
    auto& plan = plans[name];
    if (!plan) plan = std::make_unique<TokenizerPlan>(dir(name), false);
    return plan->impl();
  }

  static testing::TempDir* scratch_;
};

testing::TempDir* TokenizerNetworkTest::scratch_ = nullptr;

TEST_F(TokenizerNetworkTest, BiasOnlyHeadsGiveTheirClassAndTiesGoToTheLowerClass) {
  const TokenizerParagraph short_one = one_paragraph("abc ab");
  const TokenizerParagraph longer = one_paragraph("cab bac abc");
  for (const BiasCase& c : kBiasCases) {
    SCOPED_TRACE(c.name);
    const TokenizerPlan::Impl& plan = load(std::string("bias_") + c.name);
    Labels expected(short_one.size(), c.inner);
    expected.back() = c.last;
    EXPECT_EQ(plan.predict_paragraph(short_one), expected);

    Labels expected_longer(longer.size(), c.inner);
    expected_longer.back() = c.last;
    const auto batch = plan.predict_batch({&short_one, &longer});
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0], expected);
    EXPECT_EQ(batch[1], expected_longer);
  }
}

TEST_F(TokenizerNetworkTest, OneUnitParagraphAlwaysEndsASentence) {
  const TokenizerParagraph unit = one_paragraph("a");
  for (const BiasCase& c : kBiasCases) {
    SCOPED_TRACE(c.name);
    const Labels expected = {c.last};
    EXPECT_EQ(load(std::string("bias_") + c.name).predict_paragraph(unit), expected);
    EXPECT_EQ(load(std::string("bias_") + c.name).predict_batch({&unit}).at(0), expected);
  }
}

TEST_F(TokenizerNetworkTest, EmptyParagraphAndEmptyBatchGiveNothing) {
  const TokenizerPlan::Impl& plan = load("bias_token");
  EXPECT_TRUE(plan.predict_paragraph({}).empty());
  EXPECT_TRUE(plan.predict_batch({}).empty());
}

TEST_F(TokenizerNetworkTest, LongParagraphsRunInWindowsCutBackAfterTheLastEnd) {
  const TokenizerPlan::Impl& plan = load("windows");
  for (const WindowCase& c : kWindowCases) {
    SCOPED_TRACE(c.name);
    std::string text(c.length, 'a');
    for (const std::size_t stop : c.full_stops) text[stop] = '.';
    const TokenizerParagraph units = one_paragraph(text);
    ASSERT_EQ(units.size(), c.length);
    const Labels labels = plan.predict_paragraph(units);
    ASSERT_EQ(labels.size(), c.length);
    EXPECT_EQ(non_zero(labels), c.expected);
  }
}

TEST_F(TokenizerNetworkTest, FullWindowsWithoutSentenceEndAreCutAfterTheirLastTokenEnd) {
  const TokenizerPlan::Impl& plan = load("window_starts");
  for (const CutCase& c : kCutCases) {
    SCOPED_TRACE(c.name);
    std::string text(c.length, 'a');
    std::map<std::size_t, std::int64_t> expected;
    for (const std::size_t end : c.token_ends) text[end] = 'b', expected[end] = 1;
    for (const std::size_t stop : c.full_stops) text[stop] = '.', expected[stop] = 2;
    expected[c.length - 1] = 2;
    const TokenizerParagraph units = one_paragraph(text);
    ASSERT_EQ(units.size(), c.length);
    detail::HeadLogits logits;
    const Labels labels = detail::predict_paragraph_with_logits(plan, units, &logits);
    ASSERT_EQ(logits.size(), 3 * c.length);
    EXPECT_EQ(non_zero(labels), expected);
    // The count is tanh(0.001) at a window's first unit and tanh(0.002) at
    // the next: the threshold sits 5e-4 from both, where float32 around -10
    // resolves 1e-6, whatever the kernels' summation order.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < c.length; ++i) {
      if (logits[3 * i + 2] < -10.0f + 0.0015f) starts.push_back(i);
    }
    EXPECT_EQ(starts, c.window_starts);
  }
}

TEST_F(TokenizerNetworkTest, BatchRowsEndAtTheirOwnLengthWhateverThePadding) {
  // Packed rows: each paragraph's reverse pass starts at its own last unit,
  // so only that unit carries the window-end mark.
  const TokenizerPlan::Impl& plan = load("windows");
  const TokenizerParagraph a = one_paragraph(std::string(7, 'a'));
  const TokenizerParagraph b = one_paragraph(std::string(1000, 'a'));
  const TokenizerParagraph c = one_paragraph("aa.aa");
  const auto labels = plan.predict_batch({&a, &b, &c});
  ASSERT_EQ(labels.size(), 3u);
  EXPECT_EQ(digits(labels[0]), "0000004");
  EXPECT_EQ(non_zero(labels[1]), (std::map<std::size_t, std::int64_t>{{999, 4}}));
  EXPECT_EQ(digits(labels[2]), "00204");
}

TEST_F(TokenizerNetworkTest, UnitsOutsideTheVocabularyUseTheUnknownId) {
  // <UNK> is embedded like a full stop in this bundle; 'b' is known and is not.
  const TokenizerPlan::Impl& plan = load("windows");
  EXPECT_EQ(digits(plan.predict_paragraph(one_paragraph("aqbxa"))), "02024");
  EXPECT_EQ(digits(plan.predict_paragraph(one_paragraph("a\xC3\xA9" "a"))), "024");
}

TEST_F(TokenizerNetworkTest, PositiveTemperatureGatesTheSecondLevelAndOtherValuesDoNot) {
  const TokenizerParagraph units = one_paragraph("abcab");
  for (std::size_t i = 0; i < std::size(kInvtemps); ++i) {
    const double invtemp = kInvtemps[i];
    SCOPED_TRACE(invtemp);
    const TokenizerPlan::Impl& probe_a = load("gate_a_" + std::to_string(i));
    ASSERT_EQ(probe_a.hier_invtemp, invtemp);
    const std::string expected_a = invtemp > 0.0 ? "00002" : "11112";
    EXPECT_EQ(digits(probe_a.predict_paragraph(units)), expected_a);
    EXPECT_EQ(digits(probe_a.predict_batch({&units}).at(0)), expected_a);
    // Never closed: a negative temperature leaves the gate off, it does not
    // turn it around.
    const TokenizerPlan::Impl& probe_b = load("gate_b_" + std::to_string(i));
    EXPECT_EQ(digits(probe_b.predict_paragraph(units)), "00002");
    EXPECT_EQ(digits(probe_b.predict_batch({&units}).at(0)), "00002");
  }
}

TEST_F(TokenizerNetworkTest, WithoutMwtHeadsNoMwtTensorIsNeeded) {
  const TokenizerPlan::Impl& plan = load("bias_no_mwt_sentence");
  EXPECT_FALSE(plan.tensors.contains("mwt_clf.weight"));
  EXPECT_FALSE(plan.tensors.contains("mwt_clf2.weight"));
  EXPECT_EQ(digits(plan.predict_paragraph(one_paragraph("abc"))), "222");
}

TEST_F(TokenizerNetworkTest, AddressesStayWholeInBothPaths) {
  // Every unit ends a token here, except inside the address.
  const TokenizerPlan::Impl& plan = load("every_token");
  const TokenizerParagraph units = one_paragraph("write to john@example.com now");
  const std::string expected = "111111111" + std::string(15, '0') + "1" + "1112";
  EXPECT_EQ(digits(plan.predict_paragraph(units)), expected);
  EXPECT_EQ(digits(plan.predict_batch({&units}).at(0)), expected);
}

// ---------------------------------------------------------------------------
// The address pass on its own

struct AddressCase {
  const char* name;
  const char* text;
  const char* input;     // labels, one digit per unit; a single digit repeats
  const char* expected;  // one digit per unit
};

const AddressCase kAddressCases[] = {
    {"email_every_unit_a_token", "mail john.doe@example.com now", "1",
     "11111" "0000000000000000000" "1" "1111"},
    {"email_no_token_end", "mail john.doe@example.com now", "0",
     "00000" "0000000000000000000" "1" "0000"},
    {"sentence_end_inside_is_removed_and_at_the_end_survives", "mail john.doe@example.com now",
     "00000" "0000000002000000000" "2" "0000",
     "00000" "0000000000000000000" "2" "0000"},
    {"mwt_end_survives", "mail john.doe@example.com now",
     "00000" "0000000000000000000" "3" "0000",
     "00000" "0000000000000000000" "3" "0000"},
    {"mwt_sentence_end_survives", "mail john.doe@example.com now",
     "00000" "0000000000000000000" "4" "0000",
     "00000" "0000000000000000000" "4" "0000"},
    // Only lowercase local parts: the match starts after the last capital.
    {"capitals_in_local_part", "John.Doe@example.com", "1", "111111" "0000000000000" "1"},
    {"capital_right_before_at_sign", "johN@example.com", "1", "1111111111111111"},
    {"bare_name_with_ending_only", "see example.com today", "1", "111111111111111111111"},
    {"bare_name_with_further_part", "see example.com.au today", "1",
     "1111" "0000000000000" "1" "111111"},
    {"www_address", "go to www.example.org/path now", "1",
     "111111" "0000000000000000000" "1" "1111"},
    {"scheme_address", "https://x.io", "2", "00000000000" "2"},
    // Two matches with no unit between them make one run.
    {"adjacent_matches_join", "john@example.com+x@y.org", "1", "00000000000000000000000" "1"},
    {"quoted_local_part", "Write to \"quoted\"@ex.am.ple", "1",
     "111111111" "00000000000000000" "1"},
    {"no_at_sign_or_full_stop", "hello world", "3", "33333333333"},
    // Multi-byte units before the address.
    {"after_multibyte_unit", "\xC3\xA9 a@b.cd", "1", "11" "00000" "1"},
};

TEST(JoinEmailAndUrlSpans, MatchedRunsBecomeOneToken) {
  for (const AddressCase& c : kAddressCases) {
    SCOPED_TRACE(c.name);
    const TokenizerParagraph units = one_paragraph(c.text);
    const std::string input = c.input;
    Labels labels = input.size() == 1 ? Labels(units.size(), input[0] - '0') : from_digits(input);
    ASSERT_EQ(labels.size(), units.size());
    detail::join_email_and_url_spans(units, labels);
    EXPECT_EQ(digits(labels), c.expected);
  }
}

TEST(JoinEmailAndUrlSpans, RefusesLabelsOfAnotherLength) {
  const TokenizerParagraph units = one_paragraph("a@b.cd");
  for (const std::size_t size : {0u, 5u, 7u}) {
    Labels labels(size, 1);
    EXPECT_THROW_MSG(detail::join_email_and_url_spans(units, labels), TokenizerModelError,
                     "tokenizer labels do not match the paragraph length");
  }
}

TEST(FinalUnitRule, LastLabelAlwaysEndsASentence) {
  const std::pair<std::int64_t, std::int64_t> cases[] = {{0, 2}, {1, 2}, {2, 2}, {3, 4}, {4, 4}};
  for (const auto& [before, after] : cases) {
    Labels labels = {3, 1, before};
    detail::apply_final_unit_rule(labels);
    EXPECT_EQ(labels, (Labels{3, 1, after}));
  }
  Labels empty;
  detail::apply_final_unit_rule(empty);
  EXPECT_TRUE(empty.empty());
}

// ---------------------------------------------------------------------------
// Agreement with the PyTorch reference on random weights

struct RandomBundle {
  const char* name;
  const char* options;
};

// Every dimension a distinct size; the second has a 21-character vocabulary
// (V = 23) so that most units fall back to <UNK>.
const RandomBundle kRandomBundles[] = {
    {"realistic",
     R"({"seed": 11, "scale": 0.5, "config": {"emb_dim": 32, "hidden_dim": 64, "batch_size": 3,
         "hier_invtemp": 0.5}})"},
    {"tiny",
     R"({"seed": 5, "scale": 1.0, "units": ["a","e","h","i","l","n","o","r","s","t"," ",".",",",":","@","A","B","T","W","0","1"],
         "config": {"emb_dim": 7, "hidden_dim": 5, "use_mwt": false, "hier_invtemp": 1.25, "batch_size": 2,
                    "feat_funcs": ["capitalized", "space_before", "start_of_para"]}})"},
    {"all_features",
     R"({"seed": 27, "scale": 0.8, "config": {"emb_dim": 9, "hidden_dim": 4, "hier_invtemp": 0, "batch_size": 4,
         "skip_newline": true, "use_dictionary": true, "num_dict_feat": 2,
         "feat_funcs": ["numeric", "space_before", "capitalized", "start_of_para", "end_of_para",
                        "labeled_field", "phone_id", "date_pattern", "currency"]},
         "lexicon": ["the", "new", "york", "mail", "data", "lorem"]})"},
};

std::string long_paragraph() {
  std::string text;
  const char* sentences[] = {"Lorem ipsum dolor sit amet, consectetur adipiscing elit. ",
                             "Total: $1,200.50 paid on March 5, 2020 to New York. ",
                             "Call (555) 123-4567 or mail data@example.org now! ",
                             "The 12/31/99 report was late; see www.example.com/report?x=1 for more. "};
  for (int i = 0; text.size() < 2600; ++i) text += sentences[i % 4];
  return text;
}

std::vector<std::string> reference_texts() {
  return {
      "The quick brown fox, said Mr. Smith, jumps over 12 lazy dogs. Then it rained!\n"
      "A new line here. Contact: jane@mail.org or https://www.site.com/x?y=1 now.\n\n"
      "Another paragraph (short).",
      long_paragraph(),
      "abc.\n\nxyz.\n\nHi!\n\nabc.\n\n   Lead spaces; and more: 3.14 pi, \xC3\xBC" "ber caf\xC3\xA9 \xE2\x82\xAC" "5.",
      "",
      "Name: Ann Lee\nPhone: 555-123-4567 x1234\n\nDate: January 12, 2021",
  };
}

// Paragraph groups as the bulk entry point forms them.
std::vector<std::vector<std::size_t>> bulk_groups(const std::vector<const TokenizerParagraph*>& flat,
                                                  std::size_t batch_size) {
  std::vector<std::vector<std::size_t>> groups;
  std::vector<std::size_t> pending;
  for (std::size_t i = 0; i < flat.size(); ++i) {
    if (flat[i]->size() > 1000) {
      if (!pending.empty()) groups.push_back(std::exchange(pending, {}));
      groups.push_back({i});
      continue;
    }
    pending.push_back(i);
    if (pending.size() == batch_size) groups.push_back(std::exchange(pending, {}));
  }
  if (!pending.empty()) groups.push_back(pending);
  return groups;
}

class TokenizerReferenceAgreement : public ::testing::TestWithParam<RandomBundle> {};

// The logits are held to float64: see testing::logit_error_bound.
::testing::AssertionResult as_exact_as_the_reference(const std::vector<double>& actual,
                                                     const std::vector<double>& reference,
                                                     const std::vector<double>& exact) {
  if (actual.size() != exact.size() || reference.size() != exact.size()) {
    return ::testing::AssertionFailure() << "sizes differ";
  }
  double ours = 0.0;
  for (std::size_t i = 0; i < exact.size(); ++i) ours = std::max(ours, std::fabs(actual[i] - exact[i]));
  const double bound = testing::logit_error_bound(reference, exact);
  if (ours <= bound) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "largest error " << ours << ", bound " << bound;
}

// The labels of the units that are not too close to call.
std::vector<std::int64_t> decided(const Labels& labels, const testing::ReferenceParagraph& expected) {
  std::vector<std::int64_t> out;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    out.push_back(testing::label_too_close_to_call(expected, i) ? -1 : labels[i]);
  }
  return out;
}

TEST_P(TokenizerReferenceAgreement, SameLogitsAndLabelsInBothPaths) {
  const RandomBundle& bundle = GetParam();
  testing::TempDir scratch;
  const auto bundle_dir = scratch / "bundle";
  testing::write_tokenizer_bundles(scratch.path(), {{bundle_dir, bundle.options}});
  const TokenizerPlan plan(bundle_dir, false);
  const TokenizerPlan::Impl& impl = plan.impl();

  const std::vector<std::string> texts = reference_texts();
  const auto reference = testing::run_reference(bundle_dir, texts, scratch.path());
  ASSERT_EQ(reference.size(), texts.size());

  std::vector<std::vector<TokenizerParagraph>> per_text;
  std::vector<const TokenizerParagraph*> flat;
  std::vector<const testing::ReferenceParagraph*> flat_reference;
  std::map<std::int64_t, int> label_counts;
  std::size_t unit_count = 0, undecided = 0;
  for (std::size_t t = 0; t < texts.size(); ++t) {
    per_text.push_back(paragraphs_of(texts[t], impl.skip_newline));
    ASSERT_EQ(per_text[t].size(), reference[t].paragraphs.size()) << "text " << t;
    for (std::size_t p = 0; p < per_text[t].size(); ++p) {
      SCOPED_TRACE("text " + std::to_string(t) + " paragraph " + std::to_string(p));
      const TokenizerParagraph& units = per_text[t][p];
      const testing::ReferenceParagraph& expected = reference[t].paragraphs[p];
      std::vector<std::uint32_t> offsets;
      for (const auto& unit : units) offsets.push_back(unit.offset);
      ASSERT_EQ(offsets, expected.offsets);

      detail::HeadLogits logits;
      const Labels labels = detail::predict_paragraph_with_logits(impl, units, &logits);
      EXPECT_TRUE(as_exact_as_the_reference(widened(logits), expected.single_logits, expected.exact_logits));
      EXPECT_EQ(decided(labels, expected), decided(expected.single_labels, expected));
      for (std::size_t i = 0; i < labels.size(); ++i) undecided += testing::label_too_close_to_call(expected, i);
      unit_count += labels.size();
      for (const std::int64_t label : labels) ++label_counts[label];
      flat.push_back(&units);
      flat_reference.push_back(&expected);
    }
  }
  // The texts exercise every label the model can produce, and few labels are
  // too close to call.
  EXPECT_EQ(label_counts.size(), impl.use_mwt ? 5u : 3u);
  EXPECT_LE(20 * undecided, unit_count);

  for (const auto& group : bulk_groups(flat, static_cast<std::size_t>(impl.batch_size))) {
    std::vector<const TokenizerParagraph*> batch;
    for (const std::size_t i : group) batch.push_back(flat[i]);
    std::vector<detail::HeadLogits> logits;
    std::vector<Labels> labels;
    if (batch.size() == 1 && batch[0]->size() > 1000) {
      logits.resize(1);
      labels.push_back(detail::predict_paragraph_with_logits(impl, *batch[0], &logits[0]));
    } else {
      labels = detail::predict_batch_with_logits(impl, batch, &logits);
    }
    ASSERT_EQ(labels.size(), group.size());
    for (std::size_t j = 0; j < group.size(); ++j) {
      SCOPED_TRACE("flat paragraph " + std::to_string(group[j]));
      const testing::ReferenceParagraph& expected = *flat_reference[group[j]];
      EXPECT_TRUE(as_exact_as_the_reference(widened(logits[j]), expected.batch_logits, expected.exact_logits));
      EXPECT_EQ(decided(labels[j], expected), decided(expected.batch_labels, expected));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RandomBundles, TokenizerReferenceAgreement, ::testing::ValuesIn(kRandomBundles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lorvane
