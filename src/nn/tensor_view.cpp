#include "nn/tensor_view.hpp"

#include <ATen/ATen.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/model_bundle_impl.hpp"
#include "bundle/tensor_table.hpp"

namespace lorvane::detail {
namespace {

struct DtypeMapping {
  std::string_view name;
  c10::ScalarType type;
};

constexpr DtypeMapping kScalarTypes[] = {
    {"bool", c10::ScalarType::Bool},
    {"int8", c10::ScalarType::Char},
    {"uint8", c10::ScalarType::Byte},
    {"int16", c10::ScalarType::Short},
    {"uint16", c10::ScalarType::UInt16},
    {"float16", c10::ScalarType::Half},
    {"bfloat16", c10::ScalarType::BFloat16},
    {"int32", c10::ScalarType::Int},
    {"uint32", c10::ScalarType::UInt32},
    {"float32", c10::ScalarType::Float},
    {"int64", c10::ScalarType::Long},
    {"uint64", c10::ScalarType::UInt64},
    {"float64", c10::ScalarType::Double},
    {"complex64", c10::ScalarType::ComplexFloat},
    {"complex128", c10::ScalarType::ComplexDouble},
};

void check_bool_bytes(const std::uint8_t* bytes, std::uint64_t count, const std::string& name) {
  for (std::uint64_t i = 0; i < count; ++i) {
    if (bytes[i] > 1) throw ModelBundleError("invalid bool tensor value: '" + name + "'");
  }
}

}  // namespace

c10::ScalarType tensor_scalar_type(std::string_view dtype) {
  for (const auto& mapping : kScalarTypes) {
    if (mapping.name == dtype) return mapping.type;
  }
  throw ModelBundleError("unsupported tensor dtype: " + std::string(dtype));
}

std::string dtype_name(c10::ScalarType type) {
  for (const auto& mapping : kScalarTypes) {
    if (mapping.type == type) return std::string(mapping.name);
  }
  return c10::toString(type);
}

at::Tensor tensor_view(const ModelBundle& bundle, const TensorDescriptor& descriptor) {
  const c10::ScalarType type = tensor_scalar_type(descriptor.dtype);
  const std::uint64_t element_size = dtype_size(descriptor.dtype);
  const std::uint64_t file_size = bundle.tensor_file_size();
  if (descriptor.offset > file_size || descriptor.nbytes > file_size - descriptor.offset) {
    throw std::invalid_argument("tensor descriptor lies outside the bundle's tensor file: '" + descriptor.name + "'");
  }
  // Descriptors are plain values that callers may edit, so the bundle's own
  // check at load time does not cover them.
  if (tensor_byte_count(element_size, descriptor.shape) != descriptor.nbytes) {
    throw std::invalid_argument("tensor descriptor shape does not match its byte size: '" + descriptor.name + "'");
  }
  const auto options = at::TensorOptions().dtype(type).device(at::kCPU);
  const std::vector<std::int64_t>& shape = descriptor.shape;
  if (descriptor.nbytes == 0) return at::empty(shape, options);

  const std::uint8_t* base = bundle.impl().tensor_file->data;
  const std::uint8_t* bytes = base + descriptor.offset;
  if (type == c10::ScalarType::Bool) check_bool_bytes(bytes, descriptor.nbytes, descriptor.name);

  if (reinterpret_cast<std::uintptr_t>(bytes) % element_size == 0) {
    // from_blob takes a mutable pointer; the tensor is documented read-only.
    return at::from_blob(const_cast<std::uint8_t*>(bytes), shape, options);
  }
  at::Tensor copy = at::empty(shape, options);
  std::memcpy(copy.data_ptr(), bytes, descriptor.nbytes);
  return copy;
}

at::Tensor tensor_view(const ModelBundle& bundle, std::string_view name) {
  return tensor_view(bundle, bundle.tensor(name));
}

bool is_model_dtype(std::string_view dtype) noexcept {
  static constexpr std::string_view kModelDtypes[] = {"float32", "float64", "float16", "bfloat16",
                                                      "int8",    "uint8",   "int16",   "int32",
                                                      "int64",   "bool"};
  for (std::string_view name : kModelDtypes) {
    if (name == dtype) return true;
  }
  return false;
}

std::string unsupported_model_dtype(std::string_view dtype) {
  return "ATen view does not support bundle dtype: " + std::string(dtype);
}

at::Tensor model_tensor_view(const ModelBundle& bundle, const TensorDescriptor& descriptor,
                             RaiseError raise) {
  if (!is_model_dtype(descriptor.dtype)) raise(unsupported_model_dtype(descriptor.dtype));
  return tensor_view(bundle, descriptor);
}

at::Tensor model_tensor_view(const ModelBundle& bundle, std::string_view name, RaiseError raise) {
  return model_tensor_view(bundle, bundle.tensor(name), raise);
}

}  // namespace lorvane::detail
