#include "lorvane/pipeline.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <utility>

#include "lorvane/bundle.hpp"
#include "pipeline/stage_factory.hpp"

namespace lorvane {

namespace detail {

bool is_processor_name(const std::string& name) {
  static const std::vector<ProcessorSpec> specs = processor_specs();
  return std::ranges::any_of(specs, [&](const ProcessorSpec& spec) { return spec.name == name; });
}

std::shared_ptr<Processor> make_loaded_processor(const std::string& name,
                                                 std::filesystem::path dir, bool verify,
                                                 std::vector<std::string> langid_language_subset) {
  if (name == "langid") {
    return std::make_shared<LangIDProcessor>(std::move(dir), verify,
                                             std::move(langid_language_subset));
  }
  if (name == "tokenize") return std::make_shared<TokenizeProcessor>(std::move(dir), verify);
  if (name == "mwt") return std::make_shared<MWTProcessor>(std::move(dir), verify);
  if (name == "pos") return std::make_shared<POSProcessor>(std::move(dir), verify);
  if (name == "lemma") return std::make_shared<LemmaProcessor>(std::move(dir), verify);
  if (name == "depparse") return std::make_shared<DepparseProcessor>(std::move(dir), verify);
  if (name == "ner") return std::make_shared<NERProcessor>(std::move(dir), verify);
  if (name == "sentiment") return std::make_shared<SentimentProcessor>(std::move(dir), verify);
  if (name == "constituency") {
    return std::make_shared<ConstituencyProcessor>(std::move(dir), verify);
  }
  if (name == "coref") return std::make_shared<CorefProcessor>(std::move(dir), verify);
  if (name == "morphseg") return std::make_shared<MorphSegProcessor>(std::move(dir), verify);
  throw std::invalid_argument("unknown processor: '" + name + "'");
}

}  // namespace detail

namespace {

const detail::StageFactory& default_factory() {
  static const detail::StageFactory factory;
  return factory;
}

}  // namespace

Pipeline::Pipeline(std::string language, std::vector<std::string> processors, std::string package,
                   std::map<std::string, std::string> processor_packages, bool package_is_mapping,
                   const std::optional<std::filesystem::path>& model_dir,
                   std::string resources_version, bool verify_checksums,
                   std::vector<std::string> langid_language_subset)
    : Pipeline(default_factory(), std::move(language), std::move(processors), std::move(package),
               std::move(processor_packages), package_is_mapping, model_dir,
               std::move(resources_version), verify_checksums,
               std::move(langid_language_subset)) {}

Pipeline::Pipeline(std::string language, std::vector<std::string> processors, std::string package,
                   const std::optional<std::filesystem::path>& model_dir,
                   std::string resources_version, bool verify_checksums,
                   std::vector<std::string> langid_language_subset)
    : Pipeline(std::move(language), std::move(processors), std::move(package), {}, false,
               model_dir, std::move(resources_version), verify_checksums,
               std::move(langid_language_subset)) {}

Pipeline::Pipeline(std::string language, std::vector<std::string> processors,
                   std::map<std::string, std::string> processor_packages,
                   const std::optional<std::filesystem::path>& model_dir,
                   std::string resources_version, bool verify_checksums,
                   std::vector<std::string> langid_language_subset)
    : Pipeline(std::move(language), std::move(processors), "default",
               std::move(processor_packages), true, model_dir, std::move(resources_version),
               verify_checksums, std::move(langid_language_subset)) {}

Pipeline::Pipeline(const detail::StageFactory& factory, std::string language,
                   std::vector<std::string> processors, std::string package,
                   std::map<std::string, std::string> processor_packages, bool package_is_mapping,
                   const std::optional<std::filesystem::path>& model_dir,
                   std::string resources_version, bool verify_checksums,
                   std::vector<std::string> langid_language_subset)
    : language_(std::move(language)),
      package_(std::move(package)),
      processor_packages_(std::move(processor_packages)),
      package_is_mapping_(package_is_mapping),
      model_dir_(model_dir),
      resources_version_(std::move(resources_version)) {
  processors_.reserve(processors.size());
  check_arguments(processors);
  make_stages(factory, processors, verify_checksums, langid_language_subset);
  validate_requirements();
}

// Every argument check runs before any bundle is opened.
void Pipeline::check_arguments(const std::vector<std::string>& names) const {
  if (language_.empty()) throw std::invalid_argument("a pipeline language is required");
  if (package_.empty()) throw std::invalid_argument("a pipeline package cannot be empty");
  if (resources_version_.empty()) {
    throw std::invalid_argument("a pipeline resources version cannot be empty");
  }
  std::set<std::string> requested;
  for (const std::string& name : names) {
    if (!requested.insert(name).second) {
      throw std::invalid_argument("a processor may only appear once in a pipeline: '" + name +
                                  "'");
    }
  }
  for (const auto& [processor, package] : processor_packages_) {
    if (!requested.contains(processor)) {
      throw std::invalid_argument("package was specified for unrequested processor: '" +
                                  processor + "'");
    }
    if (package.empty()) {
      throw std::invalid_argument("package for processor '" + processor + "' cannot be empty");
    }
  }
}

void Pipeline::make_stages(const detail::StageFactory& factory,
                           const std::vector<std::string>& names, bool verify_checksums,
                           const std::vector<std::string>& langid_language_subset) {
  for (const std::string& name : names) {
    if (model_dir_ && detail::is_processor_name(name)) {
      std::filesystem::path bundle_dir = resolve_model_bundle(
          *model_dir_, resources_version_, language_, name, package_for(name));
      processors_.push_back(
          factory.make_loaded(name, std::move(bundle_dir), verify_checksums, langid_language_subset));
    } else {
      processors_.push_back(factory.make_unloaded(name));
    }
  }
}

const std::string& Pipeline::package_for(const std::string& processor) const {
  const auto entry = processor_packages_.find(processor);
  return entry == processor_packages_.end() ? package_ : entry->second;
}

void Pipeline::validate_requirements() const {
  std::set<std::string> provided;
  for (const std::shared_ptr<Processor>& stage : processors_) {
    std::string missing;
    for (const std::string& requirement : stage->requirements()) {
      if (provided.contains(requirement)) continue;
      if (!missing.empty()) missing += ", ";
      missing += requirement;
    }
    if (!missing.empty()) {
      throw ProcessorRequirementsError("processor '" + stage->name() +
                                       "' is missing requirements: " + missing);
    }
    provided.insert(stage->provides().begin(), stage->provides().end());
  }
}

Document Pipeline::process(Document document) const {
  for (const std::shared_ptr<Processor>& stage : processors_) {
    document = stage->process(std::move(document));
  }
  return document;
}

Document Pipeline::process(std::string text) const { return process(Document(std::move(text))); }

std::vector<Document> Pipeline::process_bulk(std::vector<Document> documents) const {
  for (const std::shared_ptr<Processor>& stage : processors_) {
    documents = stage->process_bulk(std::move(documents));
  }
  return documents;
}

std::vector<Document> Pipeline::process_bulk(std::vector<std::string> texts) const {
  std::vector<Document> documents;
  documents.reserve(texts.size());
  for (std::string& text : texts) documents.emplace_back(std::move(text));
  return process_bulk(std::move(documents));
}

}  // namespace lorvane
