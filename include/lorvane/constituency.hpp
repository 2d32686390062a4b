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

// The loaded form of a "constituency" bundle: an in-order transition parser
// that gives every sentence a constituency tree from its words and tags.
// Every operation of a moved-from plan but destruction and assignment throws
// std::logic_error.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT ConstituencyPlan {
 public:
  // Throws ConstituencyModelError "expected a constituency bundle, got
  // '<processor>'" for a bundle of another processor, and
  // ConstituencyModelError for a model outside the native profile or with
  // inconsistent assets or tensors (JSON errors included, with their
  // messages). Bundle errors propagate as ModelBundleError.
  ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  ConstituencyPlan(ConstituencyPlan&& other) noexcept;
  ConstituencyPlan& operator=(ConstituencyPlan&& other) noexcept;
  ConstituencyPlan(const ConstituencyPlan&) = delete;
  ConstituencyPlan& operator=(const ConstituencyPlan&) = delete;
  ~ConstituencyPlan();

  const ModelBundle& bundle() const;
  // True when the parser reads language-specific tags, false for universal ones.
  bool uses_xpos() const;
  // The tree of one sentence: one tag per word. Throws ConstituencyModelError
  // for an empty sentence, unequal lengths and every failure of the parse.
  ConstituencyTree parse(const std::vector<std::string>& words,
                         const std::vector<std::string>& tags) const;
  // One tree per sentence, in input order; the first failing sentence's error
  // propagates. Throws ConstituencyModelError "constituency sentence and tag
  // batches have different lengths" when the two lists differ in length.
  std::vector<ConstituencyTree> parse_many(const std::vector<std::vector<std::string>>& words,
                                           const std::vector<std::vector<std::string>>& tags) const;
  // Sets a tree on every sentence, parsed from its regular words and their
  // XPOS (uses_xpos) or UPOS tags. On failure the document is unchanged.
  Document process(Document document) const;
  // process() of each document in order: on failure the documents before the
  // failing one keep their trees, it and those after it are unchanged.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit ConstituencyPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
