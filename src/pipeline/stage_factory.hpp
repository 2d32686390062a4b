#pragma once

// How a pipeline makes its stages. The default factory makes the processor
// classes; tests and tools derive from it to wrap or replace stages, for
// example to watch the order in which stages see documents.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/pipeline.hpp"

namespace lorvane::detail {

// Whether the name is one of the eleven of the processor table.
bool is_processor_name(const std::string& name);

// A bundle-backed stage of the named class (one of the eleven names).
std::shared_ptr<Processor> make_loaded_processor(const std::string& name,
                                                 std::filesystem::path bundle_dir,
                                                 bool verify_checksums,
                                                 std::vector<std::string> langid_language_subset);

// Safe to share across threads when its overrides are.
class StageFactory {
 public:
  virtual ~StageFactory() = default;
  // A stage loaded from the bundle directory that the model index resolved
  // for `name`, one of the eleven processor names.
  virtual std::shared_ptr<Processor> make_loaded(const std::string& name,
                                                 std::filesystem::path bundle_dir,
                                                 bool verify_checksums,
                                                 const std::vector<std::string>& langid_language_subset) const {
    return make_loaded_processor(name, std::move(bundle_dir), verify_checksums,
                                 langid_language_subset);
  }
  // A stage without a model (no model directory, or a name outside the table).
  virtual std::shared_ptr<Processor> make_unloaded(const std::string& name) const {
    return make_processor(name);
  }
};

struct PipelineAccess {
  // The full pipeline constructor with stages made by `factory`.
  static Pipeline make(const StageFactory& factory, std::string language,
                       std::vector<std::string> processors, std::string package,
                       std::map<std::string, std::string> processor_packages,
                       bool package_is_mapping,
                       const std::optional<std::filesystem::path>& model_dir,
                       std::string resources_version, bool verify_checksums,
                       std::vector<std::string> langid_language_subset) {
    return Pipeline(factory, std::move(language), std::move(processors), std::move(package),
                    std::move(processor_packages), package_is_mapping, model_dir,
                    std::move(resources_version), verify_checksums,
                    std::move(langid_language_subset));
  }
};

}  // namespace lorvane::detail
