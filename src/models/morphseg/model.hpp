#pragma once

// The model behind a MorphSegPlan. No native morpheme-segmentation profile
// exists yet, so a plan can only be made by a loader that brings its own model
// (tests and tools, through make_morphseg_plan).

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/bundle.hpp"
#include "lorvane/morphseg.hpp"

namespace lorvane::detail {

// Implementations must allow concurrent calls: plans are shared across threads.
class MorphSegModel {
 public:
  virtual ~MorphSegModel() = default;
  // One morpheme list per word, in input order. REQUIRES: words is non-empty.
  virtual std::vector<std::vector<std::string>> segment_batch(
      const std::vector<std::string>& words) const = 0;
};

// Opens a "morphseg" bundle with the same checks as the public constructor
// and runs `model` in place of a native profile.
MorphSegPlan make_morphseg_plan(std::filesystem::path bundle_dir, bool verify_checksums,
                                std::shared_ptr<const MorphSegModel> model);

}  // namespace lorvane::detail

namespace lorvane {

// Safe to share across threads: immutable.
struct MorphSegPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  std::shared_ptr<const detail::MorphSegModel> model;
};

}  // namespace lorvane
