#include "pipeline/pipeline_test_support.hpp"

#include <ATen/Parallel.h>

#include <utility>

#include "support/test_support.hpp"

namespace lorvane::testing {

namespace {

// The inputs here are tiny. One intra-op thread keeps the tests quick next to
// other jobs, and threads running pipelines at once do not each start a team
// of intra-op threads.
class OneIntraOpThread final : public ::testing::Environment {
 public:
  void SetUp() override { at::set_num_threads(1); }
};

[[maybe_unused]] ::testing::Environment* const one_intra_op_thread =
    ::testing::AddGlobalTestEnvironment(new OneIntraOpThread);

struct FixtureDirectory {
  FixtureDirectory() {
    run_python({(source_dir() / "tests" / "pipeline" / "write_fixtures.py").string(),
                dir.path().string()});
  }
  TempDir dir;
};

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += separator;
    out += item;
  }
  return out;
}

}  // namespace

const std::filesystem::path& fixture_root() {
  static const FixtureDirectory fixtures;
  return fixtures.dir.path();
}

Document document_with_words(const std::string& text,
                             const std::vector<std::vector<std::string>>& sentences) {
  std::vector<SentenceInput> inputs;
  for (const std::vector<std::string>& words : sentences) {
    SentenceInput sentence;
    for (std::size_t i = 0; i < words.size(); ++i) {
      TokenInput token;
      token.id_start = token.id_end = static_cast<std::int32_t>(i + 1);
      token.text = words[i];
      WordInput word;
      word.id = token.id_start;
      word.text = words[i];
      token.words.push_back(std::move(word));
      sentence.tokens.push_back(std::move(token));
    }
    inputs.push_back(std::move(sentence));
  }
  return Document(text, std::move(inputs));
}

std::string token_layout(const Document& document) {
  std::vector<std::string> sentences;
  const SentenceSequence all = document.sentences();
  for (std::uint64_t s = 0; s < all.size(); ++s) {
    const TokenSequence tokens = all.at(static_cast<std::int64_t>(s)).tokens();
    std::vector<std::string> texts;
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      const Token token = tokens.at(static_cast<std::int64_t>(t));
      texts.push_back(token.text() + "@" + std::to_string(token.start_char().value_or(kNoIndex)) +
                      "-" + std::to_string(token.end_char().value_or(kNoIndex)));
    }
    sentences.push_back(joined(texts, " "));
  }
  return joined(sentences, " | ");
}

std::vector<std::string> FakeLangIDModel::identify_batch(
    const std::vector<std::string>& texts, const std::vector<std::string>& subset) const {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({texts, subset});
  }
  std::vector<std::string> languages;
  for (const std::string& text : texts) {
    languages.push_back((subset.empty() ? std::string("any") : subset.front()) + ":" +
                        text.substr(0, 1));
  }
  return languages;
}

std::vector<FakeLangIDModel::Call> FakeLangIDModel::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::vector<std::string>> FakeMorphSegModel::segment_batch(
    const std::vector<std::string>& words) const {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(words);
  }
  std::vector<std::vector<std::string>> morphemes;
  for (const std::string& word : words) {
    if (word.size() < 2) {
      morphemes.push_back({word});
    } else {
      morphemes.push_back({word.substr(0, 1), word.substr(1)});
    }
  }
  return morphemes;
}

std::vector<std::vector<std::string>> FakeMorphSegModel::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void FakeCorefModel::annotate(Document& document) const {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(document.text());
  }
  const CorefMention first(0, CorefWordPosition{0, std::nullopt}, CorefWordPosition{0, std::nullopt});
  document.set_coref({CorefChain(0, {first}, document.words().at(0).text(), 0)});
}

std::vector<std::string> FakeCorefModel::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void EventLog::add(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<std::string> EventLog::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

RecordingStage::RecordingStage(std::shared_ptr<Processor> inner, ProcessorSpec spec,
                               std::shared_ptr<EventLog> log)
    : Processor(std::move(spec)), inner_(std::move(inner)), log_(std::move(log)) {}

Document RecordingStage::process(Document document) const {
  log_->add(name() + " process " + std::to_string(document.sentences().size()));
  return inner_ ? inner_->process(std::move(document)) : document;
}

std::vector<Document> RecordingStage::process_bulk(std::vector<Document> documents) const {
  std::string event = name() + " bulk";
  for (const Document& document : documents) {
    event += " " + std::to_string(document.sentences().size());
  }
  log_->add(std::move(event));
  return inner_ ? inner_->process_bulk(std::move(documents)) : documents;
}

}  // namespace lorvane::testing
