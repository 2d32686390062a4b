#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class Document;
class ModelBundle;

// The loaded form of a "morphseg" bundle: the morphemes of words.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT MorphSegPlan {
 public:
  // Throws MorphSegModelError "expected a morphseg bundle, got '<processor>'"
  // for a bundle of another processor, and MorphSegModelError for a model it
  // cannot run.
  MorphSegPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  MorphSegPlan(MorphSegPlan&& other) noexcept;
  MorphSegPlan& operator=(MorphSegPlan&& other) noexcept;
  MorphSegPlan(const MorphSegPlan&) = delete;
  MorphSegPlan& operator=(const MorphSegPlan&) = delete;
  ~MorphSegPlan();

  const ModelBundle& bundle() const;
  std::vector<std::string> segment(const std::string& word) const;
  // One morpheme list per word, in input order.
  std::vector<std::vector<std::string>> segment_many(const std::vector<std::string>& words) const;
  // Stores every word's morphemes; a batch goes through one segment_many call.
  Document process(Document document) const;
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit MorphSegPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
