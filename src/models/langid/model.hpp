#pragma once

// The model behind a LangIDPlan. No native language-identification profile
// exists yet, so a plan can only be made by a loader that brings its own model
// (tests and tools, through make_langid_plan).

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/bundle.hpp"
#include "lorvane/langid.hpp"

namespace lorvane::detail {

// Implementations must allow concurrent calls: plans are shared across threads.
class LangIDModel {
 public:
  virtual ~LangIDModel() = default;
  // One language per text, in input order. REQUIRES: texts is non-empty and
  // holds no empty text. An empty subset means no restriction.
  virtual std::vector<std::string> identify_batch(const std::vector<std::string>& texts,
                                                  const std::vector<std::string>& subset) const = 0;
};

// Opens a "langid" bundle with the same checks as the public constructor and
// runs `model` in place of a native profile.
LangIDPlan make_langid_plan(std::filesystem::path bundle_dir, bool verify_checksums,
                            std::shared_ptr<const LangIDModel> model);

}  // namespace lorvane::detail

namespace lorvane {

// Safe to share across threads: immutable.
struct LangIDPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  std::shared_ptr<const detail::LangIDModel> model;
};

}  // namespace lorvane
