#pragma once

// Makes processor stages around plans that were loaded elsewhere: the way the
// library's own tools and tests give a stage a plan that no bundle directory
// can produce (a plan with a supplied model).

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/processors.hpp"

namespace lorvane::detail {

struct ProcessorAccess {
  // A stage of class Stage around `plan` (never null), made as the bundle
  // constructor makes it once its plan is loaded.
  template <class Stage, class Plan>
  static std::shared_ptr<Stage> with_plan(std::shared_ptr<const Plan> plan) {
    return std::shared_ptr<Stage>(new Stage(std::move(plan)));
  }

  static std::shared_ptr<LangIDProcessor> langid_with_plan(std::shared_ptr<const LangIDPlan> plan,
                                                           std::vector<std::string> subset) {
    return std::shared_ptr<LangIDProcessor>(new LangIDProcessor(std::move(plan), std::move(subset)));
  }
};

}  // namespace lorvane::detail
