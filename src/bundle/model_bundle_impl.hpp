#pragma once

// The state of an opened ModelBundle, for the bundle layer and the library's
// own components and tests.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bundle/mapped_file.hpp"
#include "lorvane/bundle.hpp"

namespace lorvane::detail {

// One entry of the manifest's "artifacts": mapped and size-checked at load,
// opened by its consumer under the bundle directory.
struct BundleArtifact {
  std::string path;  // bundle-relative, as written in the manifest
  std::string sha256;
  std::unique_ptr<MappedFile> file;
};

struct StringViewHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

using TensorIndex = std::unordered_map<std::string, std::size_t, StringViewHash, std::equal_to<>>;

}  // namespace lorvane::detail

namespace lorvane {

// Immutable after the constructor of ModelBundle returns.
struct ModelBundle::Impl {
  std::filesystem::path path;
  std::string language;
  std::string processor;
  std::string package;
  std::string tavrin_version;
  std::string resources_version;
  bool checksums_verified = false;
  std::string assets_json;
  std::vector<TensorDescriptor> tensors;
  detail::TensorIndex tensor_index;
  std::unique_ptr<detail::MappedFile> tensor_file;
  std::vector<detail::BundleArtifact> artifacts;
};

}  // namespace lorvane
