#pragma once

// The manifest's "tensors" list: element types, reading and validating each
// entry against the tensor file, and checksum verification of a loaded bundle.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "bundle/json.hpp"
#include "bundle/model_bundle_impl.hpp"

namespace lorvane::detail {

// Element size in bytes of a dtype name (exact, case-sensitive). Throws
// ModelBundleError "unsupported tensor dtype: <dtype>".
std::uint64_t dtype_size(std::string_view dtype);

// The element size times the dimensions, or nothing when a dimension is
// negative or the product does not fit in 64 bits.
std::optional<std::uint64_t> tensor_byte_count(std::uint64_t element_size, std::span<const std::int64_t> shape);

// Reads the "tensors" array (already taken as an array) into impl.tensors and
// impl.tensor_index, validating every entry against the alignment and the
// mapped tensor file's size. Throws ModelBundleError or JsonError.
void read_tensor_table(const JsonValue::Array& entries, std::uint64_t alignment, ModelBundle::Impl& impl);

// Compares every digest of the manifest with the loaded bundle's bytes, in
// the order assets, tensor file, tensors, artifacts; the first mismatch throws
// ModelBundleError. Sets impl.checksums_verified when all match.
void verify_checksums(const JsonValue& manifest, ModelBundle::Impl& impl);

}  // namespace lorvane::detail
