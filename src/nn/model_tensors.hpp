#pragma once

// The tensor table of a loaded model: every tensor of its bundle viewed in
// place, looked up by name, with the plan's own messages for what is missing.

#include <ATen/core/Tensor.h>
#include <c10/core/ScalarType.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "lorvane/bundle.hpp"
#include "nn/plan_loading.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane::detail {

// The element class a model computes with.
enum class Elements {
  kFloat,    // a floating type, the same for every kFloat tensor of one table
  kInteger,  // any integer type (not bool)
};

// A size of an expected shape that matches any size.
inline constexpr std::int64_t kAnySize = -1;

// A tensor's size in one dimension, or -1 (no size) when it has fewer
// dimensions, so that a rule comparing sizes reports its own message.
inline std::int64_t size_or_none(const at::Tensor& tensor, std::int64_t dim) {
  return tensor.dim() > dim ? tensor.size(dim) : -1;
}

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
  // The view of that name, checked against what the model computes with: one
  // size per dimension (kAnySize matches any) and the element class. The
  // first kFloat tensor checked fixes the table's floating type; every later
  // one must have it. Raises, besides require()'s missing message,
  //   "tensor does not fit the model in bundle <dir>: expected float32
  //    [13, 7], got int32 [7, 13]: '<name>'"
  // ("float" while no floating type is fixed, "integer" for kInteger).
  // Checks run while the plan is built, before the table is shared.
  const at::Tensor& require(std::string_view name, c10::ArrayRef<std::int64_t> sizes,
                            Elements elements = Elements::kFloat) const;
  // The floating type fixed by the kFloat checks so far.
  std::optional<c10::ScalarType> float_type() const noexcept { return float_type_; }
  // Every id of `ids` must index a row of the tensor `table`; otherwise
  // raises ids_outside_rows' message.
  void require_ids_in_rows(const UnitIds& ids, std::string_view context, std::string_view table) const;
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
  std::string bundle_dir_;
  mutable std::optional<c10::ScalarType> float_type_;
};

}  // namespace lorvane::detail
