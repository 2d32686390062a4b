#include "lorvane/pipeline.hpp"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "lorvane/bundle.hpp"
#include "pipeline/pipeline_test_support.hpp"
#include "pipeline/stage_factory.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using testing::models_dir;
using Strings = std::vector<std::string>;
using Packages = std::map<std::string, std::string>;

std::string not_implemented(const std::string& name) {
  return "the '" + name + "' processor is registered but native inference is not implemented";
}

// ---------------------------------------------------------------------------
// Argument checks, in order
// ---------------------------------------------------------------------------

struct ArgumentCase {
  std::string label;
  std::string language;
  Strings names;
  std::string package;
  Packages packages;
  std::string resources_version;
  std::string message;
};

TEST(PipelineArguments, EachCheckReportsItsOwnMessageInOrder) {
  // A model directory that does not exist: none of these may touch a file.
  const std::filesystem::path nowhere = testing::fixture_root() / "no-models-here";
  const std::vector<ArgumentCase> cases = {
      {"all three empty", "", {"tokenize"}, "", {}, "", "a pipeline language is required"},
      {"package and version empty", "en", {"tokenize"}, "", {}, "", "a pipeline package cannot be empty"},
      {"version empty", "en", {"tokenize"}, "default", {}, "", "a pipeline resources version cannot be empty"},
      {"duplicate before unknown names", "en", {"tokenize", "pos", "tokenize", "parse"}, "default", {}, "1.10.0",
       "a processor may only appear once in a pipeline: 'tokenize'"},
      {"duplicate unknown name", "en", {"parse", "parse"}, "default", {}, "1.10.0",
       "a processor may only appear once in a pipeline: 'parse'"},
      {"package for unrequested", "en", {"tokenize"}, "default", {{"ner", "fast"}}, "1.10.0",
       "package was specified for unrequested processor: 'ner'"},
      {"empty package value", "en", {"tokenize", "pos"}, "default", {{"pos", ""}}, "1.10.0",
       "package for processor 'pos' cannot be empty"},
      {"smallest key first: empty value", "en", {"tokenize", "lemma"}, "default",
       {{"lemma", ""}, {"ner", "x"}, {"tokenize", ""}}, "1.10.0", "package for processor 'lemma' cannot be empty"},
      {"smallest key first: unrequested", "en", {"tokenize", "pos"}, "default",
       {{"pos", ""}, {"lemma", "x"}}, "1.10.0", "package was specified for unrequested processor: 'lemma'"},
  };
  for (const ArgumentCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_THROW_MSG(Pipeline(c.language, c.names, c.package, c.packages, !c.packages.empty(), nowhere,
                              c.resources_version, false, {}),
                     std::invalid_argument, c.message);
  }
}

TEST(PipelineArguments, TheMappingFormChecksItsPackages) {
  EXPECT_THROW_MSG(Pipeline("en", {"tokenize"}, Packages{{"ner", "fast"}}, std::nullopt, "1.10.0", false, {}),
                   std::invalid_argument, "package was specified for unrequested processor: 'ner'");
  EXPECT_THROW_MSG(Pipeline("en", {"tokenize", "ner"}, Packages{{"ner", ""}}, std::nullopt, "1.10.0", false, {}),
                   std::invalid_argument, "package for processor 'ner' cannot be empty");
}

TEST(PipelineArguments, AnUnknownNameFailsWhenItsStageIsMade) {
  const std::filesystem::path nowhere = testing::fixture_root() / "no-models-here";
  // With a model directory the name is still not looked up in the index.
  EXPECT_THROW_MSG(Pipeline("en", {"parse"}, "default", nowhere, "1.10.0", false, {}),
                   std::invalid_argument, "unknown processor: 'parse'");
  EXPECT_THROW_MSG(Pipeline("en", {"tokenize", "Pos"}, "default", std::nullopt, "1.10.0", false, {}),
                   std::invalid_argument, "unknown processor: 'Pos'");
}

TEST(PipelineArguments, StoredFieldsAndPackageLookup) {
  const Pipeline single("en", {"tokenize", "pos"}, "fast", std::nullopt, "1.10.0", false, {});
  EXPECT_EQ(single.language(), "en");
  EXPECT_EQ(single.package(), "fast");
  EXPECT_FALSE(single.package_is_mapping());
  EXPECT_TRUE(single.processor_packages().empty());
  EXPECT_EQ(single.model_dir(), std::nullopt);
  EXPECT_EQ(single.resources_version(), "1.10.0");
  EXPECT_EQ(single.package_for("pos"), "fast");

  const Pipeline mapped("en", {"tokenize", "pos"}, Packages{{"pos", "gsd"}}, std::nullopt, "1.10.0", false,
                        {});
  EXPECT_EQ(mapped.package(), "default");
  EXPECT_TRUE(mapped.package_is_mapping());
  EXPECT_EQ(mapped.processor_packages(), (Packages{{"pos", "gsd"}}));
  EXPECT_EQ(mapped.package_for("pos"), "gsd");
  EXPECT_EQ(mapped.package_for("tokenize"), "default");
  EXPECT_EQ(mapped.package_for("not even a processor"), "default");
}

// ---------------------------------------------------------------------------
// Requirements
// ---------------------------------------------------------------------------

struct RequirementCase {
  Strings names;
  std::string message;  // empty: builds
};

TEST(PipelineRequirements, EveryStageNeedsItsRequirementsEarlier) {
  const std::vector<RequirementCase> cases = {
      {{"tokenize", "pos", "lemma", "depparse"}, ""},
      {{"tokenize", "mwt", "pos", "lemma", "depparse", "ner", "sentiment", "constituency", "coref", "morphseg"}, ""},
      {{"langid", "tokenize"}, ""},
      {{"langid"}, ""},
      {{}, ""},
      {{"pos", "tokenize"}, "processor 'pos' is missing requirements: tokenize"},
      {{"depparse"}, "processor 'depparse' is missing requirements: tokenize, pos, lemma"},
      {{"tokenize", "depparse"}, "processor 'depparse' is missing requirements: pos, lemma"},
      {{"tokenize", "lemma", "depparse", "pos"}, "processor 'depparse' is missing requirements: pos"},
      {{"tokenize", "constituency"}, "processor 'constituency' is missing requirements: pos"},
      {{"mwt"}, "processor 'mwt' is missing requirements: tokenize"},
      {{"tokenize", "pos", "lemma", "ner", "coref", "sentiment", "morphseg", "mwt"}, ""},
  };
  for (const RequirementCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.names));
    if (c.message.empty()) {
      const Pipeline pipeline("en", c.names, "default", std::nullopt, "1.10.0", false, {});
      EXPECT_EQ(pipeline.processors().size(), c.names.size());
      EXPECT_NO_THROW(pipeline.validate_requirements());
    } else {
      EXPECT_THROW_MSG(Pipeline("en", c.names, "default", std::nullopt, "1.10.0", false, {}),
                       ProcessorRequirementsError, c.message);
    }
  }
}

// A factory that makes stages with chosen requirements, to show that a stage
// never satisfies itself and that `provides`, not the name, is what counts.
class SpecFactory final : public detail::StageFactory {
 public:
  explicit SpecFactory(std::map<std::string, Strings> requirements) : requirements_(std::move(requirements)) {}
  std::shared_ptr<Processor> make_unloaded(const std::string& name) const override {
    return std::make_shared<testing::RecordingStage>(nullptr, ProcessorSpec(name, requirements_.at(name), "ud"),
                                                     std::make_shared<testing::EventLog>());
  }

 private:
  std::map<std::string, Strings> requirements_;
};

TEST(PipelineRequirements, AStageNeverSatisfiesItself) {
  const SpecFactory factory({{"a", {"a"}}, {"b", {"a", "c", "b"}}, {"c", {}}});
  EXPECT_THROW_MSG(detail::PipelineAccess::make(factory, "en", {"a"}, "default", {}, false, std::nullopt,
                                                "1.10.0", false, {}),
                   ProcessorRequirementsError, "processor 'a' is missing requirements: a");
  EXPECT_THROW_MSG(detail::PipelineAccess::make(factory, "en", {"c", "b"}, "default", {}, false, std::nullopt,
                                                "1.10.0", false, {}),
                   ProcessorRequirementsError, "processor 'b' is missing requirements: a, b");
}

// ---------------------------------------------------------------------------
// Without a model directory
// ---------------------------------------------------------------------------

TEST(PipelineWithoutModels, StagesHaveNoPlanAndTheFirstOneFails) {
  const Pipeline pipeline("en", {"tokenize", "pos", "lemma", "depparse"}, "default", std::nullopt, "1.10.0",
                          false, {});
  ASSERT_EQ(pipeline.processors().size(), 4u);
  const Strings names = {"tokenize", "pos", "lemma", "depparse"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(pipeline.processors()[i]->name(), names[i]);
    EXPECT_FALSE(pipeline.processors()[i]->implemented());
  }
  EXPECT_THROW_MSG(pipeline.process("Hello there."), ProcessorNotImplementedError, not_implemented("tokenize"));
  EXPECT_THROW_MSG(pipeline.process_bulk(Strings{"a", "b"}), ProcessorNotImplementedError,
                   not_implemented("tokenize"));
  EXPECT_TRUE(pipeline.process_bulk(Strings{}).empty());
}

TEST(PipelineWithoutModels, AnEmptyPipelineReturnsTheDocumentsItMade) {
  const Pipeline pipeline("en", {}, "default", std::nullopt, "1.10.0", false, {});
  const Document doc = pipeline.process("Some text, untouched.");
  EXPECT_EQ(doc.text(), "Some text, untouched.");
  EXPECT_EQ(doc.sentences().size(), 0u);
  EXPECT_EQ(doc.lang(), std::nullopt);

  const Document given("given");
  EXPECT_TRUE(pipeline.process(given).same_storage(given));

  const std::vector<Document> docs = pipeline.process_bulk(Strings{"one", "two", ""});
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_EQ(docs[0].text(), "one");
  EXPECT_EQ(docs[2].text(), "");
}

TEST(PipelineWithoutModels, InvalidUtf8FailsBeforeAnyStage) {
  const Pipeline pipeline("en", {"tokenize"}, "default", std::nullopt, "1.10.0", false, {});
  EXPECT_THROW_MSG(pipeline.process(std::string("ab\xC3(")), std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset 3");
  EXPECT_THROW_MSG(pipeline.process_bulk(Strings{"fine", "\x80"}), std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset 0");
}

// ---------------------------------------------------------------------------
// Resolution through the model index
// ---------------------------------------------------------------------------

struct MadeStage {
  std::string name;
  std::filesystem::path dir;
  bool verify;
  Strings subset;
};

// Records what the pipeline asks for and makes stages without plans.
class RecordingFactory final : public detail::StageFactory {
 public:
  std::shared_ptr<Processor> make_loaded(const std::string& name, std::filesystem::path dir, bool verify,
                                         const Strings& subset) const override {
    made.push_back({name, std::move(dir), verify, subset});
    return make_processor(name);
  }
  std::shared_ptr<Processor> make_unloaded(const std::string& name) const override {
    unloaded.push_back(name);
    return make_processor(name);
  }
  mutable std::vector<MadeStage> made;
  mutable Strings unloaded;
};

const Strings kAllNames = {"langid", "tokenize", "mwt", "pos", "lemma", "depparse",
                           "ner", "sentiment", "constituency", "coref", "morphseg"};

std::filesystem::path packages_base() {
  return std::filesystem::absolute(testing::fixture_root() / "packages") / "1.10.0" / "en";
}

TEST(PipelineResolution, EveryProcessorIsResolvedWithItsPackage) {
  RecordingFactory factory;
  const Pipeline pipeline = detail::PipelineAccess::make(
      factory, "en", kAllNames, "default", Packages{{"pos", "fast"}}, true, testing::fixture_root() / "packages",
      "1.10.0", true, {"en", "fr"});
  ASSERT_EQ(factory.made.size(), kAllNames.size());
  EXPECT_TRUE(factory.unloaded.empty());
  for (std::size_t i = 0; i < kAllNames.size(); ++i) {
    SCOPED_TRACE(kAllNames[i]);
    const MadeStage& made = factory.made[i];
    EXPECT_EQ(made.name, kAllNames[i]);
    const std::string package = kAllNames[i] == "pos" ? "fast" : "std";
    EXPECT_EQ(made.dir, packages_base() / kAllNames[i] / package);
    EXPECT_TRUE(made.verify);
    EXPECT_EQ(made.subset, (Strings{"en", "fr"}));
  }
  EXPECT_EQ(pipeline.processors().size(), kAllNames.size());
}

TEST(PipelineResolution, OnePackageForAllProcessors) {
  RecordingFactory factory;
  detail::PipelineAccess::make(factory, "en", {"tokenize", "pos"}, "std", {}, false,
                               testing::fixture_root() / "packages", "1.10.0", false, {});
  ASSERT_EQ(factory.made.size(), 2u);
  EXPECT_EQ(factory.made[1].dir, packages_base() / "pos" / "std");
  EXPECT_FALSE(factory.made[1].verify);
}

TEST(PipelineResolution, IndexErrorsPropagate) {
  RecordingFactory factory;
  const std::filesystem::path root = testing::fixture_root() / "packages";
  // "default" matches both pos entries.
  EXPECT_THROW_MSG(detail::PipelineAccess::make(factory, "en", {"tokenize", "pos"}, "default", {}, false, root,
                                                "1.10.0", false, {}),
                   ModelBundleError, "package 'default' is ambiguous for converted processor 'pos'");
  EXPECT_THROW_MSG(detail::PipelineAccess::make(factory, "en", {"tokenize"}, "gsd", {}, false, root, "1.10.0",
                                                false, {}),
                   ModelBundleError, "no converted bundle for en/tokenize/gsd");
  EXPECT_THROW_MSG(detail::PipelineAccess::make(factory, "de", {"tokenize"}, "std", {}, false, root, "1.10.0",
                                                false, {}),
                   ModelBundleError,
                   "cannot open JSON file: " +
                       (std::filesystem::absolute(root) / "1.10.0" / "de" / "index.json").string());
  EXPECT_THROW_MSG(Pipeline("en/x", {"tokenize"}, "std", root, "1.10.0", false, {}), ModelBundleError,
                   "invalid language: en/x");
}

TEST(PipelineResolution, BundlesLoadInListOrderBeforeTheRequirementCheck) {
  RecordingFactory factory;
  EXPECT_THROW_MSG(detail::PipelineAccess::make(factory, "en", {"pos", "tokenize"}, "std", {}, false,
                                                testing::fixture_root() / "packages", "1.10.0", false, {}),
                   ProcessorRequirementsError, "processor 'pos' is missing requirements: tokenize");
  ASSERT_EQ(factory.made.size(), 2u);
  EXPECT_EQ(factory.made[0].name, "pos");
  EXPECT_EQ(factory.made[1].name, "tokenize");
}

TEST(PipelineResolution, WithoutAModelDirectoryNothingIsResolved) {
  RecordingFactory factory;
  detail::PipelineAccess::make(factory, "en", {"tokenize", "pos"}, "std", {}, false, std::nullopt, "1.10.0",
                               false, {});
  EXPECT_TRUE(factory.made.empty());
  EXPECT_EQ(factory.unloaded, (Strings{"tokenize", "pos"}));
}

TEST(PipelineWithModels, PlanErrorsOfLaterStagesPropagate) {
  struct Case {
    Strings names;
    std::string language;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"langid"}, "en", "no native langid model profile is supported"},
      {{"tokenize", "coref"}, "en", "no native coref model profile is supported"},
      {{"pos"}, "xx", "expected a POS bundle, got 'ner'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_THROW_MSG(Pipeline(c.language, c.names, "default", models_dir(), "1.10.0", false, {}),
                     ModelBundleError, c.message);
  }
}

}  // namespace
}  // namespace lorvane
