#pragma once

// The tensor table of a loaded model: every tensor of its bundle viewed in
// place, looked up by name, with the plan's own messages for what is missing.

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "lorvane/bundle.hpp"
#include "models/common/plan_loading.hpp"

namespace lorvane::detail {

// Safe to share across threads: immutable after construction.
class ModelTensors {
 public:
  ModelTensors() = default;
  // Views every tensor of the bundle, in manifest order. A tensor of a dtype
  // outside the model table (see is_model_dtype) is refused through `raise`
  // with unsupported_model_dtype, even when the model never reads it.
  // `missing_prefix` starts the message of require() for an absent name, e.g.
  // "missing POS tensor: '" (the name and a closing quote follow).
  ModelTensors(const ModelBundle& bundle, RaiseError raise, std::string missing_prefix);

  // The view of that name, or null.
  const at::Tensor* find(std::string_view name) const;
  bool contains(std::string_view name) const { return find(name) != nullptr; }
  // The view of that name; an absent name raises "<missing_prefix><name>'".
  const at::Tensor& require(std::string_view name) const;
  std::size_t size() const noexcept { return tensors_.size(); }
  // Raises `message` through the plan's error class.
  [[noreturn]] void fail(const std::string& message) const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::unordered_map<std::string, at::Tensor, Hash, std::equal_to<>> tensors_;
  RaiseError raise_ = nullptr;
  std::string missing_prefix_;
};

}  // namespace lorvane::detail
