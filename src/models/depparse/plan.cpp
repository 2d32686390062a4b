// Loading a "depparse" bundle, in the order the checks are made: bundle kind,
// configuration and native profile, runtime contract, vocabularies, tensor
// views, character language models, transformer, tensor validation, weight
// records.

#include <ATen/core/Tensor.h>

#include <string>
#include <string_view>
#include <utility>

#include "bundle/json.hpp"
#include "models/common/config.hpp"
#include "models/common/plan_loading.hpp"
#include "models/depparse/plan_impl.hpp"
#include "models/tagging/charlm_pair.hpp"
#include "models/tagging/tagger_assets.hpp"

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
  if (tensor.size(0) != static_cast<std::int64_t>(rows)) fail(message);
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

void fetch_weights(DepparsePlan::Impl& impl) {
  const auto lookup = [&impl](std::string_view name) -> const at::Tensor& { return impl.weight(name); };
  if (!impl.use_charlm) impl.character = detail::CharacterModel::from_tensors(lookup);
  impl.parser_layers.reserve(static_cast<std::size_t>(impl.num_layers));
  for (std::int64_t layer = 0; layer < impl.num_layers; ++layer) {
    impl.parser_layers.push_back(detail::make_highway_layer("parserlstm", layer, lookup));
  }
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
  if (use_charlm) {
    detail::CharLMPair charlms =
        detail::open_charlm_pair(bundle, root, kRaise, "depparse charLM directions disagree with their asset slots");
    forward_charlm = std::move(charlms.forward);
    backward_charlm = std::move(charlms.backward);
  }
  if (use_transformer) {
    transformer = std::make_unique<detail::NativeTransformer>(bundle, root.at("transformer", "assets"));
  }
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
  if (words.size(1) != word_emb_dim) fail(kDimensionsMessage);
  const at::Tensor& lemmas = weight("lemma_emb.weight");
  require_rows(lemmas, lemma_vocab.size(), kDimensionsMessage);
  if (lemmas.size(1) != word_emb_dim) fail(kDimensionsMessage);
  require_rows(weight("upos_emb.weight"), upos_vocab.size(), kDimensionsMessage);
  require_rows(weight("pretrained_emb.weight"), pretrain_vocab.size(), kDimensionsMessage);
  if (weight("parserlstm.lstm.0.lstm.weight_ih_l0").size(1) != input_width(*this)) fail(kDimensionsMessage);
  if (weight("deprel.scorer.W_bilin.bias").size(0) != static_cast<std::int64_t>(deprel_units.size()) - 4) {
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
}

DepparsePlan::DepparsePlan(std::filesystem::path bundle_dir, bool verify_checksums, DepparseOptions options) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
  } catch (const detail::JsonError& error) {
    throw DepparseModelError(error.what());
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
