#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"
#include "lorvane/tree.hpp"

namespace lorvane {

class Document;
class ModelBundle;

// The loaded form of a "constituency" bundle: one tree per sentence.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT ConstituencyPlan {
 public:
  // Throws ConstituencyModelError "expected a constituency bundle, got
  // '<processor>'" for a bundle of another processor, and
  // ConstituencyModelError for a model it cannot run.
  ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  ConstituencyPlan(ConstituencyPlan&& other) noexcept;
  ConstituencyPlan& operator=(ConstituencyPlan&& other) noexcept;
  ConstituencyPlan(const ConstituencyPlan&) = delete;
  ConstituencyPlan& operator=(const ConstituencyPlan&) = delete;
  ~ConstituencyPlan();

  const ModelBundle& bundle() const;
  // True when the parser reads language-specific tags, false for universal ones.
  bool uses_xpos() const noexcept;
  ConstituencyTree parse(const std::vector<std::string>& words,
                         const std::vector<std::string>& tags) const;
  // Throws ConstituencyModelError "constituency sentence and tag batches have
  // different lengths" when the two lists differ in length.
  std::vector<ConstituencyTree> parse_many(const std::vector<std::vector<std::string>>& words,
                                           const std::vector<std::vector<std::string>>& tags) const;
  Document process(Document document) const;
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit ConstituencyPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
