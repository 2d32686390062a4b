#include <stdexcept>
#include <string>
#include <utility>

#include "bundle/bundle_fields.hpp"
#include "bundle/json.hpp"
#include "bundle/mapped_file.hpp"
#include "bundle/model_bundle_impl.hpp"
#include "bundle/tensor_table.hpp"
#include "lorvane/bundle.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;

constexpr std::string_view kBundleFormat = "lorvane-model-bundle";

void open_directory(const std::filesystem::path& given, ModelBundle::Impl& impl) {
  impl.path = std::filesystem::absolute(given);
  if (!std::filesystem::is_directory(std::filesystem::status(impl.path))) {
    throw ModelBundleError("model bundle is not a directory: " + impl.path.string());
  }
}

void check_format(const JsonValue& manifest) {
  if (manifest.at("format", "manifest").as_string("") != kBundleFormat) {
    throw ModelBundleError("unsupported model bundle format");
  }
  if (manifest.at("format_version", "manifest").as_integer("") != 1) {
    throw ModelBundleError("unsupported model bundle version");
  }
  if (manifest.at("byte_order", "manifest").as_string("") != "little") {
    throw ModelBundleError("only little-endian bundles are supported");
  }
}

void read_identity(const JsonValue& manifest, ModelBundle::Impl& impl) {
  impl.language = manifest.at("language", "manifest").as_string("");
  impl.processor = manifest.at("processor", "manifest").as_string("");
  impl.package = manifest.at("package", "manifest").as_string("");
  impl.tavrin_version = manifest.at("tavrin_version", "manifest").as_string("");
  impl.resources_version = manifest.at("resources_version", "manifest").as_string("");
}

std::uint64_t read_alignment(const JsonValue& manifest) {
  const std::uint64_t alignment =
      detail::non_negative_integer(manifest.at("tensor_alignment", "manifest"), "manifest.tensor_alignment");
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    throw ModelBundleError("tensor alignment must be a non-zero power of two");
  }
  return alignment;
}

void read_assets(const JsonValue& manifest, ModelBundle::Impl& impl) {
  const JsonValue& assets = manifest.at("assets", "manifest");
  const auto relative = detail::bundle_relative_path(assets.at("path", "manifest.assets"), "manifest.assets.path");
  impl.assets_json = detail::load_regular_text_file(impl.path / relative);
}

void map_tensor_file(const JsonValue& manifest, ModelBundle::Impl& impl) {
  const JsonValue& tensor_file = manifest.at("tensor_file", "manifest");
  const auto relative =
      detail::bundle_relative_path(tensor_file.at("path", "manifest.tensor_file"), "manifest.tensor_file.path");
  impl.tensor_file = std::make_unique<detail::MappedFile>(impl.path / relative);
  const std::uint64_t size =
      detail::non_negative_integer(tensor_file.at("size", "manifest.tensor_file"), "manifest.tensor_file.size");
  if (size != impl.tensor_file->size) throw ModelBundleError("tensor file size mismatch");
}

void map_artifact(const JsonValue& entry, const std::string& context, ModelBundle::Impl& impl) {
  const auto relative = detail::bundle_relative_path(entry.at("path", context), context + ".path");
  auto file = std::make_unique<detail::MappedFile>(impl.path / relative);
  const std::uint64_t size = detail::non_negative_integer(entry.at("size", context), context + ".size");
  if (size != file->size) {
    throw ModelBundleError("artifact file size mismatch: '" + relative.string() + "'");
  }
  std::string digest = entry.at("sha256", context).as_string(context + ".sha256");
  impl.artifacts.push_back({relative.string(), std::move(digest), std::move(file)});
}

void map_artifacts(const JsonValue& manifest, ModelBundle::Impl& impl) {
  const JsonValue* artifacts = manifest.find("artifacts");
  if (artifacts == nullptr) return;
  const auto& entries = artifacts->as_array("manifest.artifacts");
  impl.artifacts.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    map_artifact(entries[i], "manifest.artifacts[" + std::to_string(i) + "]", impl);
  }
}

std::unique_ptr<ModelBundle::Impl> load_bundle(std::filesystem::path given, bool verify_checksums) {
  auto impl = std::make_unique<ModelBundle::Impl>();
  open_directory(given, *impl);
  const JsonValue manifest = detail::load_regular_json(impl->path / "manifest.json");
  check_format(manifest);
  read_identity(manifest, *impl);
  const std::uint64_t alignment = read_alignment(manifest);
  read_assets(manifest, *impl);
  map_tensor_file(manifest, *impl);
  map_artifacts(manifest, *impl);
  detail::read_tensor_table(manifest.at("tensors", "manifest").as_array("manifest.tensors"), alignment, *impl);
  if (verify_checksums) detail::verify_checksums(manifest, *impl);
  return impl;
}

}  // namespace

ModelBundle::ModelBundle(std::filesystem::path path, bool verify_checksums) {
  try {
    impl_ = load_bundle(std::move(path), verify_checksums);
  } catch (const detail::JsonError& e) {
    throw ModelBundleError(e.what());
  }
}

ModelBundle::ModelBundle(ModelBundle&& other) noexcept = default;
ModelBundle& ModelBundle::operator=(ModelBundle&& other) noexcept = default;
ModelBundle::~ModelBundle() = default;

const ModelBundle::Impl& ModelBundle::impl() const {
  if (!impl_) throw std::logic_error("model bundle has been moved from");
  return *impl_;
}

const std::filesystem::path& ModelBundle::path() const { return impl().path; }
const std::string& ModelBundle::language() const { return impl().language; }
const std::string& ModelBundle::processor() const { return impl().processor; }
const std::string& ModelBundle::package() const { return impl().package; }
const std::string& ModelBundle::tavrin_version() const { return impl().tavrin_version; }
const std::string& ModelBundle::resources_version() const { return impl().resources_version; }
bool ModelBundle::checksums_verified() const { return impl().checksums_verified; }
const std::string& ModelBundle::assets_json() const { return impl().assets_json; }
std::uint64_t ModelBundle::tensor_file_size() const { return impl().tensor_file->size; }
const std::vector<TensorDescriptor>& ModelBundle::tensors() const { return impl().tensors; }

std::vector<std::string> ModelBundle::tensor_names() const {
  std::vector<std::string> names;
  names.reserve(impl().tensors.size());
  for (const auto& tensor : impl().tensors) names.push_back(tensor.name);
  return names;
}

const TensorDescriptor& ModelBundle::tensor(std::string_view name) const {
  const auto& state = impl();
  const auto found = state.tensor_index.find(name);
  if (found == state.tensor_index.end()) {
    throw ModelBundleError("tensor is not present in bundle: '" + std::string(name) + "'");
  }
  return state.tensors[found->second];
}

const void* ModelBundle::tensor_data(std::string_view name) const {
  const TensorDescriptor& descriptor = tensor(name);
  const std::uint8_t* base = impl().tensor_file->data;
  return base == nullptr ? nullptr : base + descriptor.offset;
}

}  // namespace lorvane
