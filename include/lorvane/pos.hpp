#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class Document;
class ModelBundle;

// The loaded form of a "pos" bundle: universal and language-specific tags and
// features of words.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT POSPlan {
 public:
  // Throws POSModelError "expected a POS bundle, got '<processor>'" for a
  // bundle of another processor, and POSModelError for a model it cannot run.
  POSPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  POSPlan(POSPlan&& other) noexcept;
  POSPlan& operator=(POSPlan&& other) noexcept;
  POSPlan(const POSPlan&) = delete;
  POSPlan& operator=(const POSPlan&) = delete;
  ~POSPlan();

  const ModelBundle& bundle() const;
  Document process(Document document) const;
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit POSPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
