#pragma once

// The model behind a CorefPlan. No native coreference profile exists yet, so a
// plan can only be made by a loader that brings its own model (tests and
// tools, through make_coref_plan).

#include <filesystem>
#include <memory>

#include "lorvane/bundle.hpp"
#include "lorvane/coref_plan.hpp"
#include "lorvane/document.hpp"

namespace lorvane::detail {

// Implementations must allow concurrent calls on different documents.
class CorefModel {
 public:
  virtual ~CorefModel() = default;
  virtual bool predicts_singletons() const noexcept = 0;
  virtual bool predicts_zero_anaphora() const noexcept = 0;
  // Resolves coreference over all words of the document and stores the chains
  // in it (zero-anaphora mentions may add empty words).
  virtual void annotate(Document& document) const = 0;
};

// Opens a "coref" bundle with the same checks as the public constructor and
// runs `model` in place of a native profile.
CorefPlan make_coref_plan(std::filesystem::path bundle_dir, bool verify_checksums,
                          std::shared_ptr<const CorefModel> model);

}  // namespace lorvane::detail

namespace lorvane {

// Safe to share across threads: immutable.
struct CorefPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  std::shared_ptr<const detail::CorefModel> model;
};

}  // namespace lorvane
