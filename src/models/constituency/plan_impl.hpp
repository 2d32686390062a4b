#pragma once

// The loaded state of a constituency plan. It holds the opened bundle only: the native
// model of this kind is not part of this build.

#include <memory>

#include "lorvane/bundle.hpp"
#include "lorvane/constituency.hpp"

namespace lorvane {

// Safe to share across threads: immutable.
struct ConstituencyPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  bool uses_xpos = false;
};

}  // namespace lorvane
