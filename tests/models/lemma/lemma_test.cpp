// The lemmatiser on generated bundles: the settings and dictionary it reads
// and its loading errors, the per-word rules, model lemmas against the
// reference, and documents singly and in bulk with the model calls they make.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/lemma.hpp"
#include "models/lemma/assets.hpp"
#include "models/lemma/entry_points.hpp"
#include "models/lemma/plan_impl.hpp"
#include "models/seq2seq/seq2seq_test_support.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using testing::json_string;
using testing::optional_strings_of;
using testing::strings_of;
using OptionalStrings = std::vector<std::optional<std::string>>;
using Strings = std::vector<std::string>;

const char* const kModel = R"("scale": 1.5, "eos_bias": 1.0, "special_bias": -6)";

// Forced bundles write "aaaaaaaaa" (id 4 at every one of the 9 steps), "<UNK>"
// (id 1) or nothing (id 3 first); the edit bundles also force their class.
const std::vector<std::pair<std::string, std::string>> kBundles = {
    {"dict", R"({"dict_only": true})"},
    {"dict_caseless", R"({"dict_only": true, "caseless": true})"},
    {"forced", R"({"output_bias": {"4": 30}})"},
    {"model_only", R"({"ensemble_dict": false, "output_bias": {"4": 30}})"},
    {"edit0", R"({"edit_class": 0, "output_bias": {"4": 30}})"},
    {"edit1", R"({"edit_class": 1, "output_bias": {"4": 30}})"},
    {"edit2", R"({"edit_class": 2, "output_bias": {"4": 30}})"},
    {"edit3", R"({"edit_classes": 4, "edit_class": 3, "output_bias": {"4": 30}})"},
    {"unk", R"({"output_bias": {"1": 30}})"},
    {"empty", R"({"output_bias": {"3": 30}})"},
    {"tagged", std::string(R"({"edit_classes": 3, "model": {"config": {"pos": true, "copy": true}, "seed": 4, )") +
                   kModel + "}}"},
    {"untagged", std::string(R"({"caseless": true, "model": {"config": {"batch_size": 7}, "seed": 6, )") + kModel +
                     "}}"},
    {"beamed", std::string(R"({"caseless": true, "edit_classes": 3, "model": {"config": {"beam_size": 3}, "seed": 5, )") +
                   kModel + "}}"},
    {"wrong_kind", R"({"dict_only": true, "bundle": {"processor": "mwt"}})"},
    {"member_null", R"({"dict_only": true, "pos_dict": {"ADJ": {}, "NOUN": null}})"},
    {"bad_flag", R"({"dict_only": true, "assets_ops": [{"set": "config.ensemble_dict", "value": 1}]})"},
    {"no_pos_dict", R"({"dict_only": true, "assets_ops": [{"delete": "pos_dict"}]})"},
    {"config_null", R"({"top_caseless": true, "assets_ops": [{"set": "config", "value": null}]})"},
};
const char* const kReferenceBundles[] = {"tagged", "untagged", "beamed"};

class LemmaTest : public testing::SuiteDirectoryTest<LemmaTest> {
 public:
  static void populate(const std::filesystem::path& root) {
    std::vector<std::pair<std::filesystem::path, std::string>> jobs;
    for (const auto& [name, options] : kBundles) jobs.emplace_back(root / name, options);
    testing::write_generated_bundles("lemma_bundle.py", root, jobs);
    std::vector<std::string> requests;
    for (const char* name : kReferenceBundles) {
      requests.push_back(R"({"random": 300, "seed": 2, "bundle": )" + json_string((root / name).string()) + "}");
    }
    testing::write_file(root / "request.json", R"({"jobs": )" + testing::json_array(requests) + "}");
    testing::run_python({(testing::source_dir() / "tests" / "reference" / "lemma_reference.py").string(),
                         (root / "request.json").string(), (root / "result.json").string()});
    reference_ = detail::parse_json(testing::read_file(root / "result.json")).at("jobs", "");
  }
  static std::filesystem::path bundle(const std::string& name) { return root_->path() / name; }
  static inline JsonValue reference_;
};

// "<kind>: <message>" of what fn throws (lemma, seq2seq, bundle, logic_error,
// other), or "ok".
template <class Fn>
std::string failure_of(Fn&& fn) {
  try {
    fn();
  } catch (const LemmaModelError& e) {
    return std::string("lemma: ") + e.what();
  } catch (const Seq2SeqModelError& e) {
    return std::string("seq2seq: ") + e.what();
  } catch (const ModelBundleError& e) {
    return std::string("bundle: ") + e.what();
  } catch (const std::logic_error& e) {
    return std::string("logic_error: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "ok";
}

// The lemma that fn returns, or failure_of's description of its exception.
template <class Fn>
std::string lemma_or_failure(Fn&& fn) {
  std::string lemma;
  const std::string failure = failure_of([&] { lemma = fn(); });
  return failure == "ok" ? lemma : failure;
}

// ---------------------------------------------------------------------------
// Assets and loading
// ---------------------------------------------------------------------------

// The settings as "dict_only ensemble_dict pos caseless" digits and the
// dictionary as "POS{word=lemma,...}" in key order, read as the plan reads
// them, or the first JSON error.
std::string read_assets(const std::string& text) {
  try {
    const JsonValue root = detail::parse_json(text);
    LemmaPlan::Impl plan;
    detail::read_lemma_settings(root, plan);
    std::string out;
    for (const bool flag : {plan.dict_only, plan.ensemble_dict, plan.pos, plan.caseless}) out += flag ? "1" : "0";
    std::map<std::string, std::map<std::string, std::string>> sorted;
    for (const auto& [pos, entries] : detail::read_lemma_dictionary(root)) sorted[pos].insert(entries.begin(), entries.end());
    for (const auto& [pos, entries] : sorted) {
      std::string items;
      for (const auto& [word, lemma] : entries) items += (items.empty() ? "" : ",") + word + "=" + lemma;
      out += " " + pos + "{" + items + "}";
    }
    return out;
  } catch (const detail::JsonError& e) {
    return e.what();
  }
}

TEST(LemmaAssets, SettingsAndDictionary) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"config": {"dict_only": true, "ensemble_dict": true, "pos": true, "caseless": true}, "pos_dict": {}})",
       "1111"},
      {R"({"config": {"ensemble_dict": null, "pos": false}, "pos_dict": {}})", "0000"},
      {R"({"config": null, "caseless": true, "pos_dict": {}})", "0001"},
      {R"({"config": 5, "caseless": null, "pos_dict": {}})", "0000"},
      {R"({"config": ["pos"], "pos_dict": {}})", "0000"},
      {R"({"config": {"caseless": true}, "caseless": false, "pos_dict": {}})", "0000"},
      {R"({"config": {"caseless": true}, "caseless": null, "pos_dict": {}})", "0001"},
      {R"({"config": {"caseless": false}, "caseless": true, "pos_dict": {}})", "0001"},
      {R"({"config": {}, "pos_dict": {"NOUN": {"b": "c", "a": null, "": ""}, "ADV": {}, "": {"x": "y"}}})",
       "0000 {x=y} ADV{} NOUN{=,b=c}"},
      {R"({"caseless": true})", "missing JSON key 'config' at assets"},
      {R"({"config": {"dict_only": 1, "pos": 1}})", "expected JSON boolean at assets.config.dict_only"},
      {R"({"config": {"caseless": 1, "pos": "yes"}})", "expected JSON boolean at assets.config.pos"},
      {R"({"config": {"caseless": 1}})", "expected JSON boolean at assets.config.caseless"},
      {R"({"config": {"caseless": 1}, "caseless": "no"})", "expected JSON boolean at assets.caseless"},
      {R"({"config": {}})", "missing JSON key 'pos_dict' at assets"},
      {R"({"config": {}, "pos_dict": null})", "expected JSON object at assets.pos_dict"},
      {R"({"config": {}, "pos_dict": [{"a": "b"}]})", "expected JSON object at assets.pos_dict"},
      {R"({"config": {}, "pos_dict": {"ADJ": {}, "NOUN": null}})", "expected JSON object at assets.pos_dict.NOUN"},
      {R"({"config": {}, "pos_dict": {"NOUN": "cat"}})", "expected JSON object at assets.pos_dict.NOUN"},
      {R"({"config": {}, "pos_dict": {"NOUN": {"a": "b", "c": 1}}})", "expected JSON string at assets.pos_dict.NOUN"},
      {R"({"config": {}, "pos_dict": {"*": {"a": ["b"]}}})", "expected JSON string at assets.pos_dict.*"},
  };
  for (const auto& [assets, expected] : cases) EXPECT_EQ(read_assets(assets), expected) << assets;
}

TEST_F(LemmaTest, LoadingErrorsAndWhatLoads) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"dict", "ok"},
      {"tagged", "ok"},
      {"wrong_kind", "lemma: expected a lemma bundle, got 'mwt'"},
      {"member_null", "lemma: expected JSON object at assets.pos_dict.NOUN"},
      {"bad_flag", "lemma: expected JSON boolean at assets.config.ensemble_dict"},
      {"no_pos_dict", "lemma: missing JSON key 'pos_dict' at assets"},
      // A null "config" is read as all flags false, so the model is loaded,
      // and its own error passes through.
      {"config_null", "seq2seq: expected JSON object at assets.config"},
      {"missing", "bundle: model bundle is not a directory: " + bundle("missing").string()},
  };
  for (const auto& [name, expected] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(failure_of([&] { LemmaPlan(bundle(name), false); }), expected);
  }
  EXPECT_TRUE(LemmaPlan(bundle("tagged"), false).uses_pos());
  EXPECT_FALSE(LemmaPlan(bundle("untagged"), false).uses_pos());
  EXPECT_EQ(LemmaPlan(bundle("dict"), false).bundle().processor(), "lemma");
  // Both read the same "pos" key, so a bundle cannot make them disagree.
  const Seq2SeqPlan tagged(bundle("tagged"), false);
  EXPECT_EQ(failure_of([&] { detail::require_same_pos_setting(true, tagged); }), "ok");
  EXPECT_EQ(failure_of([&] { detail::require_same_pos_setting(false, tagged); }),
            "lemma: lemma config and seq2seq POS settings disagree");
}

// ---------------------------------------------------------------------------
// Per-word rules
// ---------------------------------------------------------------------------

struct WordCase {
  const char* bundle;
  std::string word;
  std::optional<std::string> upos;
  std::string expected;  // the lemma, or "lemma: <message>"
};

TEST_F(LemmaTest, PerWordRules) {
  const std::optional<std::string> none;
  const std::string noun = "NOUN";
  const std::string unknown_edit = "lemma: seq2seq returned an unknown lemma edit class";
  const std::vector<WordCase> cases = {
      {"dict", "cats", noun, "cat"},
      {"dict", "cats", "VERB", "cat-v"},
      {"dict", "ran", none, "run_"},
      {"dict", "ran", "", "run-empty"},
      {"dict", "ran", "ADJ", "run*"},
      {"dict", "ran", "ADV", "run*"},  // ADV has no entries: the "*" level
      {"dict", "mice", noun, "mouse"},
      {"dict", "mice", "VERB", "mouse*"},
      {"dict", "bien", noun, "_"},
      {"dict", "odd", noun, "o<UNK>d"},
      {"dict", "nul", noun, "nul*"},  // a null lemma is no entry
      {"dict", "Cats", noun, "Cats"},
      {"dict", "cats", "noun", "cats"},
      {"dict", "Paris", noun, "Paris"},
      {"dict", "", noun, "_"},
      {"dict_caseless", "Cats", noun, "cat"},
      {"dict_caseless", "RAN", none, "run_"},
      {"dict_caseless", "Paris", noun, "paris"},
      {"dict_caseless", "\u00c9T\u00c9", "X", "\u00e9t\u00e9"},
      {"forced", "cats", noun, "cat"},
      {"forced", "dogs", noun, "aaaaaaaaa"},
      {"forced", "bien", noun, "_"},
      {"model_only", "cats", noun, "aaaaaaaaa"},
      {"edit0", "\u00c9COLE", none, "aaaaaaaaa"},
      {"edit1", "\u00c9COLE", none, "\u00c9COLE"},
      {"edit2", "\u00c9COLE", none, "\u00e9cole"},
      {"edit2", "cats", noun, "cat"},
      {"edit3", "\u00c9COLE", none, unknown_edit},
      {"edit3", "cats", noun, "cat"},
      {"unk", "dogs", none, "dogs"},
      {"empty", "dogs", none, "dogs"},
      {"empty", "", none, "_"},
  };
  std::map<std::string, std::unique_ptr<LemmaPlan::Impl>> plans;
  for (const WordCase& c : cases) {
    SCOPED_TRACE(std::string(c.bundle) + " '" + c.word + "' " + c.upos.value_or("(none)"));
    auto& plan = plans[c.bundle];
    if (!plan) plan = std::make_unique<LemmaPlan::Impl>(bundle(c.bundle), false);
    EXPECT_EQ(lemma_or_failure([&] { return plan->lemmatize(c.word, c.upos); }), c.expected);
    EXPECT_EQ(lemma_or_failure([&] { return plan->lemmatize_many({c.word}, {c.upos}).at(0); }), c.expected);
  }
}

// ---------------------------------------------------------------------------
// Model lemmas and documents
// ---------------------------------------------------------------------------

// Counts the model calls and keeps what the batched ones were given.
class CallLog final : public detail::LemmaModelObserver {
 public:
  void on_predict(const std::string&, const std::string&) override { ++single_calls; }
  void on_predict_many(const Strings& keys, const OptionalStrings& pos_keys) override {
    batches.push_back(keys);
    batch_pos.push_back(pos_keys);
  }
  std::size_t single_calls = 0;
  std::vector<Strings> batches;
  std::vector<OptionalStrings> batch_pos;
};

// Documents over consecutive runs of the words (sizes cycling 1, 7, 40, 0),
// sentences of at most 9 words, every word tagged and with the lemma "old",
// and one empty word with the lemma "keep" after each sentence.
std::vector<Document> documents_of(const Strings& words, const OptionalStrings& upos) {
  std::vector<Document> documents;
  const std::size_t sizes[] = {1, 7, 40, 0};
  for (std::size_t first = 0, d = 0; first < words.size(); ++d) {
    const std::size_t end = std::min(words.size(), first + sizes[d % 4]);
    std::vector<SentenceInput> sentences;
    for (std::size_t i = first; i < end; ++i) {
      if ((i - first) % 9 == 0) sentences.emplace_back();
      TokenInput token;
      token.id_start = token.id_end = static_cast<std::int32_t>(sentences.back().tokens.size() + 1);
      token.text = words[i];
      WordInput word;
      word.id = token.id_start;
      word.text = words[i];
      word.upos = upos[i];
      word.lemma = "old";
      token.words.push_back(std::move(word));
      sentences.back().tokens.push_back(std::move(token));
    }
    for (SentenceInput& sentence : sentences) {
      WordInput empty;
      empty.id = static_cast<std::int32_t>(sentence.tokens.size());
      empty.empty_index = 1;
      empty.text = "e";
      empty.lemma = "keep";
      sentence.empty_words.push_back(std::move(empty));
    }
    documents.emplace_back("", std::move(sentences));
    first = end;
  }
  return documents;
}

// The lemmas of the regular words of all documents, then those of the empty words.
std::pair<Strings, Strings> lemmas_of(const std::vector<Document>& documents) {
  std::pair<Strings, Strings> lemmas;
  for (const Document& document : documents) {
    for (std::uint64_t k = 0; k < document.words().size(); ++k) {
      lemmas.first.push_back(document.words().at(static_cast<std::int64_t>(k)).lemma().value_or("(none)"));
    }
    for (std::uint64_t s = 0; s < document.sentences().size(); ++s) {
      const WordSequence empty = document.sentences().at(static_cast<std::int64_t>(s)).empty_words();
      for (std::uint64_t k = 0; k < empty.size(); ++k) {
        lemmas.second.push_back(empty.at(static_cast<std::int64_t>(k)).lemma().value_or("(none)"));
      }
    }
  }
  return lemmas;
}

// 300 random words per bundle, about half of them dictionary keys: with POS,
// copy and edit classes; caseless in batches of 7; caseless with beam search.
TEST_F(LemmaTest, ModelLemmasAndDocumentsEqualTheReference) {
  for (std::size_t b = 0; b < std::size(kReferenceBundles); ++b) {
    SCOPED_TRACE(kReferenceBundles[b]);
    const JsonValue& expected = reference_.as_array("").at(b);
    const Strings words = strings_of(*expected.find("words"));
    const OptionalStrings upos = optional_strings_of(*expected.find("upos"));
    const LemmaPlan plan(bundle(kReferenceBundles[b]), false);
    const LemmaPlan::Impl impl(bundle(kReferenceBundles[b]), false);
    // The lemmas of the words whose model choices all lead their runner-up
    // by at least twice a log-probability's float32 tolerance per
    // log-probability summed (either side's scores may move that much); the
    // others are too close to call.
    const double tolerance = testing::float32_tolerance(expected.find("float64_gap")->as_number(""));
    std::vector<bool> decided;
    for (const JsonValue& margin : expected.find("margins")->as_array("")) {
      decided.push_back(margin.is_null() || margin.as_number("") >= 2.0 * tolerance);
    }
    const auto kept = [&](const Strings& lemmas) {
      Strings out;
      for (std::size_t i = 0; i < lemmas.size(); ++i) out.push_back(decided.at(i) ? lemmas[i] : "(too close)");
      return out;
    };
    EXPECT_GE(10 * std::count(decided.begin(), decided.end(), true), 9 * static_cast<std::int64_t>(decided.size()));
    const Strings single = kept(strings_of(*expected.find("single")));
    const Strings batched = kept(strings_of(*expected.find("batched")));

    Strings lemmas;
    for (std::size_t i = 0; i < words.size(); ++i) lemmas.push_back(plan.lemmatize(words[i], upos[i]));
    EXPECT_EQ(kept(lemmas), single);
    EXPECT_EQ(kept(impl.lemmatize_many(words, upos)), batched);

    // One batched call for all misses of all documents.
    CallLog bulk_log;
    const std::vector<Document> bulk = detail::lemmatize_documents(impl, documents_of(words, upos), &bulk_log);
    const auto [bulk_lemmas, bulk_empty] = lemmas_of(bulk);
    EXPECT_EQ(kept(bulk_lemmas), batched);
    EXPECT_EQ(bulk_empty, Strings(bulk_empty.size(), "keep"));
    EXPECT_EQ(bulk_log.single_calls, 0u);
    ASSERT_EQ(bulk_log.batches.size(), 1u);
    EXPECT_EQ(bulk_log.batches[0].size(), static_cast<std::size_t>(expected.find("misses")->as_integer("")));
    // The model is never asked with an absent POS: "_" stands for none.
    EXPECT_EQ(std::count(bulk_log.batch_pos[0].begin(), bulk_log.batch_pos[0].end(), std::nullopt), 0);
    EXPECT_GT(std::count(bulk_log.batch_pos[0].begin(), bulk_log.batch_pos[0].end(), "_"), 0);
    EXPECT_EQ(kept(lemmas_of(plan.process_bulk(documents_of(words, upos))).first), batched);

    // One document at a time: one batched call per document with words.
    CallLog log;
    std::vector<Document> documents = documents_of(words, upos);
    std::size_t with_misses = 0;
    for (Document& document : documents) {
      const std::size_t before = log.batches.size();
      document = detail::lemmatize_document(impl, document, &log);
      with_misses += log.batches.size() - before;
      EXPECT_LE(log.batches.size() - before, 1u);
    }
    EXPECT_EQ(log.single_calls, 0u);
    EXPECT_GT(with_misses, documents.size() / 2);
    EXPECT_EQ(kept(lemmas_of(documents).first), batched);
    std::vector<Document> processed = documents_of(words, upos);
    for (const Document& document : processed) plan.process(document);
    EXPECT_EQ(kept(lemmas_of(processed).first), batched);
  }
}

TEST_F(LemmaTest, DocumentEdgeCases) {
  const LemmaPlan::Impl impl(bundle("forced"), false);
  CallLog log;
  EXPECT_TRUE(detail::lemmatize_documents(impl, {}, &log).empty());
  const std::vector<Document> wordless =
      detail::lemmatize_documents(impl, {Document("no words"), Document("")}, &log);
  EXPECT_EQ(wordless.size(), 2u);
  EXPECT_EQ(wordless[0].text(), "no words");
  detail::lemmatize_document(impl, Document("x"), &log);
  // Dictionary hits alone make no call either.
  EXPECT_EQ(lemmas_of(detail::lemmatize_documents(impl, documents_of({"cats", "mice"}, {"NOUN", "NOUN"}), &log)).first,
            (Strings{"cat", "mouse"}));
  EXPECT_TRUE(log.batches.empty());
  EXPECT_EQ(log.single_calls, 0u);
  EXPECT_EQ(failure_of([&] { impl.lemmatize_many({"a", "b"}, {std::nullopt}); }),
            "lemma: lemma word and POS batches must have equal lengths");

  // A failing model call leaves every document of a bulk call unchanged; a
  // single document keeps the lemmas set on the words before the failing one.
  const LemmaPlan failing(bundle("edit3"), false);
  const std::string error = "lemma: seq2seq returned an unknown lemma edit class";
  std::vector<Document> documents = documents_of({"mice", "cats", "dogs", "mice"}, {"NOUN", "NOUN", "NOUN", "VERB"});
  EXPECT_EQ(failure_of([&] { failing.process_bulk(documents); }), error);
  EXPECT_EQ(lemmas_of(documents).first, (Strings{"old", "old", "old", "old"}));
  EXPECT_EQ(failure_of([&] { failing.process(documents[1]); }), error);
  EXPECT_EQ(lemmas_of(documents).first, (Strings{"old", "cat", "old", "old"}));
}

TEST_F(LemmaTest, AMovedFromPlanThrowsLogicError) {
  LemmaPlan plan(bundle("dict"), false);
  LemmaPlan moved(std::move(plan));
  EXPECT_EQ(moved.lemmatize("cats", std::string("NOUN")), "cat");
  const std::string error = "logic_error: the lemma plan has been moved from";
  EXPECT_EQ(failure_of([&] { plan.bundle(); }), error);
  EXPECT_EQ(failure_of([&] { plan.uses_pos(); }), error);
  EXPECT_EQ(failure_of([&] { plan.lemmatize("cats", std::nullopt); }), error);
  EXPECT_EQ(failure_of([&] { plan.process(Document("x")); }), error);
  EXPECT_EQ(failure_of([&] { plan.process_bulk({}); }), error);
  plan = std::move(moved);
  EXPECT_EQ(plan.lemmatize("cats", std::string("NOUN")), "cat");
  EXPECT_EQ(failure_of([&] { moved.uses_pos(); }), error);
}

}  // namespace
}  // namespace lorvane
