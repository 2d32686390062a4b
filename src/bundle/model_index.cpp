#include <string>
#include <vector>

#include "bundle/bundle_fields.hpp"
#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;

constexpr std::string_view kIndexFormat = "lorvane-model-index";
constexpr std::string_view kDefaultPackage = "default";

void check_index_format(const JsonValue& index) {
  if (index.at("format", "index").as_string("") != kIndexFormat ||
      index.at("format_version", "index").as_integer("") != 1) {
    throw ModelBundleError("unsupported model index format");
  }
}

void check_index_identity(const JsonValue& index, std::string_view resources_version, std::string_view language) {
  const bool same_version = index.at("resources_version", "index").as_string("") == resources_version;
  const bool same_language = index.at("language", "index").as_string("") == language;
  if (!same_version || !same_language) throw ModelBundleError("model index identity does not match requested model");
}

std::vector<std::filesystem::path> matching_bundles(const JsonValue& index, const std::filesystem::path& base,
                                                    std::string_view processor, std::string_view package) {
  std::vector<std::filesystem::path> matches;
  for (const JsonValue& entry : index.at("bundles", "index").as_array("index.bundles")) {
    if (entry.at("processor", "index.bundles[]").as_string("") != processor) continue;
    const std::string& entry_package = entry.at("package", "index.bundles[]").as_string("");
    if (package != kDefaultPackage && entry_package != package) continue;
    matches.push_back(base / detail::bundle_relative_path(entry.at("path", "index.bundles[]"), "index.bundles[].path"));
  }
  return matches;
}

std::filesystem::path resolve(const std::filesystem::path& model_dir, std::string_view resources_version,
                              std::string_view language, std::string_view processor, std::string_view package) {
  std::filesystem::path base;
  try {
    base = std::filesystem::absolute(model_dir);
  } catch (const std::filesystem::filesystem_error& e) {
    throw ModelBundleError("cannot resolve model directory: " + model_dir.string() + ": " + e.code().message());
  }
  base = base / std::string(resources_version) / std::string(language);

  const JsonValue index = detail::load_regular_json(base / "index.json");
  check_index_format(index);
  check_index_identity(index, resources_version, language);
  auto matches = matching_bundles(index, base, processor, package);
  if (matches.empty()) {
    throw ModelBundleError("no converted bundle for " + std::string(language) + "/" + std::string(processor) + "/" +
                           std::string(package));
  }
  if (matches.size() > 1) {
    throw ModelBundleError("package 'default' is ambiguous for converted processor '" + std::string(processor) + "'");
  }
  return std::move(matches.front());
}

}  // namespace

std::filesystem::path resolve_model_bundle(const std::filesystem::path& model_dir, std::string_view resources_version,
                                           std::string_view language, std::string_view processor,
                                           std::string_view package) {
  // The names become path components: check them before touching any file.
  detail::validate_model_name(resources_version, "resources version");
  detail::validate_model_name(language, "language");
  detail::validate_model_name(processor, "processor");
  detail::validate_model_name(package, "package");
  try {
    return resolve(model_dir, resources_version, language, processor, package);
  } catch (const detail::JsonError& e) {
    throw ModelBundleError(e.what());
  } catch (const std::filesystem::filesystem_error& e) {
    throw ModelBundleError(e.what());
  }
}

}  // namespace lorvane
