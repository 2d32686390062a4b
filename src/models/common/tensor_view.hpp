#pragma once

// The one way model code turns a bundle tensor into a libtorch tensor.

#include <ATen/core/Tensor.h>
#include <c10/core/ScalarType.h>

#include <string_view>

#include "lorvane/bundle.hpp"

namespace lorvane::detail {

// The libtorch element type of a manifest dtype name. Throws ModelBundleError
// "unsupported tensor dtype: <dtype>" for a name outside the bundle's table.
c10::ScalarType tensor_scalar_type(std::string_view dtype);

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

}  // namespace lorvane::detail
