// Loading a "pos" bundle, in the order the checks are made: bundle kind,
// configuration and native profile, vocabularies, tensor views, character
// language models, transformer, tensor validation, weight records.

#include <ATen/core/Tensor.h>

#include <string>
#include <string_view>
#include <utility>

#include "bundle/json.hpp"
#include "models/pos/plan_impl.hpp"
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
    "unsupported POS architecture; the native profile requires word/pretrain embeddings, one "
    "unidirectional character LSTM, a non-shared HighwayLSTM, and no recurrent dropout";

[[noreturn]] void fail(const std::string& message) { throw POSModelError(message); }

const detail::RaiseError kRaise = &detail::raise<POSModelError>;

bool config_bool(const JsonValue& config, std::string_view key) {
  return detail::optional_bool(config, key, kConfigContext, false);
}

std::int64_t config_int(const JsonValue& config, std::string_view key, std::int64_t fallback) {
  return detail::optional_int(config, key, kConfigContext, fallback);
}

void read_dimensions(const JsonValue& config, POSPlan::Impl& impl) {
  impl.word_emb_dim = config_int(config, "word_emb_dim", 0);
  impl.transformed_dim = config_int(config, "transformed_dim", 0);
  impl.char_emb_dim = config_int(config, "char_emb_dim", 0);
  impl.char_hidden_dim = config_int(config, "char_hidden_dim", 0);
  impl.hidden_dim = config_int(config, "hidden_dim", 0);
  impl.num_layers = config_int(config, "num_layers", 0);
  impl.tag_emb_dim = config_int(config, "tag_emb_dim", 0);
  impl.batch_size = config_int(config, "batch_size", 250);
  impl.batch_maximum_tokens = config_int(config, "batch_maximum_tokens", 5000);
  impl.charlm_transform_dim = config_int(config, "charlm_transform_dim", 0);
  impl.use_charlm = config_bool(config, "charlm");
}

// The sizes the model is built from, bounded before any is combined with
// another or sizes anything.
void check_dimension_ranges(const POSPlan::Impl& impl) {
  const std::pair<std::string_view, std::int64_t> sizes[] = {
      {"word_emb_dim", impl.word_emb_dim},   {"transformed_dim", impl.transformed_dim},
      {"char_emb_dim", impl.char_emb_dim},   {"char_hidden_dim", impl.char_hidden_dim},
      {"hidden_dim", impl.hidden_dim},       {"num_layers", impl.num_layers},
      {"tag_emb_dim", impl.tag_emb_dim}};
  for (const auto& [key, value] : sizes) {
    detail::size_in_range(value, 1, detail::kMaxConfiguredSize, detail::member_context(kConfigContext, key), kRaise);
  }
  // Zero or less means no projection of the character-LM rows.
  if (impl.charlm_transform_dim > 0) {
    detail::size_in_range(impl.charlm_transform_dim, 1, detail::kMaxConfiguredSize,
                          detail::member_context(kConfigContext, "charlm_transform_dim"), kRaise);
  }
}

// Every check raises the one profile message; keys are read as their check is reached.
void check_profile(const JsonValue& config, const POSPlan::Impl& impl) {
  if (!config_bool(config, "char") || !config_bool(config, "pretrain") ||
      config_bool(config, "char_bidirectional") || config_bool(config, "share_hid")) {
    fail(kProfileMessage);
  }
  if (!detail::recurrent_profile_holds(config, impl.use_charlm)) fail(kProfileMessage);
  for (const std::int64_t dimension :
       {impl.word_emb_dim, impl.transformed_dim, impl.char_emb_dim, impl.char_hidden_dim,
        impl.hidden_dim, impl.num_layers, impl.tag_emb_dim, impl.batch_size,
        impl.batch_maximum_tokens}) {
    if (dimension <= 0) fail(kProfileMessage);
  }
  check_dimension_ranges(impl);
}

void read_config(const JsonValue& root, POSPlan::Impl& impl) {
  const JsonValue& config = root.at("config", "assets");
  // A configuration that is no object reads as all defaults, which the
  // profile refuses ("char" is false).
  if (!config.is_object()) fail(kProfileMessage);
  read_dimensions(config, impl);
  check_profile(config, impl);
  const JsonValue* bert_model = config.find("bert_model");
  impl.use_transformer = bert_model != nullptr && !bert_model->is_null();
}

void read_xpos_vocabulary(const JsonValue& vocab, POSPlan::Impl& impl) {
  constexpr std::string_view context = "assets.vocab.xpos";
  const JsonValue& xpos = vocab.at("xpos", "assets.vocab");
  if (!impl.xpos_composite) {
    impl.xpos_units = detail::read_id2unit(xpos, context);
    impl.xpos_ignore = detail::read_xpos_ignore(xpos, context);
    return;
  }
  if (detail::required_bool(xpos, "keyed", context)) fail("keyed composite XPOS vocabularies are unsupported");
  impl.xpos_separator = detail::required_string(xpos, "sep", context);
  impl.xpos_components = detail::read_composite_components(
      xpos, context, "_id2unit", kRaise,
      [](const JsonValue& units, std::string_view units_context) {
        return detail::read_string_array(units, units_context);
      });
}

// Features in the key order of the JSON object: ascending byte order of the names.
void read_feature_vocabulary(const JsonValue& vocab, POSPlan::Impl& impl) {
  constexpr std::string_view context = "assets.vocab.feats";
  const JsonValue& feats = vocab.at("feats", "assets.vocab");
  detail::check_keyed_features(feats, context, kRaise,
                               "the native POS profile requires keyed, pipe-separated morphological features");
  const std::string object_context = detail::member_context(context, "_id2unit");
  const JsonValue::Object& features = feats.at("_id2unit", context).as_object(object_context);
  impl.feats_vocab.reserve(features.size());
  for (const auto& [name, units] : features) {
    impl.feats_vocab.push_back(
        {name, detail::read_string_array(units, detail::member_context(object_context, name))});
  }
}

void read_vocabularies(const JsonValue& root, POSPlan::Impl& impl) {
  const JsonValue& vocab = root.at("vocab", "assets");
  impl.xpos_composite = detail::read_xpos_composite(vocab, "", kRaise);
  detail::CasedVocabulary words =
      detail::read_cased_vocabulary(vocab.at("word", "assets.vocab"), "assets.vocab.word");
  impl.word_vocab = std::move(words.ids);
  impl.word_lowercase = words.lowercase;
  impl.char_vocab = detail::read_unit2id(vocab.at("char", "assets.vocab"), "assets.vocab.char");
  impl.upos_units = detail::read_id2unit(vocab.at("upos", "assets.vocab"), "assets.vocab.upos");
  read_xpos_vocabulary(vocab, impl);
  impl.pretrain_vocab =
      detail::read_unit2id(root.at("pretrain_vocab", "assets"), "assets.pretrain_vocab");
  read_feature_vocabulary(vocab, impl);
}

// Biaffine prefixes of the XPOS classifiers: one, or one per component.
std::vector<std::string> xpos_prefixes(const POSPlan::Impl& impl) {
  if (!impl.xpos_composite) return {"xpos_clf.W_bilin"};
  std::vector<std::string> prefixes;
  for (std::size_t i = 0; i < impl.xpos_components.size(); ++i) {
    prefixes.push_back(detail::indexed_name("xpos_clf.", i, ".W_bilin"));
  }
  return prefixes;
}

std::string feature_prefix(std::size_t index) { return detail::indexed_name("ufeats_clf.", index, ".W_bilin"); }

void require_rows(const at::Tensor& tensor, std::size_t rows, const char* message) {
  if (detail::size_or_none(tensor, 0) != static_cast<std::int64_t>(rows)) fail(message);
}

// Every tensor the tagger reads, after the rules above: shapes against the
// configuration and vocabularies, one floating type, and every vocabulary id
// a row of its embedding. What passes here cannot fail in the encoder or the
// heads.
void check_model_shapes(const POSPlan::Impl& impl, std::int64_t input_width) {
  const detail::ModelTensors& tensors = impl.tensors;
  using detail::kAnySize;
  const std::int64_t hidden = impl.hidden_dim;
  const std::int64_t tag = impl.tag_emb_dim;
  tensors.require("word_emb.weight", {kAnySize, impl.word_emb_dim});
  const std::int64_t pretrain_dim = detail::size_or_none(tensors.require("pretrained_emb.weight"), 1);
  tensors.require("pretrained_emb.weight", {kAnySize, pretrain_dim});
  tensors.require("trans_pretrained.weight", {impl.transformed_dim, pretrain_dim});
  if (impl.use_charlm) {
    if (impl.charlm_transform_dim > 0) {
      tensors.require("charmodel_forward_transform.weight", {impl.charlm_transform_dim, impl.forward_charlm->hidden_size()});
      tensors.require("charmodel_backward_transform.weight",
                      {impl.charlm_transform_dim, impl.backward_charlm->hidden_size()});
    }
  } else {
    detail::CharacterModel::check_shapes(tensors, impl.char_emb_dim, impl.char_hidden_dim, impl.transformed_dim);
  }
  detail::check_highway_shapes(tensors, "taggerlstm", impl.num_layers, input_width, hidden);
  const auto upos = static_cast<std::int64_t>(impl.upos_units.size());
  const std::int64_t upos_hidden = detail::size_or_none(tensors.require("upos_hid.weight"), 0);
  tensors.require("upos_hid.weight", {upos_hidden, 2 * hidden});
  tensors.require("upos_hid.bias", {upos_hidden});
  tensors.require("upos_clf.weight", {upos, upos_hidden});
  tensors.require("upos_clf.bias", {upos});
  tensors.require("upos_emb.weight", {upos, tag});
  // A hidden layer over the encoder rows, then biaffine classifiers over its
  // output and the UPOS embedding.
  const auto check_head = [&](const std::string& hidden_layer, const std::vector<std::string>& classifiers) {
    const std::int64_t width = detail::size_or_none(tensors.require(hidden_layer + ".weight"), 0);
    tensors.require(hidden_layer + ".weight", {width, 2 * hidden});
    tensors.require(hidden_layer + ".bias", {width});
    for (const std::string& classifier : classifiers) {
      const std::int64_t classes = detail::size_or_none(tensors.require(classifier + ".weight"), 0);
      tensors.require(classifier + ".weight", {classes, width + 1, tag + 1});
      tensors.require(classifier + ".bias", {classes});
    }
  };
  check_head("xpos_hid", xpos_prefixes(impl));
  std::vector<std::string> features;
  for (std::size_t i = 0; i < impl.feats_vocab.size(); ++i) features.push_back(feature_prefix(i));
  check_head("ufeats_hid", features);
  // A class past a feature's units could be predicted: refused now with the
  // message its prediction would raise.
  for (std::size_t i = 0; i < impl.feats_vocab.size(); ++i) {
    if (tensors.require(feature_prefix(i) + ".weight").size(0) >
        static_cast<std::int64_t>(impl.feats_vocab[i].units.size())) {
      fail("feature classifier produced an invalid id");
    }
  }
  // A word the vocabulary lacks gets id 1.
  if (detail::size_or_none(tensors.require("word_emb.weight"), 0) < 2 ||
      detail::size_or_none(tensors.require("pretrained_emb.weight"), 0) < 2) {
    fail("POS tensor dimensions disagree with bundled vocabularies");
  }
  tensors.require_ids_in_rows(impl.word_vocab, "assets.vocab.word._unit2id", "word_emb.weight");
  tensors.require_ids_in_rows(impl.pretrain_vocab, "assets.pretrain_vocab._unit2id", "pretrained_emb.weight");
  if (!impl.use_charlm) {
    if (detail::size_or_none(tensors.require("charmodel.char_emb.weight"), 0) < 2) {
      fail("POS character tensor dimensions disagree with its vocabulary");
    }
    tensors.require_ids_in_rows(impl.char_vocab, "assets.vocab.char._unit2id", "charmodel.char_emb.weight");
  }
}

void fetch_weights(POSPlan::Impl& impl) {
  const auto lookup = [&impl](std::string_view name) -> const at::Tensor& { return impl.weight(name); };
  if (!impl.use_charlm) impl.character = detail::CharacterModel::from_tensors(lookup);
  impl.tagger_layers = detail::make_highway_layers("taggerlstm", impl.num_layers, lookup);
  impl.word_embedding = lookup("word_emb.weight");
  impl.pretrained_embedding = lookup("pretrained_emb.weight");
  impl.pretrained_projection = lookup("trans_pretrained.weight");
  if (impl.use_charlm && impl.charlm_transform_dim > 0) {
    impl.forward_charlm_projection = lookup("charmodel_forward_transform.weight");
    impl.backward_charlm_projection = lookup("charmodel_backward_transform.weight");
  }
  impl.upos_hidden_weight = lookup("upos_hid.weight");
  impl.upos_hidden_bias = lookup("upos_hid.bias");
  impl.upos_classifier_weight = lookup("upos_clf.weight");
  impl.upos_classifier_bias = lookup("upos_clf.bias");
  impl.upos_embedding = lookup("upos_emb.weight");
  impl.xpos_hidden_weight = lookup("xpos_hid.weight");
  impl.xpos_hidden_bias = lookup("xpos_hid.bias");
  impl.feats_hidden_weight = lookup("ufeats_hid.weight");
  impl.feats_hidden_bias = lookup("ufeats_hid.bias");
  for (const std::string& prefix : xpos_prefixes(impl)) {
    impl.xpos_classifiers.push_back({lookup(prefix + ".weight"), lookup(prefix + ".bias")});
  }
  for (std::size_t i = 0; i < impl.feats_vocab.size(); ++i) {
    const std::string prefix = feature_prefix(i);
    impl.feature_classifiers.push_back({lookup(prefix + ".weight"), lookup(prefix + ".bias")});
  }
}

}  // namespace

POSPlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(detail::open_bundle_for<POSModelError>(std::move(bundle_dir), verify_checksums, "pos",
                                                    "a POS")) {
  const JsonValue root = detail::parse_json(bundle->assets_json());
  read_config(root, *this);
  read_vocabularies(root, *this);
  tensors = detail::ModelTensors(*bundle, kRaise, "missing POS tensor: '");
  detail::open_embedded_encoders(*this, root, kRaise, "POS charLM directions disagree with their asset slots");
  validate_tensors();
  fetch_weights(*this);
}

const at::Tensor& POSPlan::Impl::weight(std::string_view name) const { return tensors.require(name); }

void POSPlan::Impl::validate_tensors() const {
  for (const char* name :
       {"word_emb.weight", "pretrained_emb.weight", "trans_pretrained.weight", "taggerlstm_h_init",
        "taggerlstm_c_init", "upos_hid.weight", "upos_hid.bias", "upos_clf.weight", "upos_clf.bias",
        "upos_emb.weight", "xpos_hid.weight", "xpos_hid.bias", "ufeats_hid.weight", "ufeats_hid.bias"}) {
    weight(name);
  }
  for (const std::string& prefix : xpos_prefixes(*this)) {
    weight(prefix + ".weight");
    weight(prefix + ".bias");
  }
  if (use_charlm) {
    if (charlm_transform_dim > 0) {
      weight("charmodel_forward_transform.weight");
      weight("charmodel_backward_transform.weight");
    }
  } else {
    for (const std::string& name : detail::CharacterModel::tensor_names()) weight(name);
  }
  for (std::int64_t layer = 0; layer < num_layers; ++layer) {
    for (const std::string& name : detail::highway_layer_names("taggerlstm", layer)) weight(name);
  }
  for (std::size_t i = 0; i < feats_vocab.size(); ++i) {
    weight(feature_prefix(i) + ".weight");
    weight(feature_prefix(i) + ".bias");
  }

  const char* const vocabularies = "POS tensor dimensions disagree with bundled vocabularies";
  const at::Tensor& words = weight("word_emb.weight");
  require_rows(words, word_vocab.size(), vocabularies);
  if (detail::size_or_none(words, 1) != word_emb_dim) fail(vocabularies);
  require_rows(weight("pretrained_emb.weight"), pretrain_vocab.size(), vocabularies);
  require_rows(weight("upos_clf.weight"), upos_units.size(), vocabularies);
  if (xpos_composite) {
    for (std::size_t i = 0; i < xpos_components.size(); ++i) {
      require_rows(weight(detail::indexed_name("xpos_clf.", i, ".W_bilin.weight")), xpos_components[i].size(),
                   "composite XPOS tensor dimensions disagree with its vocabulary");
    }
  } else {
    require_rows(weight("xpos_clf.W_bilin.weight"), xpos_units.size(),
                 "XPOS tensor dimensions disagree with its vocabulary");
  }
  if (!use_charlm) {
    require_rows(weight("charmodel.char_emb.weight"), char_vocab.size(),
                 "POS character tensor dimensions disagree with its vocabulary");
  }
  std::int64_t character_width = transformed_dim;
  if (use_charlm) {
    character_width = charlm_transform_dim > 0
                          ? 2 * charlm_transform_dim
                          : forward_charlm->hidden_size() + backward_charlm->hidden_size();
  }
  const std::int64_t transformer_width = use_transformer ? transformer->hidden_size() : 0;
  const std::int64_t input_width = word_emb_dim + transformed_dim + character_width + transformer_width;
  if (detail::size_or_none(weight("taggerlstm.lstm.0.lstm.weight_ih_l0"), 1) != input_width) {
    fail("POS tagger input size disagrees with its embedding profile");
  }
  check_model_shapes(*this, input_width);
}

POSPlan::POSPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
  } catch (...) {
    detail::rethrow_loading_error<POSModelError>();
  }
}

POSPlan::POSPlan(POSPlan&& other) noexcept = default;
POSPlan& POSPlan::operator=(POSPlan&& other) noexcept = default;
POSPlan::~POSPlan() = default;

const ModelBundle& POSPlan::bundle() const { return *detail::loaded_impl(impl_, "POS").bundle; }

const POSPlan::Impl& POSPlan::impl() const { return detail::loaded_impl(impl_, "POS"); }

}  // namespace lorvane
