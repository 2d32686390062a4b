#include "lorvane/processors.hpp"

#include <utility>

#include "lorvane/bundle.hpp"
#include "lorvane/constituency.hpp"
#include "lorvane/coref_plan.hpp"
#include "lorvane/depparse.hpp"
#include "lorvane/langid.hpp"
#include "lorvane/lemma.hpp"
#include "lorvane/morphseg.hpp"
#include "lorvane/mwt.hpp"
#include "lorvane/ner.hpp"
#include "lorvane/pos.hpp"
#include "lorvane/sentiment.hpp"
#include "lorvane/tokenizer.hpp"

namespace lorvane {

namespace {

// The processor table, one function per row so that each class builds its own
// spec from the same literals.
ProcessorSpec langid_spec() { return {"langid", {}, "extended"}; }
ProcessorSpec tokenize_spec() { return {"tokenize", {}, "ud"}; }
ProcessorSpec mwt_spec() { return {"mwt", {"tokenize"}, "ud"}; }
ProcessorSpec pos_spec() { return {"pos", {"tokenize"}, "ud"}; }
ProcessorSpec lemma_spec() { return {"lemma", {"tokenize"}, "ud"}; }
ProcessorSpec depparse_spec() { return {"depparse", {"tokenize", "pos", "lemma"}, "ud"}; }
ProcessorSpec ner_spec() { return {"ner", {"tokenize"}, "extended"}; }
ProcessorSpec sentiment_spec() { return {"sentiment", {"tokenize"}, "extended"}; }
ProcessorSpec constituency_spec() { return {"constituency", {"tokenize", "pos"}, "extended"}; }
ProcessorSpec coref_spec() { return {"coref", {"tokenize"}, "coref"}; }
ProcessorSpec morphseg_spec() { return {"morphseg", {"tokenize"}, "extended"}; }

[[noreturn]] void throw_no_bundle(const Processor& stage) {
  throw ProcessorNotImplementedError("the '" + stage.name() +
                                     "' processor has no loaded model bundle");
}

// The plan of a stage for a direct operation.
template <class Plan>
const Plan& loaded(const std::shared_ptr<const Plan>& plan, const Processor& stage) {
  if (!plan) throw_no_bundle(stage);
  return *plan;
}

template <class Plan>
std::optional<std::filesystem::path> bundle_path_of(const std::shared_ptr<const Plan>& plan) {
  if (!plan) return std::nullopt;
  return plan->bundle().path();
}

}  // namespace

// ---------------------------------------------------------------------------
// Specs, base and factory
// ---------------------------------------------------------------------------

ProcessorSpec::ProcessorSpec(std::string name_, std::vector<std::string> requirements_,
                             std::string module_)
    : name(std::move(name_)),
      requirements(std::move(requirements_)),
      provides{name},
      module(std::move(module_)) {}

std::vector<ProcessorSpec> processor_specs() {
  return {langid_spec(),    tokenize_spec(),     mwt_spec(),   pos_spec(),
          lemma_spec(),     depparse_spec(),     ner_spec(),   sentiment_spec(),
          constituency_spec(), coref_spec(),     morphseg_spec()};
}

Processor::Processor(ProcessorSpec spec) : spec_(std::move(spec)) {}
Processor::~Processor() = default;

void Processor::set_requirements(std::vector<std::string> requirements) {
  spec_.requirements = std::move(requirements);
}

bool Processor::implemented() const { return false; }

Document Processor::process(Document document) const {
  { const Document released = std::move(document); }
  throw ProcessorNotImplementedError("the '" + name() +
                                     "' processor is registered but native inference is not "
                                     "implemented");
}

std::vector<Document> Processor::process_bulk(std::vector<Document> documents) const {
  for (Document& document : documents) document = process(std::move(document));
  return documents;
}

std::shared_ptr<Processor> make_processor(const std::string& name) {
  if (name == "langid") return std::make_shared<LangIDProcessor>();
  if (name == "tokenize") return std::make_shared<TokenizeProcessor>();
  if (name == "mwt") return std::make_shared<MWTProcessor>();
  if (name == "pos") return std::make_shared<POSProcessor>();
  if (name == "lemma") return std::make_shared<LemmaProcessor>();
  if (name == "depparse") return std::make_shared<DepparseProcessor>();
  if (name == "ner") return std::make_shared<NERProcessor>();
  if (name == "sentiment") return std::make_shared<SentimentProcessor>();
  if (name == "constituency") return std::make_shared<ConstituencyProcessor>();
  if (name == "coref") return std::make_shared<CorefProcessor>();
  if (name == "morphseg") return std::make_shared<MorphSegProcessor>();
  throw std::invalid_argument("unknown processor: '" + name + "'");
}

// ---------------------------------------------------------------------------
// LangID: the plan takes texts, so the stage moves texts and languages
// between documents and the plan.
// ---------------------------------------------------------------------------

LangIDProcessor::LangIDProcessor() : Processor(langid_spec()) {}

LangIDProcessor::LangIDProcessor(std::filesystem::path bundle_dir, bool verify_checksums,
                                 std::vector<std::string> language_subset)
    : Processor(langid_spec()),
      plan_(std::make_shared<const LangIDPlan>(std::move(bundle_dir), verify_checksums)),
      language_subset_(std::move(language_subset)) {}

LangIDProcessor::LangIDProcessor(std::shared_ptr<const LangIDPlan> plan,
                                 std::vector<std::string> language_subset)
    : Processor(langid_spec()), plan_(std::move(plan)), language_subset_(std::move(language_subset)) {}

LangIDProcessor::~LangIDProcessor() = default;

bool LangIDProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> LangIDProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document LangIDProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  document.set_lang(plan_->identify(document.text(), language_subset_));
  return document;
}

std::vector<Document> LangIDProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) return Processor::process_bulk(std::move(documents));
  std::vector<std::string> texts;
  texts.reserve(documents.size());
  for (const Document& document : documents) texts.push_back(document.text());
  const std::vector<std::string> languages = plan_->identify_many(texts, language_subset_);
  for (std::size_t i = 0; i < documents.size(); ++i) documents[i].set_lang(languages[i]);
  return documents;
}

std::string LangIDProcessor::identify(const std::string& text) const {
  return loaded(plan_, *this).identify(text, language_subset_);
}

std::vector<std::string> LangIDProcessor::identify_many(const std::vector<std::string>& texts) const {
  return loaded(plan_, *this).identify_many(texts, language_subset_);
}

// ---------------------------------------------------------------------------
// Tokenize: the plan reads the documents and builds new ones.
// ---------------------------------------------------------------------------

TokenizeProcessor::TokenizeProcessor() : Processor(tokenize_spec()) {}

TokenizeProcessor::TokenizeProcessor(std::filesystem::path bundle_dir, bool verify_checksums)
    : Processor(tokenize_spec()),
      plan_(std::make_shared<const TokenizerPlan>(std::move(bundle_dir), verify_checksums)) {}

TokenizeProcessor::TokenizeProcessor(std::shared_ptr<const TokenizerPlan> plan)
    : Processor(tokenize_spec()), plan_(std::move(plan)) {}

TokenizeProcessor::~TokenizeProcessor() = default;

bool TokenizeProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> TokenizeProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document TokenizeProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(document);
}

std::vector<Document> TokenizeProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) return Processor::process_bulk(std::move(documents));
  return plan_->process_bulk(documents);
}

std::vector<std::int64_t> TokenizeProcessor::predict_labels(const std::string& text) const {
  return loaded(plan_, *this).predict_labels(text);
}

// ---------------------------------------------------------------------------
// MWT: the plan reads the document and returns a handle on its rebuilt store;
// batches go document by document through the base.
// ---------------------------------------------------------------------------

MWTProcessor::MWTProcessor() : Processor(mwt_spec()) {}

MWTProcessor::MWTProcessor(std::filesystem::path bundle_dir, bool verify_checksums)
    : Processor(mwt_spec()),
      plan_(std::make_shared<const MWTPlan>(std::move(bundle_dir), verify_checksums)) {}

MWTProcessor::MWTProcessor(std::shared_ptr<const MWTPlan> plan)
    : Processor(mwt_spec()), plan_(std::move(plan)) {}

MWTProcessor::~MWTProcessor() = default;

bool MWTProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> MWTProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document MWTProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(document);
}

std::string MWTProcessor::expand(const std::string& token) const {
  return loaded(plan_, *this).expand(token);
}

// ---------------------------------------------------------------------------
// Stages that move documents into their plan and back.
// ---------------------------------------------------------------------------

POSProcessor::POSProcessor() : Processor(pos_spec()) {}

POSProcessor::POSProcessor(std::filesystem::path bundle_dir, bool verify_checksums)
    : Processor(pos_spec()),
      plan_(std::make_shared<const POSPlan>(std::move(bundle_dir), verify_checksums)) {}

POSProcessor::POSProcessor(std::shared_ptr<const POSPlan> plan)
    : Processor(pos_spec()), plan_(std::move(plan)) {}

POSProcessor::~POSProcessor() = default;

bool POSProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> POSProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document POSProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(std::move(document));
}

std::vector<Document> POSProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) return Processor::process_bulk(std::move(documents));
  return plan_->process_bulk(std::move(documents));
}

LemmaProcessor::LemmaProcessor() : Processor(lemma_spec()) {}

LemmaProcessor::LemmaProcessor(std::filesystem::path bundle_dir, bool verify_checksums)
    : Processor(lemma_spec()),
      plan_(std::make_shared<const LemmaPlan>(std::move(bundle_dir), verify_checksums)) {
  require_pos_when_model_uses_it();
}

LemmaProcessor::LemmaProcessor(std::shared_ptr<const LemmaPlan> plan)
    : Processor(lemma_spec()), plan_(std::move(plan)) {
  require_pos_when_model_uses_it();
}

LemmaProcessor::~LemmaProcessor() = default;

// A model that keys its lemmas by part of speech reads the tags of "pos".
void LemmaProcessor::require_pos_when_model_uses_it() {
  if (plan_ && plan_->uses_pos()) set_requirements({"tokenize", "pos"});
}

bool LemmaProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> LemmaProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document LemmaProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(std::move(document));
}

std::vector<Document> LemmaProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) return Processor::process_bulk(std::move(documents));
  return plan_->process_bulk(std::move(documents));
}

std::string LemmaProcessor::lemmatize(const std::string& word,
                                      const std::optional<std::string>& upos) const {
  return loaded(plan_, *this).lemmatize(word, upos);
}

DepparseProcessor::DepparseProcessor() : Processor(depparse_spec()) {}

DepparseProcessor::DepparseProcessor(std::filesystem::path bundle_dir, bool verify_checksums)
    : Processor(depparse_spec()),
      plan_(std::make_shared<const DepparsePlan>(std::move(bundle_dir), verify_checksums)) {}

DepparseProcessor::DepparseProcessor(std::shared_ptr<const DepparsePlan> plan)
    : Processor(depparse_spec()), plan_(std::move(plan)) {}

DepparseProcessor::~DepparseProcessor() = default;

bool DepparseProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> DepparseProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document DepparseProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(std::move(document));
}

std::vector<Document> DepparseProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) return Processor::process_bulk(std::move(documents));
  return plan_->process_bulk(std::move(documents));
}

// NER batches go document by document through the base.
NERProcessor::NERProcessor() : Processor(ner_spec()) {}

NERProcessor::NERProcessor(std::filesystem::path bundle_dir, bool verify_checksums)
    : Processor(ner_spec()),
      plan_(std::make_shared<const NERPlan>(std::move(bundle_dir), verify_checksums)) {}

NERProcessor::NERProcessor(std::shared_ptr<const NERPlan> plan)
    : Processor(ner_spec()), plan_(std::move(plan)) {}

NERProcessor::~NERProcessor() = default;

bool NERProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> NERProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document NERProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(std::move(document));
}

std::vector<std::string> NERProcessor::tag(const std::vector<std::string>& tokens) const {
  return loaded(plan_, *this).tag(tokens);
}

SentimentProcessor::SentimentProcessor() : Processor(sentiment_spec()) {}

SentimentProcessor::SentimentProcessor(std::filesystem::path bundle_dir, bool verify_checksums)
    : Processor(sentiment_spec()),
      plan_(std::make_shared<const SentimentPlan>(std::move(bundle_dir), verify_checksums)) {}

SentimentProcessor::SentimentProcessor(std::shared_ptr<const SentimentPlan> plan)
    : Processor(sentiment_spec()), plan_(std::move(plan)) {}

SentimentProcessor::~SentimentProcessor() = default;

bool SentimentProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> SentimentProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document SentimentProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(std::move(document));
}

std::vector<Document> SentimentProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) return Processor::process_bulk(std::move(documents));
  return plan_->process_bulk(std::move(documents));
}

std::int64_t SentimentProcessor::classify(const std::vector<std::string>& tokens) const {
  return loaded(plan_, *this).classify(tokens);
}

std::vector<std::int64_t> SentimentProcessor::classify_many(
    const std::vector<std::vector<std::string>>& sentences, std::uint64_t batch_size) const {
  return loaded(plan_, *this).classify_many(sentences, batch_size);
}

ConstituencyProcessor::ConstituencyProcessor() : Processor(constituency_spec()) {}

ConstituencyProcessor::ConstituencyProcessor(std::filesystem::path bundle_dir,
                                             bool verify_checksums)
    : Processor(constituency_spec()),
      plan_(std::make_shared<const ConstituencyPlan>(std::move(bundle_dir), verify_checksums)) {}

ConstituencyProcessor::ConstituencyProcessor(std::shared_ptr<const ConstituencyPlan> plan)
    : Processor(constituency_spec()), plan_(std::move(plan)) {}

ConstituencyProcessor::~ConstituencyProcessor() = default;

bool ConstituencyProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> ConstituencyProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document ConstituencyProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(std::move(document));
}

std::vector<Document> ConstituencyProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) return Processor::process_bulk(std::move(documents));
  return plan_->process_bulk(std::move(documents));
}

bool ConstituencyProcessor::uses_xpos() const { return loaded(plan_, *this).uses_xpos(); }

ConstituencyTree ConstituencyProcessor::parse(const std::vector<std::string>& words,
                                              const std::vector<std::string>& tags) const {
  return loaded(plan_, *this).parse(words, tags);
}

std::vector<ConstituencyTree> ConstituencyProcessor::parse_many(
    const std::vector<std::vector<std::string>>& words,
    const std::vector<std::vector<std::string>>& tags) const {
  return loaded(plan_, *this).parse_many(words, tags);
}

CorefProcessor::CorefProcessor() : Processor(coref_spec()) {}

CorefProcessor::CorefProcessor(std::filesystem::path bundle_dir, bool verify_checksums)
    : Processor(coref_spec()),
      plan_(std::make_shared<const CorefPlan>(std::move(bundle_dir), verify_checksums)) {}

CorefProcessor::CorefProcessor(std::shared_ptr<const CorefPlan> plan)
    : Processor(coref_spec()), plan_(std::move(plan)) {}

CorefProcessor::~CorefProcessor() = default;

bool CorefProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> CorefProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document CorefProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(std::move(document));
}

std::vector<Document> CorefProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) return Processor::process_bulk(std::move(documents));
  return plan_->process_bulk(std::move(documents));
}

bool CorefProcessor::predicts_singletons() const {
  return loaded(plan_, *this).predicts_singletons();
}

bool CorefProcessor::predicts_zero_anaphora() const {
  return loaded(plan_, *this).predicts_zero_anaphora();
}

MorphSegProcessor::MorphSegProcessor() : Processor(morphseg_spec()) {}

MorphSegProcessor::MorphSegProcessor(std::filesystem::path bundle_dir, bool verify_checksums)
    : Processor(morphseg_spec()),
      plan_(std::make_shared<const MorphSegPlan>(std::move(bundle_dir), verify_checksums)) {}

MorphSegProcessor::MorphSegProcessor(std::shared_ptr<const MorphSegPlan> plan)
    : Processor(morphseg_spec()), plan_(std::move(plan)) {}

MorphSegProcessor::~MorphSegProcessor() = default;

bool MorphSegProcessor::implemented() const { return plan_ != nullptr; }

std::optional<std::filesystem::path> MorphSegProcessor::bundle_path() const {
  return bundle_path_of(plan_);
}

Document MorphSegProcessor::process(Document document) const {
  if (!plan_) return Processor::process(std::move(document));
  return plan_->process(std::move(document));
}

std::vector<Document> MorphSegProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) return Processor::process_bulk(std::move(documents));
  return plan_->process_bulk(std::move(documents));
}

std::vector<std::string> MorphSegProcessor::segment(const std::string& word) const {
  return loaded(plan_, *this).segment(word);
}

std::vector<std::vector<std::string>> MorphSegProcessor::segment_many(
    const std::vector<std::string>& words) const {
  return loaded(plan_, *this).segment_many(words);
}

}  // namespace lorvane
