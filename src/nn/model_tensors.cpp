#include "nn/model_tensors.hpp"

#include <stdexcept>
#include <utility>

#include "nn/tensor_view.hpp"

namespace lorvane::detail {

ModelTensors::ModelTensors(const ModelBundle& bundle, RaiseError raise, std::string missing_prefix)
    : raise_(raise), missing_prefix_(std::move(missing_prefix)), bundle_dir_(bundle.path().string()) {
  tensors_.reserve(bundle.tensors().size());
  for (const TensorDescriptor& descriptor : bundle.tensors()) {
    tensors_.emplace(descriptor.name, model_tensor_view(bundle, descriptor, raise_));
  }
}

const at::Tensor* ModelTensors::find(std::string_view name) const {
  const auto found = tensors_.find(name);
  return found == tensors_.end() ? nullptr : &found->second;
}

const at::Tensor& ModelTensors::require(std::string_view name) const {
  const at::Tensor* tensor = find(name);
  if (tensor == nullptr) fail(missing_prefix_ + std::string(name) + "'");
  return *tensor;
}

namespace {

std::string sizes_text(c10::ArrayRef<std::int64_t> sizes) {
  std::string text = "[";
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    if (i > 0) text += ", ";
    text += sizes[i] == kAnySize ? std::string("*") : std::to_string(sizes[i]);
  }
  return text + "]";
}

bool sizes_match(c10::ArrayRef<std::int64_t> actual, c10::ArrayRef<std::int64_t> expected) {
  if (actual.size() != expected.size()) return false;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (expected[i] != kAnySize && expected[i] != actual[i]) return false;
  }
  return true;
}

bool is_integer_type(c10::ScalarType type) {
  return c10::isIntegralType(type, /*includeBool=*/false);
}

}  // namespace

const at::Tensor& ModelTensors::require(std::string_view name, c10::ArrayRef<std::int64_t> sizes,
                                        Elements elements) const {
  const at::Tensor& tensor = require(name);
  const c10::ScalarType type = tensor.scalar_type();
  bool typed = false;
  std::string expected_type;
  if (elements == Elements::kInteger) {
    typed = is_integer_type(type);
    expected_type = "integer";
  } else if (float_type_) {
    typed = type == *float_type_;
    expected_type = dtype_name(*float_type_);
  } else {
    typed = c10::isFloatingType(type);
    expected_type = "float";
  }
  if (!typed || !sizes_match(tensor.sizes(), sizes)) {
    fail("tensor does not fit the model in bundle " + bundle_dir_ + ": expected " + expected_type + " " +
         sizes_text(sizes) + ", got " + dtype_name(type) + " " + sizes_text(tensor.sizes()) + ": '" +
         std::string(name) + "'");
  }
  if (elements == Elements::kFloat && !float_type_) float_type_ = type;
  return tensor;
}

void ModelTensors::require_ids_in_rows(const UnitIds& ids, std::string_view context, std::string_view table) const {
  const at::Tensor& rows = require(table);
  if (auto message = ids_outside_rows(ids, rows.dim() == 0 ? 0 : rows.size(0), table, context)) fail(*message);
}

void ModelTensors::fail(const std::string& message) const {
  if (raise_ != nullptr) raise_(message);
  // A default-constructed table has no error class of its own.
  throw std::logic_error(message);
}

}  // namespace lorvane::detail
