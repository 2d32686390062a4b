#pragma once

// The loaded state of a depparse plan. It holds the opened bundle only: the native
// model of this kind is not part of this build.

#include <memory>

#include "lorvane/bundle.hpp"
#include "lorvane/depparse.hpp"

namespace lorvane {

// Safe to share across threads: immutable.
struct DepparsePlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
};

}  // namespace lorvane
