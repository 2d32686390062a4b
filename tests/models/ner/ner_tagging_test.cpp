// Tagging with ner bundles: input rows, emission scores and tags against the
// eager PyTorch reference (tests/reference/ner_reference.py) on seeded
// weights, vocabulary ids, CRF decoding and BIOES repair as tables, and the
// write-back into documents, also from several threads.

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <thread>

#include "bundle/json.hpp"
#include "lorvane/document.hpp"
#include "lorvane/ner.hpp"
#include "models/ner/crf.hpp"
#include "models/ner/ner_reference_check.hpp"
#include "models/ner/plan_impl.hpp"
#include "pipeline/pipeline_test_support.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using Strings = std::vector<std::string>;

const char* const kColumns = R"([["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O", "S-MISC", "B-MISC", "E-MISC"],
  ["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O", "S-ORG", "B-ORG", "I-ORG", "E-ORG", "I-GPE", "E-GPE"],
  ["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O", "B-PER", "I-PER", "E-PER", "S-PER", "B-LOC", "I-LOC", "E-LOC", "S-LOC"]])";

// Name and ner_bundle.py options; the first four are compared with the reference.
const std::vector<std::pair<std::string, std::string>> kBundles = {
    {"chain_to_column_2", std::string(R"({"seed": 1, "config": {"num_layers": 2, "input_transform": true,
       "connect_output_layers": true, "predict_tagset": 2}, "tag_columns": )") + kColumns + "}"},
    {"chain_ignored", std::string(R"({"seed": 2, "config": {"connect_output_layers": true, "lowercase": false,
       "char_lowercase": true}, "vocab_extra": {"word": {"lower": true}}, "tag_columns": )") + kColumns + "}"},
    {"all_lowered", R"({"seed": 3, "scale": 1.5, "config": {"char_lowercase": true},
       "vocab_extra": {"word": {"lower": true}, "delta": {"lower": true}}})"},
    {"charlm", R"({"seed": 4, "config": {"charlm": true, "char_lowercase": true, "input_transform": true, "num_layers": 2}})"},
    {"ids", R"({"vocab": {"word": {"<PAD>": 0, "<UNK>": 1, "paris": 2, "new\u00a0york": 3, "the": 4, "john": 5},
       "delta": {"<PAD>": 0, "<UNK>": 1, "paris": 2, "new york": 3, "john": 1, "visited": 4}}})"},
    {"bad_ids", R"({"vocab": {"word": {"<PAD>": 0, "<UNK>": 1, "boom": 1000, "neg": -1, "a": 2, "b": 3},
       "char": {"<PAD>": 0, "<UNK>": 1, "q": 999, "a": 2, "b": 3}}})"},
    {"four_tags", R"({"tag_columns": [["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>"]]})"},
    {"bad_tagger_state", R"({"tensors": {"taggerlstm_h_init": {"dtype": "float32", "shape": [2, 2, 6]}}})"},
    {"bad_char_state", R"({"tensors": {"charmodel.charlstm_c_init": {"dtype": "float32", "shape": [4, 1, 5]}}})"},
};
constexpr std::size_t kCompared = 4;

// Unknown characters (";", U+0301), blanks inside tokens, case variants.
const std::vector<Strings> kSentences = {
    {"John", "lives", "in", "New York", "."},
    {"Paris"},
    {"BERLIN", "\u00e9t\u00e9", "x", ";", "Jo\u0301hn"},
    {"ANN", "visited", "Paris", "JOHN", "Smith", "the", "New  York", "in", "paris", ",", "zz", "Berlin", "NEW YORK",
     "a", "b", "c", "lives", "JOhn", "Smith", "."},
    {"in", "the", "city"},
};

Strings words_of(const std::string& line) {
  Strings out;
  std::istringstream in(line);
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

Document document_of(const std::vector<Strings>& sentences) {
  std::string text;
  for (const Strings& tokens : sentences) {
    for (const std::string& token : tokens) text += token + " ";
  }
  return testing::document_with_words(text, sentences);
}

// "ner|multi_ner" of every token, sentence by sentence.
std::vector<Strings> written_tags(const Document& doc) {
  std::vector<Strings> out;
  for (std::uint64_t s = 0; s < doc.sentences().size(); ++s) {
    const TokenSequence tokens = doc.sentences().at(static_cast<std::int64_t>(s)).tokens();
    out.emplace_back();
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      const Token token = tokens.at(static_cast<std::int64_t>(t));
      std::string multi;
      for (const std::string& tag : token.multi_ner()) multi += "|" + tag;
      out.back().push_back(token.ner().value_or("-") + multi);
    }
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

class NERTaggingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    std::vector<std::pair<std::filesystem::path, std::string>> jobs;
    for (const auto& [name, options] : kBundles) jobs.emplace_back(path(name), options);
    testing::write_generated_bundles("ner_bundle.py", dir_->path(), jobs);
    std::string bundles, sentences;
    for (std::size_t b = 0; b < kCompared; ++b) bundles += (b ? "," : "") + testing::json_quote(path(kBundles[b].first).string());
    for (const Strings& tokens : kSentences) {
      std::string list;
      for (const std::string& token : tokens) list += (list.empty() ? "" : ",") + testing::json_quote(token);
      sentences += (sentences.empty() ? "[" : ",[") + list + "]";
    }
    testing::write_file(dir_->path() / "reference.json", R"({"bundles": [)" + bundles + R"(], "sentences": [)" + sentences + "]}");
    reference_ = new JsonValue(detail::parse_json(testing::run_python(
        {(testing::source_dir() / "tests/reference/ner_reference.py").string(), (dir_->path() / "reference.json").string()})));
  }
  static void TearDownTestSuite() {
    delete reference_;
    delete dir_;
  }
  static std::filesystem::path path(const std::string& name) { return dir_->path() / name; }
  // The reference's result for sentence s with bundle b.
  static const JsonValue& expected(std::size_t b, std::size_t s) {
    return reference_->as_array("")[b].as_array("")[s];
  }
  static testing::TempDir* dir_;
  static JsonValue* reference_;
};

testing::TempDir* NERTaggingTest::dir_ = nullptr;
JsonValue* NERTaggingTest::reference_ = nullptr;

TEST_F(NERTaggingTest, InputsScoresAndTagsEqualTheReference) {
  std::size_t decided = 0;  // sentences whose tags were compared
  for (std::size_t b = 0; b < kCompared; ++b) {
    SCOPED_TRACE(kBundles[b].first);
    const NERPlan::Impl plan(path(kBundles[b].first), false);
    const std::vector<Strings> batched = plan.tag_many(kSentences);
    for (std::size_t s = 0; s < kSentences.size(); ++s) {
      SCOPED_TRACE(s);
      decided += testing::expect_reference_sentence(plan, kSentences[s], expected(b, s), batched[s]);
    }
  }
  EXPECT_GE(10 * decided, 9 * kCompared * kSentences.size());
}

TEST_F(NERTaggingTest, TokensFindTheirIds) {
  const NERPlan::Impl plan(path("ids"), false);
  struct Ids {
    const char* token;
    std::int64_t word, delta;
  };
  // "New York": U+00A0 in the word key, a blank in the delta key; "John": a
  // delta entry with the unknown id counts as absent.
  for (const Ids& c : std::vector<Ids>{{"Paris", 2, 2}, {"New York", 3, 3}, {"New\u00a0York", 3, 0}, {"THE", 4, 0},
                                       {"John", 5, 0}, {"Visited", 1, 4}, {"zzz", 1, 1}, {"", 1, 1}}) {
    SCOPED_TRACE(c.token);
    EXPECT_EQ(plan.token_ids(c.token).word, c.word);
    EXPECT_EQ(plan.token_ids(c.token).delta, c.delta);
  }
  EXPECT_THROW_MSG(plan.tag({"a", ""}), NERModelError, "NER cannot encode an empty token");
  EXPECT_THROW_MSG(plan.tag({"a", "b\xC3"}), std::invalid_argument, "invalid UTF-8 sequence at byte offset 1");
}

// Ids that a vocabulary maps outside its embedding table and initial states
// of the wrong shape are refused when the bundle is opened, with the plan's
// own error; nothing is left to fail at the first sentence.
TEST_F(NERTaggingTest, BrokenIdsAndStatesAreRefusedAtLoad) {
  const auto misfit = [](const char* bundle, const std::string& detail) {
    return "tensor does not fit the model in bundle " + path(bundle).string() + ": " + detail;
  };
  EXPECT_THROW_MSG(NERPlan(path("bad_tagger_state"), false), NERModelError,
                   misfit("bad_tagger_state", "expected float32 [2, 1, 6], got float32 [2, 2, 6]: 'taggerlstm_h_init'"));
  EXPECT_THROW_MSG(
      NERPlan(path("bad_char_state"), false), NERModelError,
      misfit("bad_char_state", "expected float32 [4, 1, 4], got float32 [4, 1, 5]: 'charmodel.charlstm_c_init'"));
  // Of the two words outside the table, the first in byte order is named.
  EXPECT_THROW_MSG(NERPlan(path("bad_ids"), false), NERModelError,
                   "vocabulary id 1000 is outside the 6 rows of 'word_emb.weight' at assets.vocab.word._unit2id.boom");
}

TEST_F(NERTaggingTest, DecodedIdsReadThroughTheColumn) {
  const Strings column = {"<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O", "S-X"};
  EXPECT_EQ(detail::path_tags({0, 1, 2, 3, 4, 5}, column), words_of("O O O O O S-X"));
  const char* kInvalid = "NER CRF produced an invalid tag id";
  EXPECT_THROW_MSG(detail::path_tags({5, 6}, column), NERModelError, kInvalid);
  EXPECT_THROW_MSG(detail::path_tags({-1}, Strings(4, "x")), NERModelError, kInvalid);
  EXPECT_THROW_MSG(NERPlan(path("four_tags"), false).tag({"a"}), NERModelError, kInvalid);
}

TEST(NERCrf, ViterbiFollowsTheBestPathAndTheLowestTag) {
  const float nan = NAN;
  struct Case {
    const char* name;
    std::vector<float> emissions, transitions;  // row-major, K columns
    std::int64_t tags;
    std::vector<std::int64_t> path;
  };
  const std::vector<Case> cases = {
      {"one token, tie to the lowest", {1, 3, 3}, {0, 0, 0, 0, 0, 0, 0, 0, 0}, 3, {1}},
      {"all equal", {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0}, 2, {0, 0, 0}},
      {"final tie to the lowest", {1, 0, 0, 1}, {0, -5, -5, 0}, 2, {0, 0}},
      {"transitions outweigh emissions", {0, 2, 3, 0, 0, 0}, {0, -9, -9, 0}, 2, {0, 0, 0}},
      {"previous tie to the lowest", {1, 1, 0, 0, 0, 5}, {0, 0, 2, 0, 0, 2, 0, 0, 0}, 3, {0, 2}},
      {"a NaN first candidate loses", {nan, 0, 0, 0}, {0, 0, 0, 0}, 2, {1, 0}},
      {"a NaN later candidate loses", {0, 0, 0, 0}, {0, 0, nan, 0}, 2, {0, 0}},
      {"a NaN final score loses", {0, 0, nan, 0}, {0, 0, 0, 0}, 2, {0, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::viterbi_path(at::tensor(c.emissions).view({-1, c.tags}), at::tensor(c.transitions).view({c.tags, c.tags})),
              c.path)
        << c.name;
  }
  const char* kMismatch = "NER CRF tensors have incompatible dimensions";
  for (const auto& [emissions, transitions] : std::vector<std::pair<at::Tensor, at::Tensor>>{
           {at::zeros({2, 3}), at::zeros({3, 2})}, {at::zeros({2, 3}), at::zeros({2, 2})},
           {at::zeros({3}), at::zeros({3, 3})}, {at::zeros({2, 3}), at::zeros({3, 3, 1})},
           {at::zeros({2, 0}), at::zeros({0, 0})}}) {
    EXPECT_THROW_MSG(detail::viterbi_path(emissions, transitions), NERModelError, kMismatch);
  }
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
    Strings tags = words_of(input);
    detail::repair_bioes(tags);
    EXPECT_EQ(tags, words_of(output)) << input;
  }
}

TEST_F(NERTaggingTest, ProcessWritesEveryTokenAndRebuildsTheSpansOnce) {
  const NERPlan plan(path("all_lowered"), false);
  const Document doc = document_of(kSentences);
  Token first = doc.sentences().at(0).tokens().at(0);
  first.set_ner("S-OLD");
  first.set_multi_ner({"a", "b"});
  Document(doc).rebuild_entities();
  ASSERT_EQ(spans(doc), "OLD:John;");

  EXPECT_TRUE(plan.process(doc).same_storage(doc));
  Document rebuilt = document_of(kSentences);
  for (std::size_t s = 0; s < kSentences.size(); ++s) {
    const Strings tags = plan.tag(kSentences[s]);
    for (std::size_t t = 0; t < tags.size(); ++t) {
      EXPECT_EQ(written_tags(doc)[s][t], tags[t] + "|" + tags[t]);
      rebuilt.sentences().at(static_cast<std::int64_t>(s)).tokens().at(static_cast<std::int64_t>(t)).set_ner(tags[t]);
    }
  }
  rebuilt.rebuild_entities();
  EXPECT_EQ(spans(doc), spans(rebuilt));
  EXPECT_NE(spans(doc), "");
  EXPECT_EQ(plan.process(Document("no sentences")).ents().size(), 0u);
}

TEST_F(NERTaggingTest, ThreadsShareOnePlan) {
  const NERPlan plan(path("charlm"), false);
  const std::vector<Strings> expected = written_tags(plan.process(document_of(kSentences)));
  std::vector<Strings> alone;
  for (const Strings& tokens : kSentences) alone.push_back(plan.tag(tokens));
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        failures[t] += written_tags(plan.process(document_of(kSentences))) != expected;
        const std::size_t s = (t + static_cast<std::size_t>(round)) % kSentences.size();
        failures[t] += plan.tag(kSentences[s]) != alone[s];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace lorvane
