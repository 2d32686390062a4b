#pragma once

// The loaded state of an ner plan. It holds the opened bundle only: the native
// model of this kind is not part of this build.

#include <memory>

#include "lorvane/bundle.hpp"
#include "lorvane/ner.hpp"

namespace lorvane {

// Safe to share across threads: immutable.
struct NERPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
};

}  // namespace lorvane
