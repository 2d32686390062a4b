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

// The loaded form of an "ner" bundle: BIOES entity tags of tokens.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT NERPlan {
 public:
  // Throws NERModelError "expected an NER bundle, got '<processor>'" for a
  // bundle of another processor, and NERModelError for a model it cannot run
  // or assets it cannot read; errors of the bundle itself and of the
  // encoders it builds pass unchanged.
  NERPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  NERPlan(NERPlan&& other) noexcept;
  NERPlan& operator=(NERPlan&& other) noexcept;
  NERPlan(const NERPlan&) = delete;
  NERPlan& operator=(const NERPlan&) = delete;
  ~NERPlan();

  const ModelBundle& bundle() const;
  // One BIOES tag per token of one sentence (token texts as UTF-8).
  std::vector<std::string> tag(const std::vector<std::string>& tokens) const;
  // Gives every token of every sentence its tag (also as a one-element
  // multi-NER list) and rebuilds the entity spans. The sentences are tagged
  // together, longest first in packed batches; each gets the tags `tag`
  // gives it alone. Should a sentence fail, the error leaves with the
  // sentences before it tagged and the spans as they were.
  Document process(Document document) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit NERPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
