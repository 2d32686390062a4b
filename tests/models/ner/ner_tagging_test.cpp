// Tagging with ner bundles: input rows, emission scores and tags against the
// eager PyTorch reference (tests/reference/ner_reference.py) on seeded
// weights, the vocabulary ids, CRF decoding and BIOES repair as tables, and
// the write-back into documents, also from several threads.

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "bundle/json.hpp"
#include "lorvane/document.hpp"
#include "lorvane/ner.hpp"
#include "models/ner/crf.hpp"
#include "models/ner/plan_impl.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using testing::TempDir;
using Strings = std::vector<std::string>;

// The tensors here are tiny: one intra-op thread keeps the program quick next
// to other jobs and keeps threads tagging at once from each starting a team.
class OneIntraOpThread final : public ::testing::Environment {
 public:
  void SetUp() override { at::set_num_threads(1); }
};

[[maybe_unused]] ::testing::Environment* const one_intra_op_thread =
    ::testing::AddGlobalTestEnvironment(new OneIntraOpThread);

constexpr const char* kThreeColumns =
    R"([["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O", "S-MISC", "B-MISC", "E-MISC"],
        ["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O", "S-ORG", "B-ORG", "I-ORG", "E-ORG", "I-GPE", "E-GPE"],
        ["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O", "B-PER", "I-PER", "E-PER", "S-PER", "B-LOC", "I-LOC", "E-LOC", "S-LOC"]])";

struct Bundle {
  std::string name;
  std::string options;
};

const std::vector<Bundle> kCompared = {
    {"chain_to_column_2", std::string(R"({"seed": 1, "config": {"num_layers": 2, "input_transform": true, "connect_output_layers": true, "predict_tagset": 2}, "tag_columns": )") + kThreeColumns + "}"},
    {"chain_ignored", std::string(R"({"seed": 2, "config": {"connect_output_layers": true, "lowercase": false, "char_lowercase": true}, "vocab_extra": {"word": {"lower": true}}, "tag_columns": )") + kThreeColumns + "}"},
    {"all_lowered", R"({"seed": 3, "scale": 1.5, "config": {"char_lowercase": true}, "vocab_extra": {"word": {"lower": true}, "delta": {"lower": true}}})"},
    {"charlm", R"({"seed": 4, "config": {"charlm": true, "char_lowercase": true, "input_transform": true, "num_layers": 2}})"},
};

const std::vector<Bundle> kOthers = {
    {"ids", R"({"vocab": {"word": {"<PAD>": 0, "<UNK>": 1, "paris": 2, "new\u00a0york": 3, "the": 4, "john": 5},
                          "delta": {"<PAD>": 0, "<UNK>": 1, "paris": 2, "new york": 3, "john": 1, "visited": 4}}})"},
    {"bad_ids", R"({"vocab": {"word": {"<PAD>": 0, "<UNK>": 1, "boom": 1000, "neg": -1, "a": 2, "b": 3},
                              "char": {"<PAD>": 0, "<UNK>": 1, "q": 999, "a": 2, "b": 3}}})"},
    {"four_tags", R"({"tag_columns": [["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>"]]})"},
};

const std::vector<Strings> kSentences = {
    {"John", "lives", "in", "New York", "."},
    {"Paris"},
    {"BERLIN", "\u00e9t\u00e9", "x", ";", "Jo\u0301hn"},
    {"ANN", "visited", "Paris", "JOHN", "Smith", "the", "New  York", "in", "paris", ",", "zz", "Berlin", "NEW YORK",
     "a", "b", "c", "lives", "JOhn", "Smith", "."},
    {"in", "the", "city"},
};

class NERTaggingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    std::vector<std::pair<std::filesystem::path, std::string>> jobs;
    for (const auto* list : {&kCompared, &kOthers}) {
      for (const Bundle& b : *list) jobs.emplace_back(path(b.name), b.options);
    }
    testing::write_generated_bundles("ner_bundle.py", dir_->path(), jobs);
    std::string request = "[";
    for (const Bundle& b : kCompared) {
      request += std::string(request.size() > 1 ? "," : "") + R"({"bundle": )" + testing::json_quote(path(b.name).string()) +
                 R"(, "sentences": [)";
      for (std::size_t s = 0; s < kSentences.size(); ++s) {
        request += s > 0 ? ",[" : "[";
        for (std::size_t t = 0; t < kSentences[s].size(); ++t) request += (t > 0 ? "," : "") + testing::json_quote(kSentences[s][t]);
        request += "]";
      }
      request += "]}";
    }
    testing::write_file(dir_->path() / "reference.json", request + "]");
    reference_ = new detail::JsonValue(detail::parse_json(testing::run_python(
        {(testing::source_dir() / "tests/reference/ner_reference.py").string(), (dir_->path() / "reference.json").string()})));
  }
  static void TearDownTestSuite() {
    delete reference_;
    delete dir_;
  }
  static std::filesystem::path path(const std::string& name) { return dir_->path() / name; }
  // The reference's result for sentence s of compared bundle b.
  static const detail::JsonValue& expected(std::size_t b, std::size_t s) {
    return reference_->as_array("")[b].at("results", "").as_array("")[s];
  }
  static TempDir* dir_;
  static detail::JsonValue* reference_;
};

TempDir* NERTaggingTest::dir_ = nullptr;
detail::JsonValue* NERTaggingTest::reference_ = nullptr;

std::vector<double> values(const at::Tensor& tensor) {
  const at::Tensor flat = tensor.to(at::kDouble).contiguous().view(-1);
  return {flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel()};
}

std::vector<double> values(const detail::JsonValue& rows) {
  std::vector<double> out;
  for (const detail::JsonValue& row : rows.as_array("")) {
    for (const detail::JsonValue& v : row.as_array("")) out.push_back(v.as_number(""));
  }
  return out;
}

Strings strings(const detail::JsonValue& list) {
  Strings out;
  for (const detail::JsonValue& v : list.as_array("")) out.push_back(v.as_string(""));
  return out;
}

// A document whose sentences hold these tokens, one word per token.
Document document_of(const std::vector<Strings>& sentences) {
  std::string text;
  std::vector<SentenceInput> inputs;
  for (const Strings& tokens : sentences) {
    SentenceInput sentence;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      TokenInput token;
      token.id_start = token.id_end = static_cast<std::int32_t>(i + 1);
      token.text = tokens[i];
      WordInput word;
      word.id = token.id_start;
      word.text = tokens[i];
      token.words.push_back(word);
      sentence.tokens.push_back(token);
      text += tokens[i] + " ";
    }
    inputs.push_back(sentence);
  }
  return Document(text, std::move(inputs));
}

TEST_F(NERTaggingTest, InputsScoresAndTagsEqualTheReference) {
  for (std::size_t b = 0; b < kCompared.size(); ++b) {
    SCOPED_TRACE(kCompared[b].name);
    const NERPlan::Impl plan(path(kCompared[b].name), false);
    const std::vector<Strings> batched = plan.tag_many(kSentences);
    for (std::size_t s = 0; s < kSentences.size(); ++s) {
      SCOPED_TRACE(s);
      const detail::JsonValue& want = expected(b, s);
      c10::InferenceMode guard;
      const at::Tensor inputs = plan.sentence_inputs(kSentences[s]);
      EXPECT_EQ(inputs.sizes(), (std::vector<std::int64_t>{1, static_cast<std::int64_t>(kSentences[s].size()), plan.input_width()}));
      EXPECT_TRUE(testing::all_close(values(inputs), values(want.at("inputs", "")), 1e-5, 1e-5));
      const at::Tensor scores = plan.emission_scores(inputs[0], {inputs.size(1)});
      EXPECT_TRUE(testing::all_close(values(scores), values(want.at("scores", "")), 1e-5, 1e-5));
      EXPECT_EQ(plan.tag(kSentences[s]), strings(want.at("tags", "")));
      EXPECT_EQ(batched[s], strings(want.at("tags", "")));
    }
  }
}

TEST_F(NERTaggingTest, TokensFindTheirWordAndDeltaIds) {
  const NERPlan::Impl plan(path("ids"), false);
  struct Ids {
    const char* token;
    std::int64_t word, delta;
  };
  for (const Ids& c : std::vector<Ids>{{"Paris", 2, 2},
                                       {"New York", 3, 3},    // U+00A0 in the word key, a blank in the delta key
                                       {"New\u00a0York", 3, 0},
                                       {"THE", 4, 0},         // a known word without delta entry
                                       {"John", 5, 0},        // a delta entry with the unknown id
                                       {"Visited", 1, 4},
                                       {"zzz", 1, 1},
                                       {"", 1, 1}}) {
    SCOPED_TRACE(c.token);
    const NERPlan::Impl::TokenIds ids = plan.token_ids(c.token);
    EXPECT_EQ(ids.word, c.word);
    EXPECT_EQ(ids.delta, c.delta);
  }
  EXPECT_THROW_MSG(plan.tag({"a", ""}), NERModelError, "NER cannot encode an empty token");
  EXPECT_THROW_MSG(plan.tag({"a", "b\xC3"}), std::invalid_argument, "invalid UTF-8 sequence at byte offset 1");
}

// Ids that a vocabulary maps outside its embedding table are refused by the
// look-up, never read out of bounds.
TEST_F(NERTaggingTest, OutOfRangeIdsThrowInsteadOfCrashing) {
  const NERPlan plan(path("bad_ids"), false);
  for (const Strings& tokens : std::vector<Strings>{{"a", "boom"}, {"neg"}, {"aqb"}}) {
    SCOPED_TRACE(tokens.back());
    EXPECT_THROW(plan.tag(tokens), std::exception);
  }
  // The failing sentence leaves the ones before it tagged, and no spans.
  const Document doc = document_of({{"a", "b"}, {"boom"}});
  EXPECT_THROW(plan.process(doc), std::exception);
  EXPECT_EQ(doc.sentences().at(0).tokens().at(1).ner(), plan.tag({"a", "b"}).at(1));
  EXPECT_FALSE(doc.sentences().at(1).tokens().at(0).ner().has_value());
}

TEST_F(NERTaggingTest, DecodedIdsMapThroughTheColumn) {
  const Strings column = {"<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O", "S-X"};
  EXPECT_EQ(detail::path_tags({0, 1, 2, 3, 4, 5}, column), (Strings{"O", "O", "O", "O", "O", "S-X"}));
  EXPECT_THROW_MSG(detail::path_tags({5, 6}, column), NERModelError, "NER CRF produced an invalid tag id");
  EXPECT_THROW_MSG(detail::path_tags({-1}, Strings(4, "x")), NERModelError, "NER CRF produced an invalid tag id");
  const NERPlan plan(path("four_tags"), false);
  EXPECT_THROW_MSG(plan.tag({"a"}), NERModelError, "NER CRF produced an invalid tag id");
}

TEST(NERCrf, ViterbiFollowsTheBestPathAndTheLowestTag) {
  const float nan = NAN;
  struct Case {
    const char* name;
    std::vector<std::vector<float>> emissions, transitions;
    std::vector<std::int64_t> path;
  };
  const std::vector<Case> cases = {
      {"one token, tie to the lowest", {{1, 3, 3}}, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, {1}},
      {"all equal", {{0, 0}, {0, 0}, {0, 0}}, {{0, 0}, {0, 0}}, {0, 0, 0}},
      {"final tie to the lowest", {{1, 0}, {0, 1}}, {{0, -5}, {-5, 0}}, {0, 0}},
      {"transitions win over emissions", {{0, 2}, {3, 0}, {0, 0}}, {{0, -9}, {-9, 0}}, {0, 0, 0}},
      {"previous tie to the lowest", {{1, 1, 0}, {0, 0, 5}}, {{0, 0, 2}, {0, 0, 2}, {0, 0, 0}}, {0, 2}},
      {"NaN first candidate loses", {{nan, 0}, {0, 0}}, {{0, 0}, {0, 0}}, {1, 0}},
      {"NaN later candidate loses", {{0, 0}, {0, 0}}, {{0, 0}, {nan, 0}}, {0, 0}},
      {"NaN final score loses", {{0, 0}, {nan, 0}}, {{0, 0}, {0, 0}}, {0, 1}},
  };
  const auto tensor = [](const std::vector<std::vector<float>>& rows) {
    std::vector<float> flat;
    for (const auto& row : rows) flat.insert(flat.end(), row.begin(), row.end());
    return at::tensor(flat).view({static_cast<std::int64_t>(rows.size()), -1});
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(detail::viterbi_path(tensor(c.emissions), tensor(c.transitions)), c.path);
  }
  const char* kMismatch = "NER CRF tensors have incompatible dimensions";
  EXPECT_THROW_MSG(detail::viterbi_path(at::zeros({2, 3}), at::zeros({3, 2})), NERModelError, kMismatch);
  EXPECT_THROW_MSG(detail::viterbi_path(at::zeros({2, 3}), at::zeros({2, 2})), NERModelError, kMismatch);
  EXPECT_THROW_MSG(detail::viterbi_path(at::zeros({3}), at::zeros({3, 3})), NERModelError, kMismatch);
  EXPECT_THROW_MSG(detail::viterbi_path(at::zeros({2, 3}), at::zeros({3, 3, 1})), NERModelError, kMismatch);
  EXPECT_THROW_MSG(detail::viterbi_path(at::zeros({2, 0}), at::zeros({0, 0})), NERModelError, kMismatch);
  EXPECT_EQ(detail::viterbi_path(at::zeros({2, 2}, at::kDouble), at::eye(2, at::kDouble)), (std::vector<std::int64_t>{0, 0}));
}

TEST(NERCrf, RepairMakesWellFormedBioes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"I-PER", "S-PER"},
      {"B-PER", "S-PER"},
      {"E-PER", "S-PER"},
      {"I-LOC I-LOC I-LOC", "B-LOC I-LOC E-LOC"},
      {"B-ORG I-ORG", "B-ORG E-ORG"},
      {"O E-MISC", "O S-MISC"},
      {"B-PER I-LOC", "S-PER S-LOC"},
      {"S-PER I-PER", "S-PER S-PER"},
      {"B-ORG E-MISC", "S-ORG S-MISC"},
      {"B-X I-X E-X O S-Y", "B-X I-X E-X O S-Y"},
      {"I-X E-X", "B-X E-X"},
      {"B-X I-X I-Y E-Y", "B-X E-X B-Y E-Y"},
      {"I- I-", "B- E-"},
      {"O I x I-", "O I x S-"},
      {"S-A S- B-", "S-A S- S-"},
  };
  for (const auto& [input, output] : cases) {
    SCOPED_TRACE(input);
    Strings tags, want;
    std::istringstream in(input), out(output);
    for (std::string t; in >> t;) tags.push_back(t);
    for (std::string t; out >> t;) want.push_back(t);
    detail::repair_bioes(tags);
    EXPECT_EQ(tags, want);
  }
}

std::vector<Strings> document_tags(const Document& doc, bool multi) {
  std::vector<Strings> out;
  for (std::uint64_t s = 0; s < doc.sentences().size(); ++s) {
    const TokenSequence tokens = doc.sentences().at(static_cast<std::int64_t>(s)).tokens();
    Strings tags;
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      const Token token = tokens.at(static_cast<std::int64_t>(t));
      if (multi) {
        const Strings list = token.multi_ner();
        tags.push_back(list.size() == 1 ? list[0] : "<list of " + std::to_string(list.size()) + ">");
      } else {
        tags.push_back(token.ner().value_or("<none>"));
      }
    }
    out.push_back(tags);
  }
  return out;
}

std::string spans(const Document& doc) {
  std::string out;
  for (std::uint64_t i = 0; i < doc.ents().size(); ++i) {
    const Span span = doc.ents().at(static_cast<std::int64_t>(i));
    out += span.type() + ":" + span.text() + ";";
  }
  return out;
}

TEST_F(NERTaggingTest, ProcessWritesEveryTokenAndRebuildsTheSpans) {
  const NERPlan plan(path("all_lowered"), false);
  const Document doc = document_of(kSentences);
  // Tags of an earlier run and their spans are replaced.
  Token first = doc.sentences().at(0).tokens().at(0);
  first.set_ner("S-OLD");
  first.set_multi_ner({"a", "b"});
  Document(doc).rebuild_entities();
  ASSERT_EQ(spans(doc), "OLD:John;");
  const Document tagged = plan.process(doc);
  EXPECT_TRUE(tagged.same_storage(doc));
  std::vector<Strings> expected;
  for (std::size_t s = 0; s < kSentences.size(); ++s) expected.push_back(strings(NERTaggingTest::expected(2, s).at("tags", "")));
  EXPECT_EQ(document_tags(tagged, false), expected);
  EXPECT_EQ(document_tags(tagged, true), expected);

  // The spans are what the written tags make.
  Document rebuilt = document_of(kSentences);
  for (std::size_t s = 0; s < expected.size(); ++s) {
    for (std::size_t t = 0; t < expected[s].size(); ++t) {
      rebuilt.sentences().at(static_cast<std::int64_t>(s)).tokens().at(static_cast<std::int64_t>(t)).set_ner(expected[s][t]);
    }
  }
  rebuilt.rebuild_entities();
  EXPECT_EQ(spans(tagged), spans(rebuilt));
  EXPECT_NE(spans(tagged).find(':'), std::string::npos);

  EXPECT_EQ(plan.process(Document("no sentences")).ents().size(), 0u);
}

TEST_F(NERTaggingTest, ThreadsShareOnePlan) {
  const NERPlan plan(path("chain_to_column_2"), false);
  std::vector<Strings> expected;
  for (const Strings& s : kSentences) expected.push_back(plan.tag(s));
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        const std::size_t s = static_cast<std::size_t>(t + round) % kSentences.size();
        if (plan.tag(kSentences[s]) != expected[s]) ++failures[static_cast<std::size_t>(t)];
        if (document_tags(plan.process(document_of(kSentences)), false) != expected) ++failures[static_cast<std::size_t>(t)];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace lorvane
