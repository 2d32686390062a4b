#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class Document;
class ModelBundle;

// The parser's result for one word: `head` is 0 for the synthetic ROOT and k
// for the k-th word of the sentence (counting from 1).
struct DependencyPrediction {
  std::int32_t head = 0;
  std::string deprel;
};

// The loaded form of a "depparse" bundle: heads and relations of words.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT DepparsePlan {
 public:
  // Throws DepparseModelError "expected a depparse bundle, got '<processor>'"
  // for a bundle of another processor, and DepparseModelError for a model it
  // cannot run.
  DepparsePlan(std::filesystem::path bundle_dir, bool verify_checksums);
  DepparsePlan(DepparsePlan&& other) noexcept;
  DepparsePlan& operator=(DepparsePlan&& other) noexcept;
  DepparsePlan(const DepparsePlan&) = delete;
  DepparsePlan& operator=(const DepparsePlan&) = delete;
  ~DepparsePlan();

  const ModelBundle& bundle() const;
  Document process(Document document) const;
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit DepparsePlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
