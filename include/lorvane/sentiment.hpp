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

// The loaded form of a "sentiment" bundle: one class per sentence.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT SentimentPlan {
 public:
  // Throws SentimentModelError "expected a sentiment bundle, got '<processor>'"
  // for a bundle of another processor, and SentimentModelError for a model it
  // cannot run.
  SentimentPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  SentimentPlan(SentimentPlan&& other) noexcept;
  SentimentPlan& operator=(SentimentPlan&& other) noexcept;
  SentimentPlan(const SentimentPlan&) = delete;
  SentimentPlan& operator=(const SentimentPlan&) = delete;
  ~SentimentPlan();

  const ModelBundle& bundle() const;
  std::int64_t classify(const std::vector<std::string>& tokens) const;
  // Throws std::invalid_argument "sentiment batch_size must be positive" for 0.
  std::vector<std::int64_t> classify_many(const std::vector<std::vector<std::string>>& sentences,
                                          std::uint64_t batch_size) const;
  Document process(Document document) const;
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit SentimentPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
