#include "models/common/model_tensors.hpp"

#include <stdexcept>
#include <utility>

#include "models/common/tensor_view.hpp"

namespace lorvane::detail {

ModelTensors::ModelTensors(const ModelBundle& bundle, RaiseError raise, std::string missing_prefix)
    : raise_(raise), missing_prefix_(std::move(missing_prefix)) {
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

void ModelTensors::fail(const std::string& message) const {
  if (raise_ != nullptr) raise_(message);
  // A default-constructed table has no error class of its own.
  throw std::logic_error(message);
}

}  // namespace lorvane::detail
