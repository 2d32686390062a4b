#pragma once

// The loaded state of a stand-alone character-LM bundle.

#include <memory>

#include "encoders/charlm/native_charlm.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/charlm.hpp"

namespace lorvane {

// Safe to share across threads: immutable.
struct CharLMPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  std::unique_ptr<detail::NativeCharLM> model;  // shares `bundle`
};

}  // namespace lorvane
