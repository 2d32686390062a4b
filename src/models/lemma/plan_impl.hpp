#pragma once

// The loaded state of a lemma plan. It holds the opened bundle only: the native
// model of this kind is not part of this build.

#include <memory>

#include "lorvane/bundle.hpp"
#include "lorvane/lemma.hpp"

namespace lorvane {

// Safe to share across threads: immutable.
struct LemmaPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  bool uses_pos = false;  // the configuration's "pos" flag
};

}  // namespace lorvane
