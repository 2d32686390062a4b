// The first stage end to end: a model directory with the demo tokenize bundle
// (hand-set weights that split on whitespace and punctuation and end
// sentences at ". ! ?"), and a bundle with seeded random weights whose
// results must match the plan's own.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

#include "lorvane/bundle.hpp"
#include "lorvane/pipeline.hpp"
#include "lorvane/tokenizer.hpp"
#include "pipeline/pipeline_test_support.hpp"
#include "pipeline/processor_access.hpp"
#include "pipeline/stage_factory.hpp"
#include "support/test_support.hpp"
#include "tokenizer/tokenizer_inference_support.hpp"

namespace lorvane {
namespace {

using testing::bundle_dir;
using testing::models_dir;
using testing::token_layout;
using Strings = std::vector<std::string>;

Pipeline demo_pipeline(Strings names = {"tokenize"}) {
  return Pipeline("en", std::move(names), "default", models_dir(), "1.10.0", false, {});
}

struct LayoutCase {
  std::string text;
  std::string layout;
};

// What the demo weights are built to do.
const std::vector<LayoutCase>& demo_cases() {
  static const std::vector<LayoutCase> cases = {
      {"Hello, world. This is a test!",
       "Hello@0-5 ,@5-6 world@7-12 .@12-13 | This@14-18 is@19-21 a@22-23 test@24-28 !@28-29"},
      {"Pi is 3.14, not 1,000 (really).",
       "Pi@0-2 is@3-5 3.14@6-10 ,@10-11 not@12-15 1,000@16-21 (@22-23 really@23-29 )@29-30 .@30-31"},
      {"One.\n\nTwo? Yes", "One@0-3 .@3-4 | Two@6-9 ?@9-10 | Yes@11-14"},
      {"  Gr\u00fc\u00dfe,   K\u00f6ln.", "Gr\u00fc\u00dfe@2-7 ,@7-8 K\u00f6ln@11-15 .@15-16"},
      {"Wait... what?! Ok", "Wait@0-4 .@4-5 .@5-6 .@6-7 | what@8-12 ?@12-13 !@13-14 | Ok@15-17"},
      {"", ""},
      {" \n\n ", ""},
  };
  return cases;
}

TEST(TokenizePipeline, TheDemoModelSplitsTokensAndSentences) {
  const Pipeline pipeline = demo_pipeline();
  ASSERT_EQ(pipeline.processors().size(), 1u);
  const auto& stage = dynamic_cast<const TokenizeProcessor&>(*pipeline.processors()[0]);
  EXPECT_TRUE(stage.implemented());
  EXPECT_EQ(stage.bundle_path(),
            std::filesystem::absolute(models_dir()) / "1.10.0" / "en" / "tokenize" / "demo");
  for (const LayoutCase& c : demo_cases()) {
    SCOPED_TRACE(c.text);
    const Document doc = pipeline.process(c.text);
    EXPECT_EQ(doc.text(), c.text);
    EXPECT_EQ(token_layout(doc), c.layout);
    EXPECT_EQ(doc.lang(), "en");  // the bundle's language
  }
}

// A sample text of tokens, numbers, brackets and paragraphs, sentence by sentence.
TEST(TokenizePipeline, TheDemoSampleReadsSensibly) {
  const Document doc = demo_pipeline().process(
      "Lorvane runs a tokenizer on the CPU. It splits text into sentences, tokens and words! "
      "Numbers such as 3.14 and 1,000 stay whole, and (brackets) are split off.\n\n"
      "A blank line starts a new paragraph. Does it work?");
  const Strings expected = {
      "Lorvane runs a tokenizer on the CPU .",
      "It splits text into sentences , tokens and words !",
      "Numbers such as 3.14 and 1,000 stay whole , and ( brackets ) are split off .",
      "A blank line starts a new paragraph .",
      "Does it work ?",
  };
  const SentenceSequence sentences = doc.sentences();
  ASSERT_EQ(sentences.size(), expected.size());
  for (std::size_t s = 0; s < expected.size(); ++s) {
    const TokenSequence tokens = sentences.at(static_cast<std::int64_t>(s)).tokens();
    std::string joined;
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      joined += (t == 0 ? "" : " ") + tokens.at(static_cast<std::int64_t>(t)).text();
    }
    EXPECT_EQ(joined, expected[s]);
  }
  EXPECT_EQ(sentences.at(2).tokens().at(-1).spaces_after(), "\n\n");  // the paragraph break
}

// The demo weights run through the library's network give the labels that
// PyTorch's own LSTM gives for them (tests/fixtures/demo_model.py --labels).
TEST(TokenizePipeline, TheDemoLabelsAgreeWithPyTorch) {
  const TokenizeProcessor stage(
      std::filesystem::absolute(models_dir()) / "1.10.0" / "en" / "tokenize" / "demo", false);
  const Strings texts = {"Hello, world. This is a test!", "Pi is 3.14, not 1,000 (really).",
                         "Wait... what?! Ok", "Gr\u00fc\u00dfe, K\u00f6ln.", "x"};
  Strings args = {(testing::source_dir() / "tests" / "fixtures" / "demo_model.py").string(), "--labels"};
  args.insert(args.end(), texts.begin(), texts.end());
  std::istringstream lines(testing::run_python(args));
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    std::vector<std::int64_t> expected;
    std::istringstream in(line);
    for (std::int64_t label; in >> label;) expected.push_back(label);
    EXPECT_EQ(stage.predict_labels(text), expected);
  }
}

// Words of ordinary text joined by spaces until the text holds `length`
// characters, with `stop` after every `every`-th word (none when every is 0).
std::string running_text(std::size_t length, std::size_t every = 0, const std::string& stop = ".") {
  static const char* const kWords[] = {"the",   "house", "market", "garden", "river",  "window",
                                       "street", "morning", "letter", "music", "quiet", "table"};
  std::string text;
  for (std::size_t i = 1; text.size() < length; ++i) {
    text += (text.empty() ? "" : " ") + std::string(kWords[(i * 7 + i / 5) % std::size(kWords)]);
    if (every != 0 && i % every == 0) text += stop;
  }
  return text.substr(0, length);
}

Strings token_texts(const Document& document) {
  Strings texts;
  const SentenceSequence sentences = document.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    const TokenSequence tokens = sentences.at(static_cast<std::int64_t>(s)).tokens();
    for (std::uint64_t t = 0; t < tokens.size(); ++t) texts.push_back(tokens.at(static_cast<std::int64_t>(t)).text());
  }
  return texts;
}

// Over 1000 units the tokenizer runs in windows; a window without a sentence
// end is cut back after its last token end, so no word is split at its edge.
TEST(TokenizePipeline, AnUnpunctuatedParagraphGivesTheTokensOfShortParagraphs) {
  const std::string text = running_text(5000);
  std::string short_paragraphs;
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t end = std::min(text.size(), begin + 900);
    if (end < text.size()) end = text.rfind(' ', end);
    short_paragraphs += (begin == 0 ? "" : "\n\n") + text.substr(begin, end - begin);
    begin = end + 1;
  }
  const Pipeline pipeline = demo_pipeline();
  const Strings tokens = token_texts(pipeline.process(text));
  EXPECT_EQ(tokens, token_texts(pipeline.process(short_paragraphs)));
  EXPECT_EQ(tokens.size(), static_cast<std::size_t>(std::count(text.begin(), text.end(), ' ')) + 1);
}

// Where every window holds a sentence end, the windows are cut back after it
// exactly as before token-end cuts existed: the labels are the reference's
// under that earlier rule as well as under the current one.
TEST(TokenizePipeline, SentenceEndsInEveryWindowKeepTheirLabels) {
  const auto bundle = std::filesystem::absolute(models_dir()) / "1.10.0" / "en" / "tokenize" / "demo";
  const TokenizeProcessor stage(bundle, false);
  const Strings texts = {running_text(5000, 9), running_text(4000, 110, "!"), running_text(3000, 23, "?")};
  testing::TempDir scratch;
  const auto reference = testing::run_reference(bundle, texts, scratch.path(), std::nullopt, true);
  ASSERT_EQ(reference.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(reference[i].paragraphs.size(), 1u);
    const std::vector<std::int64_t> labels = stage.predict_labels(texts[i]);
    EXPECT_EQ(labels, reference[i].paragraphs[0].sentence_cut_labels);
    EXPECT_EQ(labels, reference[i].paragraphs[0].single_labels);
  }
}

// The script's token view pairs each label with its own unit, also where runs
// of whitespace collapse into one unit, and agrees with the library.
TEST(TokenizePipeline, TheDemoScriptShowsTheTokensTheLibraryFinds) {
  const std::string text = "Hi,   you.  Bye now!";
  const std::string shown = testing::run_python(
      {(testing::source_dir() / "tests" / "fixtures" / "demo_model.py").string(), "--check", text});
  EXPECT_EQ(shown, "Hi , you .<S> Bye now !<S>\n");
  EXPECT_EQ(token_layout(demo_pipeline().process(text)), "Hi@0-2 ,@2-3 you@6-9 .@9-10 | Bye@12-15 now@16-19 !@19-20");
}

TEST(TokenizePipeline, TheDemoModelWritesCoNLLU) {
  const Document doc = demo_pipeline().process("Hi, you. Bye!");
  const std::string conll = doc.to_conll();
  const std::string expected_start = "# sent_id = 0\n# text = Hi, you.\n1\tHi\t";
  EXPECT_EQ(conll.substr(0, expected_start.size()), expected_start);
  EXPECT_NE(conll.find("\n\n# sent_id = 1\n# text = Bye!\n1\tBye\t"), std::string::npos) << conll;
  EXPECT_NE(conll.find("\n3\tyou\t"), std::string::npos) << conll;
}

TEST(TokenizePipeline, BulkGivesTheSameDocumentsInOrder) {
  const Pipeline pipeline = demo_pipeline();
  Strings texts;
  for (const LayoutCase& c : demo_cases()) texts.push_back(c.text);
  const std::vector<Document> docs = pipeline.process_bulk(texts);
  ASSERT_EQ(docs.size(), texts.size());
  for (std::size_t i = 0; i < docs.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    EXPECT_EQ(token_layout(docs[i]), demo_cases()[i].layout);
    EXPECT_EQ(docs[i].to_conll(), pipeline.process(texts[i]).to_conll());
  }
  EXPECT_TRUE(pipeline.process_bulk(Strings{}).empty());
}

TEST(TokenizePipeline, TheStageReturnsTheDocumentTheTokenizerBuilds) {
  const TokenizeProcessor stage(bundle_dir("tokenize"), false);
  const TokenizerPlan plan(bundle_dir("tokenize"), false);
  EXPECT_EQ(stage.bundle_path(), plan.bundle().path());
  const std::string text = "Random weights give some split.\n\nOf this text, anyway.";
  const Document input(text);
  const Document out = stage.process(input);
  EXPECT_FALSE(out.same_storage(input));
  EXPECT_EQ(input.sentences().size(), 0u);  // the input is read, not changed
  EXPECT_EQ(out.to_conll(), plan.process(Document(text)).to_conll());
  EXPECT_EQ(token_layout(out), token_layout(plan.process(Document(text))));
  EXPECT_EQ(stage.predict_labels("one paragraph"), plan.predict_labels("one paragraph"));

  // Handles moved in are released when the call returns.
  std::weak_ptr<DocumentStorage> watched;
  const Document result = stage.process([&] {
    Document doc(text);
    watched = doc.storage();
    return doc;
  }());
  EXPECT_TRUE(watched.expired());
  const std::vector<Document> results = stage.process_bulk([&] {
    std::vector<Document> batch = {Document(text)};
    watched = batch[0].storage();
    return batch;
  }());
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(results[0].to_conll(), result.to_conll());

  const std::vector<Document> bulk = stage.process_bulk({Document(text), Document("Short.")});
  const std::vector<Document> direct = plan.process_bulk({Document(text), Document("Short.")});
  ASSERT_EQ(bulk.size(), 2u);
  EXPECT_EQ(bulk[0].to_conll(), direct[0].to_conll());
  EXPECT_EQ(bulk[1].to_conll(), direct[1].to_conll());
}

TEST(TokenizePipeline, PlanErrorsReachTheCaller) {
  const TokenizeProcessor stage(bundle_dir("tokenize"), false);
  EXPECT_THROW_MSG(stage.predict_labels("a\n\nb"), TokenizerModelError,
                   "predict_labels expects text containing one tokenizer paragraph");
}

// A factory whose "pos" stage watches, and whose "tokenize" stage is the real
// loaded one wrapped in a watcher: the pipeline's own loop is observed.
class TokenizeThenWatchFactory final : public detail::StageFactory {
 public:
  explicit TokenizeThenWatchFactory(std::shared_ptr<testing::EventLog> log) : log_(std::move(log)) {}
  std::shared_ptr<Processor> make_loaded(const std::string& name, std::filesystem::path dir, bool verify,
                                         const Strings& subset) const override {
    const std::shared_ptr<Processor> described = make_processor(name);
    std::shared_ptr<Processor> inner;
    if (name == "tokenize") inner = detail::StageFactory::make_loaded(name, std::move(dir), verify, subset);
    return std::make_shared<testing::RecordingStage>(
        std::move(inner), ProcessorSpec(name, described->requirements(), described->module()), log_);
  }

 private:
  std::shared_ptr<testing::EventLog> log_;
};

TEST(TokenizePipeline, StagesRunInListOrderSinglyAndInBulk) {
  const auto log = std::make_shared<testing::EventLog>();
  const TokenizeThenWatchFactory factory(log);
  const Pipeline pipeline = detail::PipelineAccess::make(factory, "en", {"tokenize", "pos", "lemma"}, "default",
                                                         {}, false, models_dir(), "1.10.0", false, {});
  const std::vector<Document> docs = pipeline.process_bulk(Strings{"One. Two.", "Three.", "Four! Five? Six."});
  EXPECT_EQ(log->events(), (Strings{"tokenize bulk 0 0 0", "pos bulk 2 1 3", "lemma bulk 2 1 3"}));
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_EQ(token_layout(docs[2]), "Four@0-4 !@4-5 | Five@6-10 ?@10-11 | Six@12-15 .@15-16");

  const Document doc = pipeline.process("A. B.");
  EXPECT_EQ(token_layout(doc), "A@0-1 .@1-2 | B@3-4 .@4-5");
  const Strings events = log->events();
  EXPECT_EQ(Strings(events.begin() + 3, events.end()),
            (Strings{"tokenize process 0", "pos process 2", "lemma process 2"}));
}

// One shared pipeline, eight threads, different texts: every thread gets
// exactly what a sequential run gives.
TEST(TokenizePipeline, ConcurrentRunsMatchSequentialRuns) {
  const Pipeline demo = demo_pipeline();
  const TokenizeProcessor random_weights(bundle_dir("tokenize"), false);
  constexpr int kThreads = 8;
  constexpr int kRounds = 25;
  Strings texts;
  for (int t = 0; t < kThreads; ++t) {
    std::string text;
    for (int s = 0; s <= t; ++s) {
      text += "Thread " + std::to_string(t) + " says hello, number " + std::to_string(s) + ". ";
      if (s % 3 == 2) text += "\n\nNew paragraph (" + std::to_string(s) + ")!";
    }
    texts.push_back(text);
  }
  Strings expected_demo;
  Strings expected_random;
  for (const std::string& text : texts) {
    expected_demo.push_back(demo.process(text).to_conll());
    expected_random.push_back(random_weights.process(Document(text)).to_conll());
  }

  std::atomic<int> mismatches{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        const std::size_t other = static_cast<std::size_t>((t + 1) % kThreads);
        for (int round = 0; round < kRounds; ++round) {
          if (demo.process(texts[t]).to_conll() != expected_demo[t]) ++mismatches;
          const std::vector<Document> bulk = demo.process_bulk(Strings{texts[t], texts[other]});
          if (bulk[0].to_conll() != expected_demo[t] || bulk[1].to_conll() != expected_demo[other]) ++mismatches;
          if (random_weights.process(Document(texts[t])).to_conll() != expected_random[t]) ++mismatches;
        }
      } catch (...) {
        ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace lorvane
