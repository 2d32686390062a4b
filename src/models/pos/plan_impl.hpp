#pragma once

// The loaded state of a pos plan. It holds the opened bundle only: the native
// model of this kind is not part of this build.

#include <memory>

#include "lorvane/bundle.hpp"
#include "lorvane/pos.hpp"

namespace lorvane {

// Safe to share across threads: immutable.
struct POSPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
};

}  // namespace lorvane
