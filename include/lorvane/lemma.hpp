#pragma once

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

// The loaded form of a "lemma" bundle: a dictionary keyed by part of speech
// and word and, unless the bundle is dictionary-only, the character
// sequence-to-sequence model for the words the dictionary does not settle.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT LemmaPlan {
 public:
  // Throws LemmaModelError "expected a lemma bundle, got '<processor>'" for a
  // bundle of another processor, LemmaModelError with the JSON error's
  // message for unreadable settings or dictionary, and "lemma config and
  // seq2seq POS settings disagree". Errors of opening the bundle
  // (ModelBundleError) and of loading the model (Seq2SeqModelError) pass
  // through.
  LemmaPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  LemmaPlan(LemmaPlan&& other) noexcept;
  LemmaPlan& operator=(LemmaPlan&& other) noexcept;
  LemmaPlan(const LemmaPlan&) = delete;
  LemmaPlan& operator=(const LemmaPlan&) = delete;
  ~LemmaPlan();

  // Every operation below throws std::logic_error on a moved-from plan.
  const ModelBundle& bundle() const;
  // Whether the model reads the universal POS tag (the "pos" stage must then
  // run first).
  bool uses_pos() const;
  // The lemma of one word: from the dictionary (under its UPOS, "_" when it
  // has none, else under "*"), from the model, or the word itself; "_" for an
  // empty lemma. Throws LemmaModelError "seq2seq returned an unknown lemma
  // edit class"; errors of the model pass through.
  std::string lemmatize(const std::string& word, const std::optional<std::string>& upos) const;
  // Sets the lemma of every regular word, overwriting earlier ones; ROOT and
  // empty words are left alone. A failure leaves the lemmas set on earlier
  // words in place.
  Document process(Document document) const;
  // process for every document, with one batched model call for all words
  // the dictionary does not settle. A failure leaves every document unchanged.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit LemmaPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
