#include "bundle/tensor_table.hpp"

#include <array>
#include <string>
#include <utility>

#include "bundle/sha256.hpp"
#include "bundle/bundle_fields.hpp"
#include "lorvane/errors.hpp"

namespace lorvane::detail {
namespace {

struct DtypeEntry {
  std::string_view name;
  std::uint64_t size;
};

constexpr std::array<DtypeEntry, 15> kDtypes = {{
    {"bool", 1},
    {"int8", 1},
    {"uint8", 1},
    {"int16", 2},
    {"uint16", 2},
    {"float16", 2},
    {"bfloat16", 2},
    {"int32", 4},
    {"uint32", 4},
    {"float32", 4},
    {"int64", 8},
    {"uint64", 8},
    {"float64", 8},
    {"complex64", 8},
    {"complex128", 16},
}};

// message ends with the opening quote.
[[noreturn]] void fail_named(std::string_view message, std::string_view name) {
  std::string text(message);
  text += name;
  text += '\'';
  throw ModelBundleError(text);
}

TensorDescriptor read_entry(const JsonValue& entry, const std::string& context) {
  TensorDescriptor d;
  d.name = entry.at("name", context).as_string(context);
  d.dtype = entry.at("dtype", context).as_string(context);
  d.offset = non_negative_integer(entry.at("offset", context), context + ".offset");
  d.nbytes = non_negative_integer(entry.at("nbytes", context), context + ".nbytes");
  d.sha256 = entry.at("sha256", context).as_string(context);
  const std::string shape_context = context + ".shape";
  const auto& dims = entry.at("shape", context).as_array(shape_context);
  d.shape.reserve(dims.size());
  for (const auto& dim : dims) {
    const std::int64_t value = dim.as_integer(shape_context);
    if (value < 0) fail_named("negative tensor dimension for '", d.name);
    d.shape.push_back(value);
  }
  return d;
}

// Checks the entry against the running end of the previous entry and the file
// size. Range checks come before the dtype, the dtype before the byte count.
void validate_entry(const TensorDescriptor& d, std::uint64_t alignment, std::uint64_t running_end,
                    std::uint64_t file_size) {
  if (d.offset % alignment != 0) fail_named("misaligned tensor: '", d.name);
  if (d.offset < running_end || d.offset > file_size || d.nbytes > file_size - d.offset) {
    fail_named("invalid tensor range: '", d.name);
  }
  const std::optional<std::uint64_t> expected = tensor_byte_count(dtype_size(d.dtype), d.shape);
  if (!expected) fail_named("tensor size overflow: '", d.name);
  if (d.nbytes != *expected) fail_named("tensor byte size does not match dtype and shape: '", d.name);
}

std::string digest_of(const std::uint8_t* base, std::uint64_t offset, std::uint64_t size) {
  return sha256_hex(base == nullptr ? nullptr : base + offset, size);
}

}  // namespace

std::uint64_t dtype_size(std::string_view dtype) {
  for (const auto& entry : kDtypes) {
    if (entry.name == dtype) return entry.size;
  }
  throw ModelBundleError("unsupported tensor dtype: " + std::string(dtype));
}

std::optional<std::uint64_t> tensor_byte_count(std::uint64_t element_size, std::span<const std::int64_t> shape) {
  std::uint64_t count = element_size;
  for (const std::int64_t dim : shape) {
    if (dim < 0 || __builtin_mul_overflow(count, static_cast<std::uint64_t>(dim), &count)) return std::nullopt;
  }
  return count;
}

void read_tensor_table(const JsonValue::Array& entries, std::uint64_t alignment, ModelBundle::Impl& impl) {
  const std::uint64_t file_size = impl.tensor_file->size;
  std::uint64_t running_end = 0;
  impl.tensors.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string context = "manifest.tensors[" + std::to_string(i) + "]";
    TensorDescriptor descriptor = read_entry(entries[i], context);
    validate_entry(descriptor, alignment, running_end, file_size);
    if (impl.tensor_index.contains(descriptor.name)) fail_named("duplicate tensor name: '", descriptor.name);
    impl.tensor_index.emplace(descriptor.name, impl.tensors.size());
    running_end = descriptor.offset + descriptor.nbytes;
    impl.tensors.push_back(std::move(descriptor));
  }
}

void verify_checksums(const JsonValue& manifest, ModelBundle::Impl& impl) {
  const std::string& assets_digest =
      manifest.at("assets", "manifest").at("sha256", "manifest.assets").as_string("");
  if (sha256_hex(impl.assets_json.data(), impl.assets_json.size()) != assets_digest) {
    throw ModelBundleError("assets checksum mismatch");
  }

  const std::string& file_digest =
      manifest.at("tensor_file", "manifest").at("sha256", "manifest.tensor_file").as_string("");
  const std::uint8_t* base = impl.tensor_file->data;
  if (digest_of(base, 0, impl.tensor_file->size) != file_digest) {
    throw ModelBundleError("tensor file checksum mismatch");
  }

  for (const auto& tensor : impl.tensors) {
    if (digest_of(base, tensor.offset, tensor.nbytes) != tensor.sha256) {
      fail_named("tensor checksum mismatch: '", tensor.name);
    }
  }

  for (const auto& artifact : impl.artifacts) {
    if (digest_of(artifact.file->data, 0, artifact.file->size) != artifact.sha256) {
      fail_named("artifact checksum mismatch: '", artifact.path);
    }
  }
  impl.checksums_verified = true;
}

}  // namespace lorvane::detail
