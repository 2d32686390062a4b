#pragma once

// Pipeline stages: the fixed table of the eleven processors, the abstract
// stage, and one stage class per processor that routes documents and direct
// operations to its model plan.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"
#include "lorvane/tree.hpp"

namespace lorvane {

class LangIDPlan;
class TokenizerPlan;
class MWTPlan;
class POSPlan;
class LemmaPlan;
class DepparsePlan;
class NERPlan;
class SentimentPlan;
class ConstituencyPlan;
class CorefPlan;
class MorphSegPlan;

namespace detail {
struct ProcessorAccess;
}

// The static description of a processor. `provides` always holds exactly the name.
// Safe to share across threads: a plain value.
struct LORVANE_EXPORT ProcessorSpec {
  ProcessorSpec(std::string name, std::vector<std::string> requirements, std::string module);

  std::string name;
  std::vector<std::string> requirements;  // processors that must stand earlier in a pipeline
  std::vector<std::string> provides;
  std::string module;  // "ud", "extended" or "coref"
};

// The eleven processor specs in table order, built afresh on every call.
LORVANE_EXPORT std::vector<ProcessorSpec> processor_specs();

// One named stage of annotation work. The base reports that it is not
// implemented; every processor class overrides it.
// Safe to share across threads: its ProcessorSpec is fixed after construction and all
// operations are const.
class LORVANE_EXPORT Processor {
 public:
  virtual ~Processor();
  // Stages are shared and fixed once made; a copy or assignment through the
  // base would slice off the plan or rewrite a shared stage's spec.
  Processor(const Processor&) = delete;
  Processor& operator=(const Processor&) = delete;

  const std::string& name() const noexcept { return spec_.name; }
  const std::vector<std::string>& requirements() const noexcept { return spec_.requirements; }
  const std::vector<std::string>& provides() const noexcept { return spec_.provides; }
  const std::string& module() const noexcept { return spec_.module; }

  virtual bool implemented() const;
  // Throws ProcessorNotImplementedError "the '<name>' processor is registered
  // but native inference is not implemented"; the document is released.
  virtual Document process(Document document) const;
  // Replaces each document, in order, by process() of it. The first failure
  // ends the call; documents already processed keep what was written to them.
  virtual std::vector<Document> process_bulk(std::vector<Document> documents) const;

 protected:
  explicit Processor(ProcessorSpec spec);
  // Only for constructors of stages whose requirements depend on their model.
  void set_requirements(std::vector<std::string> requirements);

 private:
  ProcessorSpec spec_;
};

// A stage of the named class without a model plan. Throws std::invalid_argument
// "unknown processor: '<name>'" for a name outside the table.
LORVANE_EXPORT std::shared_ptr<Processor> make_processor(const std::string& name);

// Every processor class has two public constructors: without arguments (no
// plan: implemented() is false, process() throws the not-implemented error and
// every direct operation throws ProcessorNotImplementedError "the '<name>'
// processor has no loaded model bundle"), and from a bundle directory plus a
// checksum flag (the plan is loaded; its errors propagate). bundle_path() is
// the plan's bundle directory, or nullopt without a plan.

// Language identification; sets the document language.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT LangIDProcessor final : public Processor {
 public:
  LangIDProcessor();
  LangIDProcessor(std::filesystem::path bundle_dir, bool verify_checksums,
                  std::vector<std::string> language_subset);
  ~LangIDProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  // One identification call for the whole batch.
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::optional<std::filesystem::path> bundle_path() const;

  std::string identify(const std::string& text) const;
  std::vector<std::string> identify_many(const std::vector<std::string>& texts) const;
  // Empty: no restriction. Available without a plan.
  const std::vector<std::string>& language_subset() const noexcept { return language_subset_; }

 private:
  friend struct detail::ProcessorAccess;
  LangIDProcessor(std::shared_ptr<const LangIDPlan> plan, std::vector<std::string> language_subset);

  std::shared_ptr<const LangIDPlan> plan_;
  std::vector<std::string> language_subset_;
};

// Tokenization and sentence splitting; returns a new document built on the text.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT TokenizeProcessor final : public Processor {
 public:
  TokenizeProcessor();
  TokenizeProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~TokenizeProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::optional<std::filesystem::path> bundle_path() const;

  std::vector<std::int64_t> predict_labels(const std::string& text) const;

 private:
  friend struct detail::ProcessorAccess;
  explicit TokenizeProcessor(std::shared_ptr<const TokenizerPlan> plan);

  std::shared_ptr<const TokenizerPlan> plan_;
};

// Multi-word-token expansion. Batches run document by document.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT MWTProcessor final : public Processor {
 public:
  MWTProcessor();
  MWTProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~MWTProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::optional<std::filesystem::path> bundle_path() const;

  std::string expand(const std::string& token) const;

 private:
  friend struct detail::ProcessorAccess;
  explicit MWTProcessor(std::shared_ptr<const MWTPlan> plan);

  std::shared_ptr<const MWTPlan> plan_;
};

// Universal and language-specific tags and features.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT POSProcessor final : public Processor {
 public:
  POSProcessor();
  POSProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~POSProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::optional<std::filesystem::path> bundle_path() const;

 private:
  friend struct detail::ProcessorAccess;
  explicit POSProcessor(std::shared_ptr<const POSPlan> plan);

  std::shared_ptr<const POSPlan> plan_;
};

// Lemmas. With a model that keys lemmas by part of speech it also requires "pos".
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT LemmaProcessor final : public Processor {
 public:
  LemmaProcessor();
  LemmaProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~LemmaProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::optional<std::filesystem::path> bundle_path() const;

  std::string lemmatize(const std::string& word, const std::optional<std::string>& upos) const;

 private:
  friend struct detail::ProcessorAccess;
  explicit LemmaProcessor(std::shared_ptr<const LemmaPlan> plan);
  void require_pos_when_model_uses_it();

  std::shared_ptr<const LemmaPlan> plan_;
};

// Dependency heads and relations.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT DepparseProcessor final : public Processor {
 public:
  DepparseProcessor();
  DepparseProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~DepparseProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::optional<std::filesystem::path> bundle_path() const;

 private:
  friend struct detail::ProcessorAccess;
  explicit DepparseProcessor(std::shared_ptr<const DepparsePlan> plan);

  std::shared_ptr<const DepparsePlan> plan_;
};

// Named entities. Batches run document by document.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT NERProcessor final : public Processor {
 public:
  NERProcessor();
  NERProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~NERProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::optional<std::filesystem::path> bundle_path() const;

  std::vector<std::string> tag(const std::vector<std::string>& tokens) const;

 private:
  friend struct detail::ProcessorAccess;
  explicit NERProcessor(std::shared_ptr<const NERPlan> plan);

  std::shared_ptr<const NERPlan> plan_;
};

// Sentence sentiment classes.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT SentimentProcessor final : public Processor {
 public:
  SentimentProcessor();
  SentimentProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~SentimentProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::optional<std::filesystem::path> bundle_path() const;

  std::int64_t classify(const std::vector<std::string>& tokens) const;
  std::vector<std::int64_t> classify_many(const std::vector<std::vector<std::string>>& sentences,
                                          std::uint64_t batch_size) const;

 private:
  friend struct detail::ProcessorAccess;
  explicit SentimentProcessor(std::shared_ptr<const SentimentPlan> plan);

  std::shared_ptr<const SentimentPlan> plan_;
};

// Constituency trees.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT ConstituencyProcessor final : public Processor {
 public:
  ConstituencyProcessor();
  ConstituencyProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~ConstituencyProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::optional<std::filesystem::path> bundle_path() const;

  bool uses_xpos() const;
  ConstituencyTree parse(const std::vector<std::string>& words,
                         const std::vector<std::string>& tags) const;
  std::vector<ConstituencyTree> parse_many(const std::vector<std::vector<std::string>>& words,
                                           const std::vector<std::vector<std::string>>& tags) const;

 private:
  friend struct detail::ProcessorAccess;
  explicit ConstituencyProcessor(std::shared_ptr<const ConstituencyPlan> plan);

  std::shared_ptr<const ConstituencyPlan> plan_;
};

// Coreference chains.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT CorefProcessor final : public Processor {
 public:
  CorefProcessor();
  CorefProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~CorefProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::optional<std::filesystem::path> bundle_path() const;

  bool predicts_singletons() const;
  bool predicts_zero_anaphora() const;

 private:
  friend struct detail::ProcessorAccess;
  explicit CorefProcessor(std::shared_ptr<const CorefPlan> plan);

  std::shared_ptr<const CorefPlan> plan_;
};

// Morpheme segmentation of words.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT MorphSegProcessor final : public Processor {
 public:
  MorphSegProcessor();
  MorphSegProcessor(std::filesystem::path bundle_dir, bool verify_checksums);
  ~MorphSegProcessor() override;

  bool implemented() const override;
  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::optional<std::filesystem::path> bundle_path() const;

  std::vector<std::string> segment(const std::string& word) const;
  std::vector<std::vector<std::string>> segment_many(const std::vector<std::string>& words) const;

 private:
  friend struct detail::ProcessorAccess;
  explicit MorphSegProcessor(std::shared_ptr<const MorphSegPlan> plan);

  std::shared_ptr<const MorphSegPlan> plan_;
};

}  // namespace lorvane
