// Loading a "depparse" bundle, in the order the checks are made: bundle kind,
// configuration and native profile, runtime contract, vocabularies, tensor
// views, character language models, transformer, tensor validation, weight
// records.

#include <ATen/core/Tensor.h>

#include <string>
#include <string_view>
#include <utility>

#include "bundle/json.hpp"
#include "models/depparse/plan_impl.hpp"
#include "models/tagging/embedded_encoders.hpp"
#include "models/tagging/tagger_assets.hpp"
#include "nn/config.hpp"
#include "nn/guarded_call.hpp"
#include "nn/model_tensors.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;

constexpr std::string_view kConfigContext = "assets.config";

const char* const kProfileMessage =
    "unsupported depparse architecture; the native profile requires word/lemma/POS/pretrain embeddings, one "
    "unidirectional character LSTM, a non-reversed GraphParser HighwayLSTM without recurrent dropout, and "
    "standard deep biaffine heads";
const char* const kDimensionsMessage = "depparse tensor dimensions disagree with bundled configuration or vocabularies";

[[noreturn]] void fail(const std::string& message) { throw DepparseModelError(message); }

const detail::RaiseError kRaise = &detail::raise<DepparseModelError>;

bool config_bool(const JsonValue& config, std::string_view key, bool fallback) {
  return detail::optional_bool(config, key, kConfigContext, fallback);
}

std::int64_t config_int(const JsonValue& config, std::string_view key, std::int64_t fallback) {
  return detail::optional_int(config, key, kConfigContext, fallback);
}

void read_settings(const JsonValue& config, DepparsePlan::Impl& impl) {
  impl.word_emb_dim = config_int(config, "word_emb_dim", 0);
  impl.tag_emb_dim = config_int(config, "tag_emb_dim", 0);
  impl.transformed_dim = config_int(config, "transformed_dim", 0);
  impl.char_emb_dim = config_int(config, "char_emb_dim", 0);
  impl.char_hidden_dim = config_int(config, "char_hidden_dim", 0);
  impl.hidden_dim = config_int(config, "hidden_dim", 0);
  impl.num_layers = config_int(config, "num_layers", 0);
  impl.batch_size = config_int(config, "batch_size", 5000);
  impl.deep_biaff_hidden_dim = config_int(config, "deep_biaff_hidden_dim", 0);
  impl.linearization = config_bool(config, "linearization", false);
  impl.distance = config_bool(config, "distance", false);
  impl.use_charlm = config_bool(config, "charlm", false);
  const JsonValue* bert_model = config.find("bert_model");
  impl.use_transformer = bert_model != nullptr && !bert_model->is_null();
}

// The sizes the model is built from, bounded before any is combined with
// another or sizes anything.
void check_dimension_ranges(const DepparsePlan::Impl& impl) {
  const std::pair<std::string_view, std::int64_t> sizes[] = {
      {"word_emb_dim", impl.word_emb_dim},       {"tag_emb_dim", impl.tag_emb_dim},
      {"transformed_dim", impl.transformed_dim}, {"char_emb_dim", impl.char_emb_dim},
      {"char_hidden_dim", impl.char_hidden_dim}, {"hidden_dim", impl.hidden_dim},
      {"num_layers", impl.num_layers},           {"deep_biaff_hidden_dim", impl.deep_biaff_hidden_dim}};
  for (const auto& [key, value] : sizes) {
    detail::size_in_range(value, 1, detail::kMaxConfiguredSize, detail::member_context(kConfigContext, key), kRaise);
  }
}

// Every check raises the one profile message; keys are read as their check is reached.
void check_profile(const JsonValue& config, const DepparsePlan::Impl& impl) {
  if (!config_bool(config, "char", false) || !config_bool(config, "pretrain", false) ||
      config_bool(config, "char_bidirectional", false) || config_bool(config, "use_arc_embedding", false) ||
      config_bool(config, "reversed", false) || !config_bool(config, "use_upos", true) ||
      !config_bool(config, "use_xpos", true) || !config_bool(config, "use_ufeats", true)) {
    fail(kProfileMessage);
  }
  if (!detail::recurrent_profile_holds(config, impl.use_charlm)) fail(kProfileMessage);
  for (const std::int64_t dimension :
       {impl.word_emb_dim, impl.tag_emb_dim, impl.transformed_dim, impl.char_emb_dim, impl.char_hidden_dim,
        impl.hidden_dim, impl.num_layers, impl.batch_size, impl.deep_biaff_hidden_dim}) {
    if (dimension <= 0) fail(kProfileMessage);
  }
  check_dimension_ranges(impl);
}

void read_config(const JsonValue& root, DepparsePlan::Impl& impl) {
  const JsonValue& config = root.at("config", "assets");
  // A configuration that is no object reads as all defaults, which the
  // profile refuses ("char" is false).
  if (!config.is_object()) fail(kProfileMessage);
  read_settings(config, impl);
  check_profile(config, impl);
}

void check_runtime_contract(const JsonValue& root) {
  const std::string& contract = root.at("runtime_contract", "assets")
                                    .at("depparse_ufeats_input", "assets.runtime_contract")
                                    .as_string("assets.runtime_contract.depparse_ufeats_input");
  if (contract != "duplicated_pos_emb") {
    fail("unsupported depparse UFeats input contract; released Tavrin 1.14 checkpoints require "
         "duplicated_pos_emb");
  }
}

void read_xpos_vocabulary(const JsonValue& vocab, DepparsePlan::Impl& impl) {
  constexpr std::string_view context = "assets.vocab.xpos";
  const JsonValue& xpos = vocab.at("xpos", "assets.vocab");
  if (!impl.xpos_composite) {
    impl.xpos_vocab = detail::read_unit2id(xpos, context);
    impl.xpos_ignore = detail::read_xpos_ignore(xpos, context);
    return;
  }
  if (detail::required_bool(xpos, "keyed", context)) fail("keyed composite XPOS vocabularies are unsupported");
  impl.xpos_separator = detail::required_string(xpos, "sep", context);
  impl.xpos_component_vocabs = detail::read_composite_components(
      xpos, context, "_unit2id", kRaise,
      [](const JsonValue& units, std::string_view units_context) { return detail::read_unit_ids(units, units_context); });
}

// Only the number of feature names matters: the parser reads no feature.
void read_feature_count(const JsonValue& vocab, DepparsePlan::Impl& impl) {
  constexpr std::string_view context = "assets.vocab.feats";
  const JsonValue& feats = vocab.at("feats", "assets.vocab");
  detail::check_keyed_features(feats, context, kRaise,
                               "the native depparse profile requires keyed, pipe-separated morphological features");
  impl.feats_count =
      feats.at("_id2unit", context).as_object(detail::member_context(context, "_id2unit")).size();
}

void read_vocabularies(const JsonValue& root, DepparsePlan::Impl& impl) {
  const JsonValue& vocab = root.at("vocab", "assets");
  impl.xpos_composite = detail::read_xpos_composite(vocab, "assets.vocab._key2class.xpos", kRaise);
  detail::CasedVocabulary words = detail::read_cased_vocabulary(vocab.at("word", "assets.vocab"), "assets.vocab.word");
  impl.word_vocab = std::move(words.ids);
  impl.word_lowercase = words.lowercase;
  detail::CasedVocabulary lemmas =
      detail::read_cased_vocabulary(vocab.at("lemma", "assets.vocab"), "assets.vocab.lemma");
  impl.lemma_vocab = std::move(lemmas.ids);
  impl.lemma_lowercase = lemmas.lowercase;
  impl.char_vocab = detail::read_unit2id(vocab.at("char", "assets.vocab"), "assets.vocab.char");
  impl.upos_vocab = detail::read_unit2id(vocab.at("upos", "assets.vocab"), "assets.vocab.upos");
  read_xpos_vocabulary(vocab, impl);
  impl.pretrain_vocab = detail::read_unit2id(root.at("pretrain_vocab", "assets"), "assets.pretrain_vocab");
  impl.deprel_units = detail::read_id2unit(vocab.at("deprel", "assets.vocab"), "assets.vocab.deprel");
  read_feature_count(vocab, impl);
}

// The XPOS embedding names: one, or one per component.
std::vector<std::string> xpos_embedding_names(const DepparsePlan::Impl& impl) {
  if (!impl.xpos_composite) return {"xpos_emb.weight"};
  std::vector<std::string> names;
  for (std::size_t i = 0; i < impl.xpos_component_vocabs.size(); ++i) {
    names.push_back(detail::indexed_name("xpos_emb.", i, ".weight"));
  }
  return names;
}

void require_rows(const at::Tensor& tensor, std::size_t rows, const char* message) {
  if (detail::size_or_none(tensor, 0) != static_cast<std::int64_t>(rows)) fail(message);
}

// One deep biaffine scorer over rows of `width`: dependent side W1
// [deep, width], head side W2 [head, width] (head any), pairwise weight
// [deep + 1, head + 1, outputs] and bias [outputs].
void check_deep_biaffine(const detail::ModelTensors& tensors, const std::string& scorer, std::int64_t width,
                         std::int64_t deep, std::int64_t outputs) {
  tensors.require(scorer + ".W1.weight", {deep, width});
  tensors.require(scorer + ".W1.bias", {deep});
  const std::int64_t head = detail::size_or_none(tensors.require(scorer + ".W2.weight"), 0);
  tensors.require(scorer + ".W2.weight", {head, width});
  tensors.require(scorer + ".W2.bias", {head});
  tensors.require(scorer + ".scorer.W_bilin.weight", {deep + 1, head + 1, outputs});
  tensors.require(scorer + ".scorer.W_bilin.bias", {outputs});
}

// The width of the first parser layer's input: pretrained, word, lemma, the
// part-of-speech block twice, the character part and the transformer rows.
std::int64_t input_width(const DepparsePlan::Impl& impl) {
  const std::int64_t character = impl.use_charlm
                                     ? impl.forward_charlm->hidden_size() + impl.backward_charlm->hidden_size()
                                     : impl.transformed_dim;
  const std::int64_t transformer = impl.use_transformer ? impl.transformer->hidden_size() : 0;
  return 2 * impl.word_emb_dim + impl.transformed_dim + 2 * impl.tag_emb_dim + character + transformer;
}

// Every tensor the parser reads, after the rules of validate_tensors: shapes
// against the configuration and vocabularies, one floating type, and every
// vocabulary id a row of its embedding. Ids 1 (unknown), 2 (absent) and 3
// (ROOT) are read from every word-level table.
void check_model_shapes(const DepparsePlan::Impl& impl) {
  const detail::ModelTensors& tensors = impl.tensors;
  using detail::kAnySize;
  constexpr std::int64_t kSpecialRows = 4;
  const std::int64_t word = impl.word_emb_dim;
  const std::int64_t tag = impl.tag_emb_dim;
  tensors.require("word_emb.weight", {kAnySize, word});
  tensors.require("lemma_emb.weight", {kAnySize, word});
  tensors.require("upos_emb.weight", {kAnySize, tag});
  for (const std::string& name : xpos_embedding_names(impl)) tensors.require(name, {kAnySize, tag});
  const std::int64_t pretrain_dim = detail::size_or_none(tensors.require("pretrained_emb.weight"), 1);
  tensors.require("pretrained_emb.weight", {kAnySize, pretrain_dim});
  tensors.require("trans_pretrained.weight", {impl.transformed_dim, pretrain_dim});
  if (!impl.use_charlm) {
    detail::CharacterModel::check_shapes(tensors, impl.char_emb_dim, impl.char_hidden_dim, impl.transformed_dim);
  }
  detail::check_highway_shapes(tensors, "parserlstm", impl.num_layers, input_width(impl), impl.hidden_dim);
  const std::int64_t width = 2 * impl.hidden_dim;
  const std::int64_t deep = impl.deep_biaff_hidden_dim;
  check_deep_biaffine(tensors, "unlabeled", width, deep, 1);
  check_deep_biaffine(tensors, "deprel", width, deep, static_cast<std::int64_t>(impl.deprel_units.size()) - 4);
  if (impl.linearization) check_deep_biaffine(tensors, "linearization", width, deep, 1);
  if (impl.distance) check_deep_biaffine(tensors, "distance", width, deep, 1);

  std::vector<std::string> tables = {"word_emb.weight", "lemma_emb.weight", "upos_emb.weight",
                                     "pretrained_emb.weight"};
  for (const std::string& name : xpos_embedding_names(impl)) tables.push_back(name);
  for (const std::string& name : tables) {
    if (detail::size_or_none(tensors.require(name), 0) < kSpecialRows) fail(kDimensionsMessage);
  }
  tensors.require_ids_in_rows(impl.word_vocab, "assets.vocab.word._unit2id", "word_emb.weight");
  tensors.require_ids_in_rows(impl.lemma_vocab, "assets.vocab.lemma._unit2id", "lemma_emb.weight");
  tensors.require_ids_in_rows(impl.upos_vocab, "assets.vocab.upos._unit2id", "upos_emb.weight");
  tensors.require_ids_in_rows(impl.pretrain_vocab, "assets.pretrain_vocab._unit2id", "pretrained_emb.weight");
  if (impl.xpos_composite) {
    for (std::size_t i = 0; i < impl.xpos_component_vocabs.size(); ++i) {
      tensors.require_ids_in_rows(impl.xpos_component_vocabs[i],
                                  "assets.vocab.xpos._unit2id." + std::to_string(i),
                                  detail::indexed_name("xpos_emb.", i, ".weight"));
    }
  } else {
    tensors.require_ids_in_rows(impl.xpos_vocab, "assets.vocab.xpos._unit2id", "xpos_emb.weight");
  }
  if (!impl.use_charlm) {
    if (detail::size_or_none(tensors.require("charmodel.char_emb.weight"), 0) < kSpecialRows) {
      fail("depparse character tensor dimensions disagree with its vocabulary");
    }
    tensors.require_ids_in_rows(impl.char_vocab, "assets.vocab.char._unit2id", "charmodel.char_emb.weight");
  }
}

void fetch_weights(DepparsePlan::Impl& impl) {
  const auto lookup = [&impl](std::string_view name) -> const at::Tensor& { return impl.weight(name); };
  if (!impl.use_charlm) impl.character = detail::CharacterModel::from_tensors(lookup);
  impl.parser_layers = detail::make_highway_layers("parserlstm", impl.num_layers, lookup);
  impl.word_embedding = lookup("word_emb.weight");
  impl.lemma_embedding = lookup("lemma_emb.weight");
  impl.upos_embedding = lookup("upos_emb.weight");
  for (const std::string& name : xpos_embedding_names(impl)) impl.xpos_embeddings.push_back(lookup(name));
  impl.pretrained_embedding = lookup("pretrained_emb.weight");
  impl.pretrained_projection = lookup("trans_pretrained.weight");
  const detail::DeepBiaffineWeights::Lookup scorer_lookup = [&impl](const std::string& name) -> const at::Tensor& {
    return impl.weight(name);
  };
  impl.scorers.unlabeled = detail::DeepBiaffineWeights::named("unlabeled", scorer_lookup);
  impl.scorers.deprel = detail::DeepBiaffineWeights::named("deprel", scorer_lookup);
  if (impl.linearization) impl.scorers.linearization = detail::DeepBiaffineWeights::named("linearization", scorer_lookup);
  if (impl.distance) impl.scorers.distance = detail::DeepBiaffineWeights::named("distance", scorer_lookup);
}

}  // namespace

DepparsePlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(detail::open_bundle_for<DepparseModelError>(std::move(bundle_dir), verify_checksums, "depparse",
                                                         "a depparse")) {
  const JsonValue root = detail::parse_json(bundle->assets_json());
  read_config(root, *this);
  check_runtime_contract(root);
  read_vocabularies(root, *this);
  tensors = detail::ModelTensors(*bundle, kRaise, "missing depparse tensor: '");
  detail::open_embedded_encoders(*this, root, kRaise, "depparse charLM directions disagree with their asset slots");
  validate_tensors();
  fetch_weights(*this);
}

const at::Tensor& DepparsePlan::Impl::weight(std::string_view name) const { return tensors.require(name); }

void DepparsePlan::Impl::require_deep_biaffine(std::string_view scorer) const {
  const std::string prefix(scorer);
  for (const char* part : {".W1.weight", ".W1.bias", ".W2.weight", ".W2.bias", ".scorer.W_bilin.weight",
                           ".scorer.W_bilin.bias"}) {
    weight(prefix + part);
  }
}

void DepparsePlan::Impl::validate_tensors() const {
  for (const char* name : {"word_emb.weight", "lemma_emb.weight", "upos_emb.weight", "pretrained_emb.weight",
                           "trans_pretrained.weight", "parserlstm_h_init", "parserlstm_c_init"}) {
    weight(name);
  }
  require_deep_biaffine("unlabeled");
  require_deep_biaffine("deprel");
  for (const std::string& name : xpos_embedding_names(*this)) weight(name);
  if (!use_charlm) {
    for (const std::string& name : detail::CharacterModel::tensor_names()) weight(name);
  }
  for (std::int64_t layer = 0; layer < num_layers; ++layer) {
    for (const std::string& name : detail::highway_layer_names("parserlstm", layer)) weight(name);
  }
  if (linearization) require_deep_biaffine("linearization");
  if (distance) require_deep_biaffine("distance");
  for (std::uint64_t i = 0; i < feats_count; ++i) weight(detail::indexed_name("ufeats_emb.", i, ".weight"));

  const at::Tensor& words = weight("word_emb.weight");
  require_rows(words, word_vocab.size(), kDimensionsMessage);
  if (detail::size_or_none(words, 1) != word_emb_dim) fail(kDimensionsMessage);
  const at::Tensor& lemmas = weight("lemma_emb.weight");
  require_rows(lemmas, lemma_vocab.size(), kDimensionsMessage);
  if (detail::size_or_none(lemmas, 1) != word_emb_dim) fail(kDimensionsMessage);
  require_rows(weight("upos_emb.weight"), upos_vocab.size(), kDimensionsMessage);
  require_rows(weight("pretrained_emb.weight"), pretrain_vocab.size(), kDimensionsMessage);
  if (detail::size_or_none(weight("parserlstm.lstm.0.lstm.weight_ih_l0"), 1) != input_width(*this)) fail(kDimensionsMessage);
  if (detail::size_or_none(weight("deprel.scorer.W_bilin.bias"), 0) != static_cast<std::int64_t>(deprel_units.size()) - 4) {
    fail(kDimensionsMessage);
  }
  if (xpos_composite) {
    for (std::size_t i = 0; i < xpos_component_vocabs.size(); ++i) {
      require_rows(weight(detail::indexed_name("xpos_emb.", i, ".weight")), xpos_component_vocabs[i].size(),
                   "composite XPOS embedding dimensions disagree with its vocabulary");
    }
  } else {
    require_rows(weight("xpos_emb.weight"), xpos_vocab.size(), "XPOS embedding dimensions disagree with its vocabulary");
  }
  if (!use_charlm) {
    require_rows(weight("charmodel.char_emb.weight"), char_vocab.size(),
                 "depparse character tensor dimensions disagree with its vocabulary");
  }
  check_model_shapes(*this);
}

DepparsePlan::DepparsePlan(std::filesystem::path bundle_dir, bool verify_checksums, DepparseOptions options) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
  } catch (...) {
    detail::rethrow_loading_error<DepparseModelError>();
  }
  impl_->max_arc_score_bytes = options.max_arc_score_bytes;
}

DepparsePlan::DepparsePlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DepparsePlan::DepparsePlan(DepparsePlan&& other) noexcept = default;
DepparsePlan& DepparsePlan::operator=(DepparsePlan&& other) noexcept = default;
DepparsePlan::~DepparsePlan() = default;

const ModelBundle& DepparsePlan::bundle() const { return *detail::loaded_impl(impl_, "depparse").bundle; }

const DepparsePlan::Impl& DepparsePlan::impl() const { return detail::loaded_impl(impl_, "depparse"); }

}  // namespace lorvane
