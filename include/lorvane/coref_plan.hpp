#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class Document;
class ModelBundle;

// The loaded form of a "coref" bundle: coreference chains over all words of a
// document, possibly adding zero-anaphora empty words.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT CorefPlan {
 public:
  // Throws CorefModelError "expected a coref bundle, got '<processor>'" for a
  // bundle of another processor, and CorefModelError for a model it cannot run.
  CorefPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  CorefPlan(CorefPlan&& other) noexcept;
  CorefPlan& operator=(CorefPlan&& other) noexcept;
  CorefPlan(const CorefPlan&) = delete;
  CorefPlan& operator=(const CorefPlan&) = delete;
  ~CorefPlan();

  const ModelBundle& bundle() const;
  bool predicts_singletons() const noexcept;
  bool predicts_zero_anaphora() const noexcept;
  Document process(Document document) const;
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit CorefPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
