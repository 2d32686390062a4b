#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class Document;
class ModelBundle;

// The parser's input for one word: its form, and its lemma, tags and features
// when it has them.
struct DepparseWord {
  std::string text;
  std::optional<std::string> lemma;
  std::optional<std::string> upos;
  std::optional<std::string> xpos;
  std::optional<std::string> feats;
};

// The parser's result for one word: `head` is 0 for the synthetic ROOT and k
// for the k-th word of the sentence (counting from 1).
struct DependencyPrediction {
  std::int32_t head = 0;
  std::string deprel;
};

// Limits of a DepparsePlan that its bundle does not set.
struct DepparseOptions {
  // The parser holds the arc scores of a sentence of n words as (n + 1)^2
  // numbers of the bundle's floating type. A sentence whose arc scores would
  // take more bytes than this is refused with a DepparseModelError before
  // any model work on it. The default, 512 MiB, admits 11,584 words with
  // float32 weights (8,191 with float64); a sentence of 11,545 words took the
  // whole tokenize..depparse pipeline with realistic bundles to a 1.5 GB peak.
  // A pipeline's parser always has the default.
  std::uint64_t max_arc_score_bytes = std::uint64_t{512} << 20;
};

// The loaded form of a "depparse" bundle: heads and relations of words.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT DepparsePlan {
 public:
  // Throws DepparseModelError "expected a depparse bundle, got '<processor>'"
  // for a bundle of another processor, and DepparseModelError for a model it
  // cannot run (JSON errors of the assets included, with the parser's
  // message); errors of the bundle itself, the character language models and
  // the transformer keep their own types.
  DepparsePlan(std::filesystem::path bundle_dir, bool verify_checksums, DepparseOptions options = {});
  DepparsePlan(DepparsePlan&& other) noexcept;
  DepparsePlan& operator=(DepparsePlan&& other) noexcept;
  DepparsePlan(const DepparsePlan&) = delete;
  DepparsePlan& operator=(const DepparsePlan&) = delete;
  ~DepparsePlan();

  const ModelBundle& bundle() const;

  // One prediction per word, in order: a single-root tree whose heads count
  // the words from 1 (0 is ROOT), each arc labelled with a relation.
  // A sentence above the arc score limit throws DepparseModelError
  // "depparse refuses a sentence of <n> words: its arc scores would take <b>
  // bytes, above max_arc_score_bytes (<limit>)".
  std::vector<DependencyPrediction> parse(const std::vector<DepparseWord>& words) const;
  // Sets the head and relation of every word of every sentence, replacing any
  // it had, one sentence after the other: when sentence i fails, sentences
  // before it stay parsed. Every word needs UPOS or XPOS: DepparseModelError
  // "POS must run before depparse" otherwise; a sentence above the arc score
  // limit fails as in parse, its message ending in ": sentence <i>" (counted
  // from 0).
  Document process(Document document) const;
  // The same for all sentences of all documents at once, in batches. Nothing
  // is written unless every sentence was parsed; a sentence above the limit
  // is refused before any model work, its message ending in
  // ": document <d>, sentence <i>" (counted from 0).
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  const Impl& impl() const;  // for the library's own tests and tools
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit DepparsePlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
