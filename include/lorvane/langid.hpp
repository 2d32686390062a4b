#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class ModelBundle;

// The loaded form of a "langid" bundle: the language of texts, optionally
// restricted to a subset of languages. It takes texts, not documents.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT LangIDPlan {
 public:
  // Throws LangIDModelError "expected a langid bundle, got '<processor>'" for a
  // bundle of another processor, and LangIDModelError for a model it cannot run.
  LangIDPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  LangIDPlan(LangIDPlan&& other) noexcept;
  LangIDPlan& operator=(LangIDPlan&& other) noexcept;
  LangIDPlan(const LangIDPlan&) = delete;
  LangIDPlan& operator=(const LangIDPlan&) = delete;
  ~LangIDPlan();

  const ModelBundle& bundle() const;
  // An empty subset means no restriction. Throws LangIDModelError "language
  // identification requires non-empty text" for an empty text.
  std::string identify(const std::string& text, const std::vector<std::string>& subset) const;
  // Exactly one language per text, in input order; failures as for identify.
  std::vector<std::string> identify_many(const std::vector<std::string>& texts,
                                         const std::vector<std::string>& subset) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit LangIDPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
