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

// The loaded form of a "lemma" bundle.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT LemmaPlan {
 public:
  // Throws LemmaModelError "expected a lemma bundle, got '<processor>'" for a
  // bundle of another processor, and LemmaModelError for a model it cannot run.
  LemmaPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  LemmaPlan(LemmaPlan&& other) noexcept;
  LemmaPlan& operator=(LemmaPlan&& other) noexcept;
  LemmaPlan(const LemmaPlan&) = delete;
  LemmaPlan& operator=(const LemmaPlan&) = delete;
  ~LemmaPlan();

  const ModelBundle& bundle() const;
  // Whether the model keys its lemmas by universal POS tag.
  bool uses_pos() const noexcept;
  // The dictionary or model lemma; the word itself when neither gives one.
  std::string lemmatize(const std::string& word, const std::optional<std::string>& upos) const;
  Document process(Document document) const;
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit LemmaPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
