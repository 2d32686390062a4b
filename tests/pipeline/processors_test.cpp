#include "lorvane/processors.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <type_traits>
#include <typeinfo>

#include "lorvane/bundle.hpp"
#include "lorvane/constituency.hpp"
#include "lorvane/coref_plan.hpp"
#include "lorvane/langid.hpp"
#include "lorvane/lemma.hpp"
#include "lorvane/morphseg.hpp"
#include "lorvane/mwt.hpp"
#include "lorvane/ner.hpp"
#include "lorvane/pos.hpp"
#include "lorvane/sentiment.hpp"
#include "models/constituency/plan_impl.hpp"
#include "models/lemma/plan_impl.hpp"
#include "models/pos/plan_impl.hpp"
#include "models/sentiment/plan_impl.hpp"
#include "pipeline/pipeline_test_support.hpp"
#include "pipeline/processor_access.hpp"
#include "pipeline/stage_factory.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using detail::ProcessorAccess;
using testing::bundle_dir;
using testing::document_with_words;
using Strings = std::vector<std::string>;

std::string not_implemented(const std::string& name) {
  return "the '" + name + "' processor is registered but native inference is not implemented";
}

std::string no_bundle(const std::string& name) {
  return "the '" + name + "' processor has no loaded model bundle";
}

// ---------------------------------------------------------------------------
// The table, the base and the factory
// ---------------------------------------------------------------------------

struct SpecRow {
  std::string name;
  Strings requirements;
  std::string module;
};

const std::vector<SpecRow>& expected_table() {
  static const std::vector<SpecRow> rows = {
      {"langid", {}, "extended"},
      {"tokenize", {}, "ud"},
      {"mwt", {"tokenize"}, "ud"},
      {"pos", {"tokenize"}, "ud"},
      {"lemma", {"tokenize"}, "ud"},
      {"depparse", {"tokenize", "pos", "lemma"}, "ud"},
      {"ner", {"tokenize"}, "extended"},
      {"sentiment", {"tokenize"}, "extended"},
      {"constituency", {"tokenize", "pos"}, "extended"},
      {"coref", {"tokenize"}, "coref"},
      {"morphseg", {"tokenize"}, "extended"},
  };
  return rows;
}

TEST(ProcessorSpecs, ElevenProcessorsInTableOrder) {
  const std::vector<ProcessorSpec> specs = processor_specs();
  ASSERT_EQ(specs.size(), expected_table().size());
  for (std::size_t i = 0; i < specs.size(); ++i) {
    SCOPED_TRACE(expected_table()[i].name);
    EXPECT_EQ(specs[i].name, expected_table()[i].name);
    EXPECT_EQ(specs[i].requirements, expected_table()[i].requirements);
    EXPECT_EQ(specs[i].provides, Strings{expected_table()[i].name});
    EXPECT_EQ(specs[i].module, expected_table()[i].module);
  }
}

TEST(ProcessorSpecs, EveryCallBuildsAFreshTable) {
  std::vector<ProcessorSpec> first = processor_specs();
  first[0].requirements.push_back("changed");
  EXPECT_TRUE(processor_specs()[0].requirements.empty());
}

// The class that make_processor and the bundle factory make for each name.
bool has_class_of(const std::string& name, const Processor& stage) {
  if (name == "langid") return dynamic_cast<const LangIDProcessor*>(&stage) != nullptr;
  if (name == "tokenize") return dynamic_cast<const TokenizeProcessor*>(&stage) != nullptr;
  if (name == "mwt") return dynamic_cast<const MWTProcessor*>(&stage) != nullptr;
  if (name == "pos") return dynamic_cast<const POSProcessor*>(&stage) != nullptr;
  if (name == "lemma") return dynamic_cast<const LemmaProcessor*>(&stage) != nullptr;
  if (name == "depparse") return dynamic_cast<const DepparseProcessor*>(&stage) != nullptr;
  if (name == "ner") return dynamic_cast<const NERProcessor*>(&stage) != nullptr;
  if (name == "sentiment") return dynamic_cast<const SentimentProcessor*>(&stage) != nullptr;
  if (name == "constituency") return dynamic_cast<const ConstituencyProcessor*>(&stage) != nullptr;
  if (name == "coref") return dynamic_cast<const CorefProcessor*>(&stage) != nullptr;
  if (name == "morphseg") return dynamic_cast<const MorphSegProcessor*>(&stage) != nullptr;
  return false;
}

std::optional<std::filesystem::path> bundle_path_of(const Processor& stage) {
  if (auto* p = dynamic_cast<const LangIDProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const TokenizeProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const MWTProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const POSProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const LemmaProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const DepparseProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const NERProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const SentimentProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const ConstituencyProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const CorefProcessor*>(&stage)) return p->bundle_path();
  if (auto* p = dynamic_cast<const MorphSegProcessor*>(&stage)) return p->bundle_path();
  ADD_FAILURE() << "not a processor class: " << stage.name();
  return std::nullopt;
}

TEST(MakeProcessor, MakesEveryClassWithoutAPlan) {
  for (const SpecRow& row : expected_table()) {
    SCOPED_TRACE(row.name);
    const std::shared_ptr<Processor> stage = make_processor(row.name);
    ASSERT_NE(stage, nullptr);
    EXPECT_TRUE(has_class_of(row.name, *stage));
    EXPECT_EQ(stage->name(), row.name);
    EXPECT_EQ(stage->requirements(), row.requirements);
    EXPECT_EQ(stage->provides(), Strings{row.name});
    EXPECT_EQ(stage->module(), row.module);
    EXPECT_FALSE(stage->implemented());
    EXPECT_FALSE(bundle_path_of(*stage).has_value());
    EXPECT_THROW_MSG(stage->process(Document("some text")), ProcessorNotImplementedError,
                     not_implemented(row.name));
    EXPECT_TRUE(stage->process_bulk({}).empty());
    EXPECT_THROW_MSG(stage->process_bulk({Document("a"), Document("b")}),
                     ProcessorNotImplementedError, not_implemented(row.name));
  }
}

TEST(MakeProcessor, NamesAreMatchedWholeAndCaseSensitively) {
  for (const std::string name : {"", "POS", "Tokenize", " pos", "pos ", "parse", "lemma\n", "tok"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW_MSG(make_processor(name), std::invalid_argument,
                     "unknown processor: '" + name + "'");
  }
}

// A stage whose process writes the language "seen" and fails on the text "bad".
class ProbeStage final : public Processor {
 public:
  ProbeStage() : Processor(ProcessorSpec("probe", {}, "ud")) {}
  Document process(Document document) const override {
    seen.push_back(document.text());
    if (document.text() == "bad") throw std::runtime_error("probe failed");
    document.set_lang("seen");
    return document;
  }
  mutable Strings seen;
};

TEST(ProcessorBase, BulkRunsProcessPerDocumentAndStopsAtTheFirstFailure) {
  ProbeStage stage;
  EXPECT_TRUE(stage.process_bulk({}).empty());
  EXPECT_TRUE(stage.seen.empty());

  const Document first("one");
  const Document last("three");
  EXPECT_THROW_MSG(stage.process_bulk({first, Document("bad"), last}), std::runtime_error,
                   "probe failed");
  EXPECT_EQ(stage.seen, (Strings{"one", "bad"}));
  EXPECT_EQ(first.lang(), "seen");  // written before the failure, kept
  EXPECT_EQ(last.lang(), std::nullopt);

  stage.seen.clear();
  const std::vector<Document> done = stage.process_bulk({Document("x"), Document("y")});
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].text(), "x");
  EXPECT_EQ(done[1].text(), "y");
  EXPECT_EQ(stage.seen, (Strings{"x", "y"}));
  EXPECT_FALSE(stage.implemented());
}

TEST(ProcessorBase, TheNotImplementedErrorReleasesTheDocument) {
  std::weak_ptr<DocumentStorage> watched;
  const auto handed_over = [&] {
    Document doc("released");
    watched = doc.storage();
    return doc;
  };
  EXPECT_THROW(make_processor("lemma")->process(handed_over()), ProcessorNotImplementedError);
  EXPECT_TRUE(watched.expired());
}

TEST(ProcessorErrors, FamiliesCatchAsTheirStandardBases) {
  EXPECT_THROW(throw ProcessorRequirementsError("r"), std::invalid_argument);
  EXPECT_THROW(throw ProcessorNotImplementedError("n"), std::logic_error);
  EXPECT_THROW(make_processor("nope"), std::invalid_argument);
  EXPECT_THROW(make_processor("pos")->process(Document("")), std::logic_error);
}

// ---------------------------------------------------------------------------
// Stages without a plan: every direct operation names its processor
// ---------------------------------------------------------------------------

template <class Stage>
const Stage& as(const Processor& stage) {
  return dynamic_cast<const Stage&>(stage);
}

struct DirectOperation {
  std::string processor;
  std::string operation;
  std::function<void(const Processor&)> call;
};

std::vector<DirectOperation> direct_operations() {
  return {
      {"langid", "identify", [](const Processor& p) { as<LangIDProcessor>(p).identify("hello"); }},
      {"langid", "identify_many",
       [](const Processor& p) { as<LangIDProcessor>(p).identify_many({"hello"}); }},
      {"tokenize", "predict_labels",
       [](const Processor& p) { as<TokenizeProcessor>(p).predict_labels("hello"); }},
      {"mwt", "expand", [](const Processor& p) { as<MWTProcessor>(p).expand("du"); }},
      {"lemma", "lemmatize",
       [](const Processor& p) { as<LemmaProcessor>(p).lemmatize("cats", std::string("NOUN")); }},
      {"ner", "tag", [](const Processor& p) { as<NERProcessor>(p).tag({"Paris"}); }},
      {"sentiment", "classify", [](const Processor& p) { as<SentimentProcessor>(p).classify({"ok"}); }},
      {"sentiment", "classify_many",
       [](const Processor& p) { as<SentimentProcessor>(p).classify_many({{"ok"}}, 0); }},
      {"constituency", "uses_xpos",
       [](const Processor& p) { as<ConstituencyProcessor>(p).uses_xpos(); }},
      {"constituency", "parse",
       [](const Processor& p) { as<ConstituencyProcessor>(p).parse({"a"}, {"DT"}); }},
      {"constituency", "parse_many",
       [](const Processor& p) { as<ConstituencyProcessor>(p).parse_many({{"a"}}, {}); }},
      {"coref", "predicts_singletons",
       [](const Processor& p) { as<CorefProcessor>(p).predicts_singletons(); }},
      {"coref", "predicts_zero_anaphora",
       [](const Processor& p) { as<CorefProcessor>(p).predicts_zero_anaphora(); }},
      {"morphseg", "segment", [](const Processor& p) { as<MorphSegProcessor>(p).segment("cats"); }},
      {"morphseg", "segment_many",
       [](const Processor& p) { as<MorphSegProcessor>(p).segment_many({"cats"}); }},
  };
}

TEST(StageWithoutPlan, EveryDirectOperationThrowsTheNoBundleError) {
  for (const DirectOperation& op : direct_operations()) {
    SCOPED_TRACE(op.processor + "." + op.operation);
    const std::shared_ptr<Processor> stage = make_processor(op.processor);
    // Argument checks of the plan (a zero batch size, unequal lists) are not
    // reached: the missing plan is reported first.
    EXPECT_THROW_MSG(op.call(*stage), ProcessorNotImplementedError, no_bundle(op.processor));
  }
}

TEST(StageWithoutPlan, LanguageIdentifierKeepsAnEmptySubset) {
  const LangIDProcessor stage;
  EXPECT_TRUE(stage.language_subset().empty());
  EXPECT_EQ(stage.requirements(), Strings{});
}

TEST(StageWithoutPlan, LemmaRequiresTokenizeOnly) {
  EXPECT_EQ(LemmaProcessor().requirements(), Strings{"tokenize"});
}

TEST(StageWithoutPlan, MWTAndNERInheritTheDocumentByDocumentBulk) {
  // Neither class declares its own process_bulk: the member is the base's.
  using BaseBulk = decltype(&Processor::process_bulk);
  static_assert(std::is_same_v<decltype(&MWTProcessor::process_bulk), BaseBulk>);
  static_assert(std::is_same_v<decltype(&NERProcessor::process_bulk), BaseBulk>);
  static_assert(!std::is_same_v<decltype(&POSProcessor::process_bulk), BaseBulk>);
  static_assert(!std::is_same_v<decltype(&TokenizeProcessor::process_bulk), BaseBulk>);
  static_assert(!std::is_same_v<decltype(&LangIDProcessor::process_bulk), BaseBulk>);
}

// A stage is shared through the pipeline and fixed once made: assigning one
// stage over another through the base would rewrite a shared stage's spec and
// keep its plan, and copying through the base would slice off the plan.
TEST(ProcessorBase, StagesCannotBeCopiedOrAssignedThroughTheBase) {
  EXPECT_FALSE(std::is_copy_constructible_v<Processor>);
  EXPECT_FALSE(std::is_copy_assignable_v<Processor>);
  EXPECT_FALSE(std::is_move_assignable_v<Processor>);
  EXPECT_FALSE(std::is_copy_assignable_v<LangIDProcessor>);
  EXPECT_FALSE(std::is_copy_constructible_v<POSProcessor>);
}

// ---------------------------------------------------------------------------
// Stages over bundles
// ---------------------------------------------------------------------------

struct LoadCase {
  std::string processor;
  std::string bundle;
  const std::type_info* error;
  std::string message;
};

template <class E>
LoadCase load_case(std::string processor, std::string bundle, std::string message) {
  return {std::move(processor), std::move(bundle), &typeid(E), std::move(message)};
}

// Constructs the stage and returns the type and text of what it threw.
std::pair<const std::type_info*, std::string> load_failure(const std::string& processor,
                                                           const std::filesystem::path& dir,
                                                           bool verify = false) {
  try {
    detail::make_loaded_processor(processor, dir, verify, {});
  } catch (const std::exception& e) {
    return {&typeid(e), e.what()};
  }
  return {nullptr, "no exception"};
}

TEST(StageWithBundle, KindsWithoutANativeModelRefuseTheirOwnBundle) {
  const std::vector<LoadCase> cases = {
      load_case<LangIDModelError>("langid", "langid", "no native langid model profile is supported"),
      // The lemma model is native: an empty bundle lacks its dictionary.
      load_case<LemmaModelError>("lemma", "lemma", "missing JSON key 'pos_dict' at assets"),
      // A sentiment bundle without a configuration.
      load_case<SentimentModelError>("sentiment", "sentiment",
                                     "missing JSON key 'model_type' at assets.config"),
      // The constituency model is native: an empty bundle fails its profile check.
      load_case<ConstituencyModelError>("constituency", "constituency",
                                        "missing JSON key 'transition_scheme' at assets.config"),
      // So is the parser's: its configuration lacks the "char" input.
      load_case<DepparseModelError>("depparse", "depparse",
                                    "unsupported depparse architecture; the native profile requires "
                                    "word/lemma/POS/pretrain embeddings, one unidirectional character LSTM, a "
                                    "non-reversed GraphParser HighwayLSTM without recurrent dropout, and standard "
                                    "deep biaffine heads"),
      load_case<CorefModelError>("coref", "coref", "no native coref model profile is supported"),
      load_case<MorphSegModelError>("morphseg", "morphseg",
                                    "no native morphseg model profile is supported"),
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.processor);
    const auto [type, message] = load_failure(c.processor, bundle_dir(c.bundle));
    EXPECT_EQ(message, c.message);
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(*type, *c.error);
  }
}

TEST(StageWithBundle, ABundleOfAnotherProcessorIsNamed) {
  const std::vector<LoadCase> cases = {
      load_case<LangIDModelError>("langid", "ner", "expected a langid bundle, got 'ner'"),
      load_case<TokenizerModelError>("tokenize", "pos", "expected a tokenize bundle, got 'pos'"),
      load_case<MWTModelError>("mwt", "ner", "expected an MWT bundle, got 'ner'"),
      load_case<POSModelError>("pos", "depparse", "expected a POS bundle, got 'depparse'"),
      load_case<LemmaModelError>("lemma", "pos", "expected a lemma bundle, got 'pos'"),
      load_case<DepparseModelError>("depparse", "pos", "expected a depparse bundle, got 'pos'"),
      load_case<NERModelError>("ner", "mwt", "expected an NER bundle, got 'mwt'"),
      load_case<SentimentModelError>("sentiment", "ner", "expected a sentiment bundle, got 'ner'"),
      load_case<ConstituencyModelError>("constituency", "pos",
                                        "expected a constituency bundle, got 'pos'"),
      load_case<CorefModelError>("coref", "lemma", "expected a coref bundle, got 'lemma'"),
      load_case<MorphSegModelError>("morphseg", "langid", "expected a morphseg bundle, got 'langid'"),
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.processor);
    const auto [type, message] = load_failure(c.processor, bundle_dir(c.bundle));
    EXPECT_EQ(message, c.message);
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(*type, *c.error);
  }
}

TEST(StageWithBundle, BundleErrorsPropagateUnchanged) {
  const std::filesystem::path missing = testing::fixture_root() / "no-such-bundle";
  for (const SpecRow& row : expected_table()) {
    SCOPED_TRACE(row.name);
    const auto [type, message] = load_failure(row.name, missing);
    EXPECT_EQ(message, "model bundle is not a directory: " + missing.string());
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(*type, typeid(ModelBundleError));
  }
}

TEST(StageWithBundle, TheChecksumFlagReachesTheBundle) {
  EXPECT_EQ(load_failure("pos", bundle_dir("pos-bad-digest"), false).second, "no exception");
  const auto [type, message] = load_failure("pos", bundle_dir("pos-bad-digest"), true);
  EXPECT_EQ(message, "assets checksum mismatch");
  EXPECT_EQ(*type, typeid(ModelBundleError));
}

TEST(StageWithBundle, ConstructorsOfEachClassLoadTheirPlan) {
  // The public constructors, not only the factory.
  EXPECT_THROW_MSG(POSProcessor(bundle_dir("ner"), false), POSModelError,
                   "expected a POS bundle, got 'ner'");
  EXPECT_THROW_MSG(LangIDProcessor(bundle_dir("langid"), false, {"en"}), LangIDModelError,
                   "no native langid model profile is supported");
  EXPECT_THROW_MSG(LemmaProcessor(bundle_dir("lemma"), false), LemmaModelError,
                   "missing JSON key 'pos_dict' at assets");
}

// ---------------------------------------------------------------------------
// Stages over plans with a supplied model
// ---------------------------------------------------------------------------

class LangIDStage : public ::testing::Test {
 protected:
  std::shared_ptr<testing::FakeLangIDModel> model = std::make_shared<testing::FakeLangIDModel>();
  std::shared_ptr<const LangIDPlan> plan =
      std::make_shared<const LangIDPlan>(detail::make_langid_plan(bundle_dir("langid"), false, model));
};

TEST_F(LangIDStage, ReportsItsPlanAndBundle) {
  const auto stage = ProcessorAccess::langid_with_plan(plan, {"fr", "de"});
  EXPECT_TRUE(stage->implemented());
  EXPECT_EQ(stage->language_subset(), (Strings{"fr", "de"}));
  ASSERT_TRUE(stage->bundle_path().has_value());
  EXPECT_EQ(*stage->bundle_path(), plan->bundle().path());
  EXPECT_EQ(*stage->bundle_path(), std::filesystem::absolute(bundle_dir("langid")));
}

TEST_F(LangIDStage, ProcessIdentifiesTheTextWithTheSubset) {
  const auto stage = ProcessorAccess::langid_with_plan(plan, {"fr", "de"});
  const Document in("hello");
  const Document out = stage->process(in);
  EXPECT_TRUE(out.same_storage(in));
  EXPECT_EQ(out.lang(), "fr:h");
  ASSERT_EQ(model->calls().size(), 1u);
  EXPECT_EQ(model->calls()[0].texts, Strings{"hello"});
  EXPECT_EQ(model->calls()[0].subset, (Strings{"fr", "de"}));
}

TEST_F(LangIDStage, BulkMakesOneCallForTheWholeBatch) {
  const auto stage = ProcessorAccess::langid_with_plan(plan, {});
  const std::vector<Document> out =
      stage->process_bulk({Document("alpha"), Document("beta"), Document("gamma")});
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].lang(), "any:a");
  EXPECT_EQ(out[1].lang(), "any:b");
  EXPECT_EQ(out[2].lang(), "any:g");
  ASSERT_EQ(model->calls().size(), 1u);
  EXPECT_EQ(model->calls()[0].texts, (Strings{"alpha", "beta", "gamma"}));
  EXPECT_TRUE(model->calls()[0].subset.empty());
  EXPECT_TRUE(stage->process_bulk({}).empty());
  EXPECT_EQ(model->calls().size(), 1u);  // an empty batch runs no model
}

TEST_F(LangIDStage, DirectOperationsPassTheStoredSubset) {
  const auto stage = ProcessorAccess::langid_with_plan(plan, {"nl"});
  EXPECT_EQ(stage->identify("zebra"), "nl:z");
  EXPECT_EQ(stage->identify_many({"a", "b"}), (Strings{"nl:a", "nl:b"}));
  EXPECT_TRUE(stage->identify_many({}).empty());
  ASSERT_EQ(model->calls().size(), 2u);
  EXPECT_EQ(model->calls()[1].subset, Strings{"nl"});
}

TEST_F(LangIDStage, EmptyTextIsRefusedBeforeTheModelRuns) {
  const auto stage = ProcessorAccess::langid_with_plan(plan, {});
  const std::string message = "language identification requires non-empty text";
  EXPECT_THROW_MSG(stage->process(Document("")), LangIDModelError, message);
  EXPECT_THROW_MSG(stage->process_bulk({Document("x"), Document("")}), LangIDModelError, message);
  EXPECT_THROW_MSG(stage->identify(""), LangIDModelError, message);
  EXPECT_THROW_MSG(plan->identify_many({"a", "", "b"}, {"en"}), LangIDModelError, message);
  EXPECT_TRUE(model->calls().empty());
}

TEST(LangIDPlanLoading, TheSuppliedModelPathStillChecksTheBundleKind) {
  EXPECT_THROW_MSG(detail::make_langid_plan(bundle_dir("pos"), false,
                                            std::make_shared<testing::FakeLangIDModel>()),
                   LangIDModelError, "expected a langid bundle, got 'pos'");
}

// A model that loses a result: the plan must not hand out a short list.
class ShortLangIDModel final : public detail::LangIDModel {
 public:
  Strings identify_batch(const Strings& texts, const Strings&) const override {
    return Strings(texts.size() - 1, "en");
  }
};

TEST(LangIDPlanLoading, AModelReturningTooFewResultsIsAnInternalError) {
  const auto plan = std::make_shared<const LangIDPlan>(
      detail::make_langid_plan(bundle_dir("langid"), false, std::make_shared<ShortLangIDModel>()));
  const auto stage = ProcessorAccess::langid_with_plan(plan, {});
  EXPECT_THROW_MSG(stage->process_bulk({Document("a"), Document("b")}), std::logic_error,
                   "the language identification model returned 1 results for 2 texts");
}

TEST(MorphSegStage, BulkSegmentsAllWordsOfTheBatchInOneCall) {
  const auto model = std::make_shared<testing::FakeMorphSegModel>();
  const auto plan = std::make_shared<const MorphSegPlan>(
      detail::make_morphseg_plan(bundle_dir("morphseg"), false, model));
  const auto stage = ProcessorAccess::with_plan<MorphSegProcessor>(plan);
  EXPECT_TRUE(stage->implemented());
  EXPECT_EQ(stage->bundle_path(), plan->bundle().path());

  const Document first = document_with_words("cats run. dogs", {{"cats", "run", "."}, {"dogs"}});
  const Document second = document_with_words("a bird", {{"a", "bird"}});
  const std::vector<Document> out = stage->process_bulk({first, second});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(out[0].same_storage(first));
  ASSERT_EQ(model->calls().size(), 1u);
  EXPECT_EQ(model->calls()[0], (Strings{"cats", "run", ".", "dogs", "a", "bird"}));
  EXPECT_EQ(first.words().at(0).morphemes(), (Strings{"c", "ats"}));
  EXPECT_EQ(first.words().at(3).morphemes(), (Strings{"d", "ogs"}));
  EXPECT_EQ(second.words().at(0).morphemes(), Strings{"a"});
  EXPECT_EQ(second.words().at(1).morphemes(), (Strings{"b", "ird"}));
}

TEST(MorphSegStage, SingleDocumentsAndDirectOperations) {
  const auto model = std::make_shared<testing::FakeMorphSegModel>();
  const auto plan = std::make_shared<const MorphSegPlan>(
      detail::make_morphseg_plan(bundle_dir("morphseg"), false, model));
  const auto stage = ProcessorAccess::with_plan<MorphSegProcessor>(plan);
  const Document doc = stage->process(document_with_words("ox en", {{"ox", "en"}}));
  EXPECT_EQ(doc.words().at(1).morphemes(), (Strings{"e", "n"}));
  EXPECT_EQ(stage->segment("walked"), (Strings{"w", "alked"}));
  EXPECT_EQ(stage->segment_many({"ab", "c"}), (std::vector<Strings>{{"a", "b"}, {"c"}}));
  EXPECT_TRUE(stage->segment_many({}).empty());
  // A document without words costs no model call.
  stage->process(Document("no words yet"));
  EXPECT_EQ(model->calls().size(), 3u);
}

TEST(CorefStage, ALoadedPlanIsImplementedAndAnnotatesEachDocument) {
  const auto model = std::make_shared<testing::FakeCorefModel>(true, false);
  const auto plan =
      std::make_shared<const CorefPlan>(detail::make_coref_plan(bundle_dir("coref"), false, model));
  const auto stage = ProcessorAccess::with_plan<CorefProcessor>(plan);
  EXPECT_TRUE(stage->implemented());
  EXPECT_TRUE(stage->predicts_singletons());
  EXPECT_FALSE(stage->predicts_zero_anaphora());
  const std::vector<Document> out = stage->process_bulk(
      {document_with_words("Kim sang", {{"Kim", "sang"}}), document_with_words("Lee", {{"Lee"}})});
  EXPECT_EQ(model->calls(), (Strings{"Kim sang", "Lee"}));
  ASSERT_EQ(out[1].coref().size(), 1u);
  EXPECT_EQ(out[1].coref()[0]->representative_text(), "Lee");
  EXPECT_EQ(stage->process(document_with_words("Max", {{"Max"}})).coref().size(), 1u);
  EXPECT_THROW_MSG(
      detail::make_coref_plan(bundle_dir("ner"), false, model), CorefModelError,
      "expected a coref bundle, got 'ner'");
}

std::shared_ptr<const ModelBundle> open_bundle(const std::string& name) {
  return std::make_shared<const ModelBundle>(bundle_dir(name), false);
}

TEST(LemmaStage, RequiresPosExactlyWhenTheModelUsesIt) {
  for (const bool uses_pos : {false, true}) {
    SCOPED_TRACE(uses_pos);
    auto impl = std::make_unique<LemmaPlan::Impl>();
    impl->bundle = open_bundle("lemma");
    impl->pos = uses_pos;
    const auto plan = std::make_shared<const LemmaPlan>(std::move(impl));
    const auto stage = ProcessorAccess::with_plan<LemmaProcessor>(plan);
    EXPECT_EQ(stage->requirements(),
              uses_pos ? (Strings{"tokenize", "pos"}) : (Strings{"tokenize"}));
    EXPECT_EQ(stage->provides(), Strings{"lemma"});
    EXPECT_TRUE(stage->implemented());
    EXPECT_EQ(stage->bundle_path(), std::filesystem::absolute(bundle_dir("lemma")));
    // Calls reach the plan, which has neither dictionary nor model.
    EXPECT_EQ(stage->lemmatize("cats", std::nullopt), "cats");
  }
}

// An MWT stage over a loaded plan: documents, batches and the single-token
// operation reach the plan.
TEST(StageRouting, DocumentsAndBatchesReachThePlan) {
  const auto mwt = ProcessorAccess::with_plan<MWTProcessor>(
      std::make_shared<const MWTPlan>(bundle_dir("mwt"), false));
  EXPECT_TRUE(mwt->implemented());
  EXPECT_EQ(mwt->process_bulk({Document("x"), Document("y")}).size(), 2u);
  EXPECT_EQ(mwt->expand("du"), "de le");
  EXPECT_TRUE(mwt->process_bulk({}).empty());
}

TEST(StageRouting, DirectOperationsCheckTheirArgumentsInThePlan) {
  auto sentiment_impl = std::make_unique<SentimentPlan::Impl>();
  sentiment_impl->bundle = open_bundle("sentiment");
  const auto sentiment = ProcessorAccess::with_plan<SentimentProcessor>(
      std::make_shared<const SentimentPlan>(std::move(sentiment_impl)));
  EXPECT_THROW_MSG(sentiment->classify_many({{"fine"}}, 0), std::invalid_argument,
                   "sentiment batch_size must be positive");

  for (const bool uses_xpos : {false, true}) {
    auto impl = std::make_unique<ConstituencyPlan::Impl>();
    impl->bundle = open_bundle("constituency");
    impl->uses_xpos = uses_xpos;
    const auto stage = ProcessorAccess::with_plan<ConstituencyProcessor>(
        std::make_shared<const ConstituencyPlan>(std::move(impl)));
    EXPECT_EQ(stage->uses_xpos(), uses_xpos);
    EXPECT_THROW_MSG(stage->parse_many({{"a"}, {"b"}}, {{"DT"}}), ConstituencyModelError,
                     "constituency sentence and tag batches have different lengths");
  }
}

TEST(PlanLifetime, AMovedFromPlanReportsItInsteadOfCrashing) {
  POSPlan plan(bundle_dir("pos"), false);
  POSPlan moved(std::move(plan));
  EXPECT_EQ(moved.bundle().processor(), "pos");
  EXPECT_THROW_MSG(plan.bundle(), std::logic_error, "the POS plan has been moved from");
  EXPECT_THROW_MSG(plan.process(Document("x")), std::logic_error,
                   "the POS plan has been moved from");
}

}  // namespace
}  // namespace lorvane
