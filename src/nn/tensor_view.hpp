#pragma once

// The one way model code turns a bundle tensor into a libtorch tensor.

#include <ATen/core/Tensor.h>
#include <c10/core/ScalarType.h>

#include <string>
#include <string_view>

#include "lorvane/bundle.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane::detail {

// The libtorch element type of a manifest dtype name. Throws ModelBundleError
// "unsupported tensor dtype: <dtype>" for a name outside the bundle's table.
c10::ScalarType tensor_scalar_type(std::string_view dtype);
// The manifest dtype name of a libtorch element type ("float32"), or
// libtorch's own name for a type outside the bundle's table.
std::string dtype_name(c10::ScalarType type);

// A contiguous tensor of the descriptor's dtype and shape holding the tensor's
// bytes.
//
// When the bytes are aligned to the element size the result is a view over
// the bundle's mapping (zero-copy, data_ptr() == bundle.tensor_data(name)); it
// owns nothing, so the bundle must outlive it (plans keep their bundle in a
// shared pointer next to their tensors). Otherwise, when the manifest's
// alignment is smaller than the element size, the bytes are copied into a
// freshly allocated, aligned tensor: typed kernels never read through a
// misaligned pointer.
//
// READ-ONLY: the mapping is PROT_READ. Never write into the result, in place
// or through out= arguments; writing into a view faults. Clone first when a
// writable tensor is needed.
//
// A "bool" tensor whose bytes are not all 0 or 1 throws ModelBundleError
// "invalid bool tensor value: '<name>'" (libtorch assumes 0/1). A descriptor
// that does not lie inside this bundle's tensor file, or whose dtype and shape
// do not account for exactly its nbytes, throws std::invalid_argument. Safe to
// call from any thread.
at::Tensor tensor_view(const ModelBundle& bundle, const TensorDescriptor& descriptor);
// The same for the bundle's tensor of that name (ModelBundleError "tensor is
// not present in bundle: '<name>'" when absent).
at::Tensor tensor_view(const ModelBundle& bundle, std::string_view name);

// The element types that model plans view: "float32", "float64", "float16",
// "bfloat16", "int8", "uint8", "int16", "int32", "int64" and "bool". A bundle
// may declare others ("uint16", "uint32", "uint64", "complex64",
// "complex128"); models refuse those.
bool is_model_dtype(std::string_view dtype) noexcept;

// "ATen view does not support bundle dtype: <dtype>", the refusal every model
// plan raises through its own error class.
std::string unsupported_model_dtype(std::string_view dtype);

// tensor_view for model plans: a dtype outside the model table raises
// unsupported_model_dtype(dtype) through `raise` (the plan's error class);
// an absent name throws the bundle's ModelBundleError
// "tensor is not present in bundle: '<name>'".
at::Tensor model_tensor_view(const ModelBundle& bundle, std::string_view name, RaiseError raise);
at::Tensor model_tensor_view(const ModelBundle& bundle, const TensorDescriptor& descriptor,
                             RaiseError raise);

}  // namespace lorvane::detail
