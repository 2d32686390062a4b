// The whole default pipeline "tokenize,mwt,pos,lemma,depparse,ner,sentiment,
// constituency" over one generated model directory (written once per build
// directory by tests/fixtures/pipeline_model.py), every bundle loaded with
// checksum verification on: documents at a time and in bulk give the same
// CoNLL-U, eight threads sharing the pipeline give what a sequential run
// gives, and the eager reference of the whole pipeline
// (tests/reference/pipeline_reference.py), reading our CoNLL-U back with the
// `conllu` package, finds the same words, tags, features, lemmas, heads,
// relations, entity tags and spans, sentiment classes and trees in every
// document whose decisions float32 rounding cannot turn.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/pipeline.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using Strings = std::vector<std::string>;

#if defined(__SANITIZE_THREAD__)
constexpr int kSentences = 24;  // ThreadSanitizer runs many times slower
#else
constexpr int kSentences = 200;
#endif
constexpr int kThreads = 8;

const Pipeline& pipeline() {
  static const Pipeline shared("en", {"tokenize", "mwt", "pos", "lemma", "depparse", "ner", "sentiment", "constituency"},
                               "default", std::filesystem::path(LORVANE_PIPELINE_MODEL), "1.10.0", true, {});
  return shared;
}

// English-like documents of 1 to 8 sentences of 5 to 16 words, from the
// model directory's own generator.
const Strings& texts() {
  static const Strings generated = [] {
    const testing::TempDir dir;
    testing::run_python({(testing::source_dir() / "tests/fixtures/pipeline_model.py").string(), "--corpus",
                         (dir / "texts.json").string(), std::to_string(kSentences), "7", "16"});
    const detail::JsonValue root = detail::parse_json(testing::read_file(dir / "texts.json"));
    Strings out;
    for (const detail::JsonValue& text : root.as_array("texts")) out.push_back(text.as_string("texts[]"));
    return out;
  }();
  return generated;
}

template <class Fn>
std::string json_list(std::uint64_t count, Fn&& item) {
  std::string out = "[";
  for (std::uint64_t i = 0; i < count; ++i) out += (i ? ", " : "") + item(static_cast<std::int64_t>(i));
  return out + "]";
}

std::string quoted(const std::optional<std::string>& text) {
  return text ? testing::json_quote(*text) : "null";
}

// Everything the pipeline writes, as one JSON object (the reference's input);
// sentiment classes only on request, since a bulk call batches the
// sentences of all its documents together and a class may depend on the
// padding of its batch.
std::string annotations(const Document& doc, bool with_sentiment = true) {
  const SentenceSequence sentences = doc.sentences();
  std::string out = "{\"text\": " + testing::json_quote(doc.text()) + ", \"conllu\": " +
                    testing::json_quote(doc.to_conll()) + ", \"ner\": ";
  out += json_list(sentences.size(), [&](std::int64_t s) {
    const TokenSequence tokens = sentences.at(s).tokens();
    return json_list(tokens.size(), [&](std::int64_t t) { return quoted(tokens.at(t).ner()); });
  });
  out += ", \"spans\": " + json_list(doc.ents().size(), [&](std::int64_t e) {
    const Span span = doc.ents().at(e);
    return "[" + std::to_string(span.start_char().value_or(0)) + ", " + std::to_string(span.end_char().value_or(0)) +
           ", " + testing::json_quote(span.type()) + ", " + testing::json_quote(span.text()) + "]";
  });
  if (with_sentiment) {
    out += ", \"sentiment\": " + json_list(sentences.size(), [&](std::int64_t s) {
      const std::optional<int> value = sentences.at(s).sentiment();
      return value ? std::to_string(*value) : std::string("null");
    });
  }
  out += ", \"trees\": " + json_list(sentences.size(), [&](std::int64_t s) {
    const std::optional<ConstituencyTree> tree = sentences.at(s).constituency();
    return tree ? testing::json_quote(tree->to_string()) : std::string("null");
  });
  return out + "}";
}

Strings annotate_each(const Strings& all, bool with_sentiment = true) {
  Strings out;
  for (const std::string& text : all) out.push_back(annotations(pipeline().process(text), with_sentiment));
  return out;
}

Strings annotate_bulk(const Strings& all, bool with_sentiment = true) {
  Strings out;
  for (const Document& doc : pipeline().process_bulk(all)) out.push_back(annotations(doc, with_sentiment));
  return out;
}

TEST(FullPipeline, DocumentsAtATimeAgreeWithBulkAndWithTheEagerReference) {
  const Strings each = annotate_each(texts());
  std::uint64_t sentences = 0, words = 0;
  Strings bulk;
  for (const Document& doc : pipeline().process_bulk(texts())) {
    bulk.push_back(annotations(doc, false));
    sentences += doc.sentences().size();
    words += doc.num_words();
  }
  EXPECT_EQ(bulk, annotate_each(texts(), false));

  std::string documents = "[";
  for (const std::string& item : each) documents += (documents.size() > 1 ? ",\n" : "") + item;
  const testing::TempDir dir;
  testing::write_file(dir / "actual.json", documents + "]");
  const std::string printed = testing::run_python({(testing::source_dir() / "tests/reference/pipeline_reference.py").string(),
                                                   "compare", LORVANE_PIPELINE_MODEL, (dir / "actual.json").string()});
  const detail::JsonValue report = detail::parse_json(printed);
  EXPECT_EQ(report.at("documents", "report").as_integer(""), static_cast<std::int64_t>(texts().size()));
  // Documents with a decision too close to call in float32 are left out.
  EXPECT_LE(10 * report.at("too_close", "report").as_integer(""), static_cast<std::int64_t>(texts().size()));
  EXPECT_EQ(report.at("sentences", "report").as_integer(""), static_cast<std::int64_t>(sentences));
  EXPECT_EQ(report.at("words", "report").as_integer(""), static_cast<std::int64_t>(words));
  EXPECT_GE(sentences, static_cast<std::uint64_t>(kSentences));
  EXPECT_GT(words, sentences * 5);
  EXPECT_TRUE(report.at("mismatches", "report").as_array("").empty()) << printed;
}

TEST(FullPipeline, EightThreadsSharingThePipelineGiveTheSequentialResults) {
  const Strings& all = texts();
  const Strings each = annotate_each(all);
  const Strings bulk = annotate_bulk(all);
  std::vector<Strings> each_by_thread(kThreads), bulk_by_thread(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread starts at another document, so that different stages
      // run at the same time; half of them run the bulk call first.
      Strings& mine = each_by_thread[static_cast<std::size_t>(t)];
      mine.resize(all.size());
      if (t % 2 == 1) bulk_by_thread[static_cast<std::size_t>(t)] = annotate_bulk(all);
      for (std::size_t k = 0; k < all.size(); ++k) {
        const std::size_t i = (k + static_cast<std::size_t>(t) * all.size() / kThreads) % all.size();
        mine[i] = annotations(pipeline().process(all[i]));
      }
      if (t % 2 == 0) bulk_by_thread[static_cast<std::size_t>(t)] = annotate_bulk(all);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE("thread " + std::to_string(t));
    EXPECT_EQ(each_by_thread[static_cast<std::size_t>(t)], each);
    EXPECT_EQ(bulk_by_thread[static_cast<std::size_t>(t)], bulk);
  }
}

}  // namespace
}  // namespace lorvane
