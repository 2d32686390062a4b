#pragma once

// Shared by the pipeline test files: the generated fixture directory, fake
// models for the plans that have no native profile, documents with words, and
// a stage that records what it sees.

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/processors.hpp"
#include "models/coref/model.hpp"
#include "models/langid/model.hpp"
#include "models/morphseg/model.hpp"

namespace lorvane::testing {

// Written once per test program by tests/pipeline/write_fixtures.py (see there
// for the layout) and removed at exit.
const std::filesystem::path& fixture_root();
inline std::filesystem::path bundle_dir(const std::string& name) {
  return fixture_root() / "bundles" / name;
}
inline std::filesystem::path models_dir() { return fixture_root() / "models"; }

// A document over `text` whose sentences are the given lists of words, one
// token per word, words found left to right in the text.
Document document_with_words(const std::string& text,
                             const std::vector<std::vector<std::string>>& sentences);

// Tokens and sentences of a document in one line: "a b | c ." with offsets.
std::string token_layout(const Document& document);

// Language of every text: "<first subset language or 'any'>:<first byte>".
class FakeLangIDModel final : public detail::LangIDModel {
 public:
  std::vector<std::string> identify_batch(const std::vector<std::string>& texts,
                                          const std::vector<std::string>& subset) const override;
  struct Call {
    std::vector<std::string> texts;
    std::vector<std::string> subset;
  };
  std::vector<Call> calls() const;

 private:
  mutable std::mutex mutex_;
  mutable std::vector<Call> calls_;
};

// Morphemes: the word cut after its first code unit ("cats" -> "c", "ats").
class FakeMorphSegModel final : public detail::MorphSegModel {
 public:
  std::vector<std::vector<std::string>> segment_batch(
      const std::vector<std::string>& words) const override;
  std::vector<std::vector<std::string>> calls() const;

 private:
  mutable std::mutex mutex_;
  mutable std::vector<std::vector<std::string>> calls_;
};

// One chain over the first word of the document; records the text of each
// document it annotates.
class FakeCorefModel final : public detail::CorefModel {
 public:
  FakeCorefModel(bool singletons, bool zero_anaphora)
      : singletons_(singletons), zero_anaphora_(zero_anaphora) {}
  bool predicts_singletons() const noexcept override { return singletons_; }
  bool predicts_zero_anaphora() const noexcept override { return zero_anaphora_; }
  void annotate(Document& document) const override;
  std::vector<std::string> calls() const;

 private:
  bool singletons_;
  bool zero_anaphora_;
  mutable std::mutex mutex_;
  mutable std::vector<std::string> calls_;
};

// An event log shared by recording stages.
class EventLog {
 public:
  void add(std::string event);
  std::vector<std::string> events() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

// Wraps a stage: logs "<name> process <n sentences>" or "<name> bulk
// <sentences per document>" when a call arrives, then forwards to the wrapped
// stage (or returns the documents unchanged when `inner` is null).
class RecordingStage final : public Processor {
 public:
  RecordingStage(std::shared_ptr<Processor> inner, ProcessorSpec spec, std::shared_ptr<EventLog> log);
  bool implemented() const override { return true; }
  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;

 private:
  std::shared_ptr<Processor> inner_;
  std::shared_ptr<EventLog> log_;
};

}  // namespace lorvane::testing
