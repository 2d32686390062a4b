#pragma once

// A validated chain of processors for one language, loaded from a model
// directory through its model index, run on texts and documents.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"
#include "lorvane/processors.hpp"

namespace lorvane {

namespace detail {
class StageFactory;
struct PipelineAccess;
}  // namespace detail

// Safe to share across threads: complete and immutable once constructed, and
// all running operations are const (as far as the stages' plans allow, which
// all do).
class LORVANE_EXPORT Pipeline {
 public:
  // Checks the arguments (std::invalid_argument), makes one stage per name --
  // loaded from the bundle that the model index under
  // model_dir / resources_version / language names for it and its package when
  // model_dir is given, without a model otherwise -- and then checks that each
  // stage's requirements come earlier (ProcessorRequirementsError).
  Pipeline(std::string language, std::vector<std::string> processors, std::string package,
           std::map<std::string, std::string> processor_packages, bool package_is_mapping,
           const std::optional<std::filesystem::path>& model_dir, std::string resources_version,
           bool verify_checksums, std::vector<std::string> langid_language_subset);
  // One package for every processor.
  Pipeline(std::string language, std::vector<std::string> processors, std::string package,
           const std::optional<std::filesystem::path>& model_dir, std::string resources_version,
           bool verify_checksums, std::vector<std::string> langid_language_subset);
  // Packages per processor; processors without an entry use "default".
  Pipeline(std::string language, std::vector<std::string> processors,
           std::map<std::string, std::string> processor_packages,
           const std::optional<std::filesystem::path>& model_dir, std::string resources_version,
           bool verify_checksums, std::vector<std::string> langid_language_subset);

  const std::string& language() const noexcept { return language_; }
  const std::string& package() const noexcept { return package_; }
  bool package_is_mapping() const noexcept { return package_is_mapping_; }
  const std::map<std::string, std::string>& processor_packages() const noexcept {
    return processor_packages_;
  }
  const std::optional<std::filesystem::path>& model_dir() const noexcept { return model_dir_; }
  const std::string& resources_version() const noexcept { return resources_version_; }
  const std::vector<std::shared_ptr<Processor>>& processors() const noexcept { return processors_; }

  // The processor's own package, or package() when it has none.
  const std::string& package_for(const std::string& processor) const;
  // Throws ProcessorRequirementsError "processor '<name>' is missing
  // requirements: <a>, <b>" for the first stage whose requirements are not
  // provided by the stages before it.
  void validate_requirements() const;

  // Each stage in order; the first failure propagates.
  Document process(Document document) const;
  Document process(std::string text) const;
  // Each stage sees the whole batch before the next stage starts.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;
  std::vector<Document> process_bulk(std::vector<std::string> texts) const;

 private:
  friend struct detail::PipelineAccess;
  Pipeline(const detail::StageFactory& factory, std::string language,
           std::vector<std::string> processors, std::string package,
           std::map<std::string, std::string> processor_packages, bool package_is_mapping,
           const std::optional<std::filesystem::path>& model_dir, std::string resources_version,
           bool verify_checksums, std::vector<std::string> langid_language_subset);

  void check_arguments(const std::vector<std::string>& names) const;
  void make_stages(const detail::StageFactory& factory, const std::vector<std::string>& names,
                   bool verify_checksums, const std::vector<std::string>& langid_language_subset);

  std::string language_;
  std::string package_;
  std::map<std::string, std::string> processor_packages_;
  bool package_is_mapping_ = false;
  std::optional<std::filesystem::path> model_dir_;
  std::string resources_version_;
  std::vector<std::shared_ptr<Processor>> processors_;
};

}  // namespace lorvane
