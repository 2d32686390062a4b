// Loading an ner bundle: the configuration and its native profile, the four
// vocabularies, the tensor views with their validation, the encoders and the
// weight sets, in the order the checks are reported.

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <limits>
#include <string>
#include <utility>

#include "bundle/json.hpp"
#include "models/ner/plan_impl.hpp"
#include "nn/config.hpp"
#include "nn/guarded_call.hpp"
#include "nn/model_tensors.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;

constexpr std::string_view kConfig = "assets.config";

constexpr std::string_view kProfileMessage =
    "unsupported NER architecture; the native profile requires static and delta word embeddings, "
    "a bidirectional character LSTM without recurrent dropout, and a standard bidirectional tagger "
    "LSTM";

[[noreturn]] void fail(std::string_view message) { throw NERModelError(std::string(message)); }

std::int64_t config_int(const JsonValue& config, std::string_view key) {
  return detail::optional_int(config, key, kConfig, 0);
}

bool config_bool(const JsonValue& config, std::string_view key, bool fallback) {
  return detail::optional_bool(config, key, kConfig, fallback);
}

void read_dimensions(const JsonValue& config, NERPlan::Impl& impl) {
  impl.word_emb_dim = config_int(config, "word_emb_dim");
  impl.char_emb_dim = config_int(config, "char_emb_dim");
  impl.char_hidden_dim = config_int(config, "char_hidden_dim");
  impl.char_num_layers = config_int(config, "char_num_layers");
  impl.hidden_dim = config_int(config, "hidden_dim");
  impl.num_layers = config_int(config, "num_layers");
  impl.predict_tagset = config_int(config, "predict_tagset");
}

// Returns the `char` flag, which only the profile check needs.
bool read_flags(const JsonValue& config, NERPlan::Impl& impl) {
  impl.lowercase = config_bool(config, "lowercase", true);
  impl.char_lowercase = config_bool(config, "char_lowercase", false);
  impl.input_transform = config_bool(config, "input_transform", false);
  impl.connect_output_layers = config_bool(config, "connect_output_layers", false);
  impl.charlm = config_bool(config, "charlm", false);
  return config_bool(config, "char", false);
}

void check_profile(const JsonValue& config, const NERPlan::Impl& impl, bool char_model) {
  const bool positive = impl.word_emb_dim > 0 && impl.char_emb_dim > 0 && impl.char_hidden_dim > 0 &&
                        impl.char_num_layers > 0 && impl.hidden_dim > 0 && impl.num_layers > 0;
  if (!char_model || !positive) fail(kProfileMessage);
  if (const JsonValue* dropout = detail::given_member(config, "char_rec_dropout", kConfig)) {
    if (dropout->as_number("assets.config.char_rec_dropout") != 0.0) fail(kProfileMessage);
  }
}

// The sizes the model is built from, bounded before any is combined with
// another or sizes anything.
void check_dimension_ranges(const NERPlan::Impl& impl) {
  const std::pair<std::string_view, std::int64_t> sizes[] = {
      {"word_emb_dim", impl.word_emb_dim}, {"char_emb_dim", impl.char_emb_dim},
      {"char_hidden_dim", impl.char_hidden_dim}, {"char_num_layers", impl.char_num_layers},
      {"hidden_dim", impl.hidden_dim}, {"num_layers", impl.num_layers}};
  for (const auto& [key, value] : sizes) {
    const std::int64_t max = key == "char_num_layers" || key == "num_layers" ? detail::kMaxLstmLayers
                                                                              : detail::kMaxConfiguredSize;
    detail::size_in_range(value, 1, max, detail::member_context(kConfig, key), &detail::raise<NERModelError>);
  }
}

void check_scheme(const JsonValue& config) {
  if (const JsonValue* scheme = detail::given_member(config, "scheme", kConfig)) {
    if (scheme->as_string("assets.config.scheme") != "bioes") {
      fail("the native NER profile requires BIOES tags");
    }
  }
}

void check_vocabulary_layout(const JsonValue& vocab) {
  const JsonValue& classes = vocab.at("_key2class", "assets.vocab");
  constexpr std::string_view kContext = "assets.vocab._key2class";
  const std::string& char_class = classes.at("char", kContext).as_string("");
  const std::string& word_class = classes.at("word", kContext).as_string("");
  const std::string& delta_class = classes.at("delta", kContext).as_string("");
  const std::string& tag_class = classes.at("tag", kContext).as_string("");
  if (char_class != "CharVocab" || word_class != "PretrainedWordVocab" || delta_class != "WordVocab" ||
      tag_class != "CompositeVocab") {
    fail("unsupported NER vocabulary layout");
  }
}

// The vocabulary's own `lower` flag: false without the member; a null is a
// type error, not a default.
bool vocabulary_lower(const JsonValue& vocabulary, std::string_view context) {
  const JsonValue* lower = vocabulary.find("lower");
  return lower != nullptr && lower->as_bool(context);
}

void read_vocabularies(const JsonValue& vocab, NERPlan::Impl& impl) {
  const JsonValue& word = vocab.at("word", "assets.vocab");
  const JsonValue& delta = vocab.at("delta", "assets.vocab");
  impl.word_vocab = detail::read_unit2id(word, "assets.vocab.word");
  impl.delta_vocab = detail::read_unit2id(delta, "assets.vocab.delta");
  impl.char_vocab = detail::read_unit2id(vocab.at("char", "assets.vocab"), "assets.vocab.char");
  impl.word_lower = vocabulary_lower(word, "assets.vocab.word.lower");
  impl.delta_lower = vocabulary_lower(delta, "assets.vocab.delta.lower");
}

// A tag column key as an unsigned decimal number: leading (ASCII) white space, one
// optional sign (a minus negates modulo 2^64), then the longest run of
// digits. Sets `whole` when the digits end the key. Throws "NER tag
// vocabulary column is not numeric: '<key>'" without digits or beyond 64 bits.
std::uint64_t column_number(const std::string& key, bool& whole) {
  std::size_t at = 0;
  while (at < key.size() && std::string_view(" \t\n\v\f\r").find(key[at]) != std::string_view::npos) ++at;
  bool negative = false;
  if (at < key.size() && (key[at] == '+' || key[at] == '-')) negative = key[at++] == '-';
  const std::size_t first_digit = at;
  std::uint64_t value = 0;
  bool overflow = false;
  for (; at < key.size() && key[at] >= '0' && key[at] <= '9'; ++at) {
    const auto digit = static_cast<std::uint64_t>(key[at] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) overflow = true;
    value = value * 10 + digit;
  }
  if (at == first_digit || overflow) fail("NER tag vocabulary column is not numeric: '" + key + "'");
  whole = at == key.size();
  return negative ? 0 - value : value;
}

// Members named 0 .. N-1, in any order, fill the N columns once each. A
// column counts as filled once its member is read, also when its array is
// empty, so that no member can silently replace another.
void read_tag_columns(const JsonValue& vocab, NERPlan::Impl& impl) {
  const JsonValue& tag = vocab.at("tag", "assets.vocab");
  const JsonValue::Object& columns =
      tag.at("_id2unit", "assets.vocab.tag").as_object("assets.vocab.tag._id2unit");
  impl.tag_columns.assign(columns.size(), {});
  std::vector<bool> filled(columns.size(), false);
  for (const auto& [key, tags] : columns) {
    bool whole = false;
    const std::uint64_t number = column_number(key, whole);
    if (!whole || number >= columns.size() || filled[number]) {
      fail("NER tag vocabulary columns are not contiguous");
    }
    filled[number] = true;
    const std::string context = "assets.vocab.tag._id2unit." + key;
    const std::string element_context = context + "[]";
    std::vector<std::string>& column = impl.tag_columns[number];
    for (const JsonValue& element : tags.as_array(context)) {
      column.push_back(element.as_string(element_context));
    }
  }
  if (impl.predict_tagset < 0 ||
      static_cast<std::uint64_t>(impl.predict_tagset) >= impl.tag_columns.size()) {
    fail("NER predict_tagset is out of range");
  }
}

void build_char_models(const JsonValue& root, NERPlan::Impl& impl) {
  const JsonValue& slots = root.at("charlm", "assets");
  const JsonValue& forward = slots.at("forward", "assets.charlm");
  impl.charlm_forward = std::make_unique<detail::NativeCharLM>(impl.bundle, "charmodel_forward.", forward);
  const JsonValue& backward = slots.at("backward", "assets.charlm");
  impl.charlm_backward =
      std::make_unique<detail::NativeCharLM>(impl.bundle, "charmodel_backward.", backward);
  if (!impl.charlm_forward->is_forward() || impl.charlm_backward->is_forward()) {
    fail("NER charLM directions disagree with their asset slots");
  }
}

// The id of a token the vocabularies lack.
constexpr std::int64_t kUnknownId = 1;

// "<prefix><column><suffix>", as in tag_clfs.12.weight.
std::string column_tensor(std::string_view prefix, std::size_t column, std::string_view suffix) {
  return std::string(prefix) + std::to_string(column) + std::string(suffix);
}

}  // namespace

NERPlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(detail::open_bundle_for<NERModelError>(std::move(bundle_dir), verify_checksums, "ner",
                                                    "an NER")) {
  // The parsed assets live only while the plan is built.
  const JsonValue root = detail::parse_json(bundle->assets_json());
  const JsonValue& config = root.at("config", "assets");
  read_dimensions(config, *this);
  const bool char_model = read_flags(config, *this);
  check_profile(config, *this, char_model);
  check_dimension_ranges(*this);
  use_transformer = detail::given_member(config, "bert_model", kConfig) != nullptr;
  check_scheme(config);

  const JsonValue& vocab = root.at("vocab", "assets");
  check_vocabulary_layout(vocab);
  read_vocabularies(vocab, *this);
  read_tag_columns(vocab, *this);

  tensors = detail::ModelTensors(*bundle, &detail::raise<NERModelError>, "missing NER tensor: '");
  if (charlm) build_char_models(root, *this);
  if (use_transformer) {
    transformer = std::make_unique<detail::NativeTransformer>(bundle, root.at("transformer", "assets"));
  }
  validate_tensors();
  if (!charlm) {
    char_lstm = make_char_weights();
    char_initial_state = {weight("charmodel.charlstm_h_init"), weight("charmodel.charlstm_c_init")};
  }
  tagger_lstm = make_tagger_weights();
  tagger_initial_state = {weight("taggerlstm_h_init"), weight("taggerlstm_c_init")};
  tag_heads.reserve(tag_columns.size());
  for (std::size_t c = 0; c < tag_columns.size(); ++c) {
    tag_heads.push_back({weight(column_tensor("tag_clfs.", c, ".weight")),
                         weight(column_tensor("tag_clfs.", c, ".bias")),
                         weight(column_tensor("crits.", c, "._transitions"))});
  }
}

const at::Tensor& NERPlan::Impl::weight(std::string_view name) const { return tensors.require(name); }

std::int64_t NERPlan::Impl::input_width() const {
  std::int64_t width = word_emb_dim;
  if (use_transformer) width += transformer->hidden_size();
  if (charlm) return width + charlm_forward->hidden_size() + charlm_backward->hidden_size();
  return width + 2 * char_hidden_dim;
}

void NERPlan::Impl::validate_tensors() const {
  for (std::string_view name : {"word_emb.weight", "delta_emb.weight", "taggerlstm_h_init", "taggerlstm_c_init"}) {
    weight(name);
  }
  if (!charlm) {
    weight("charmodel.char_emb.weight");
    weight("charmodel.charlstm_h_init");
    weight("charmodel.charlstm_c_init");
    for (const std::string& name : detail::lstm_weight_names("charmodel.charlstm.lstm.", char_num_layers, true)) {
      weight(name);
    }
  }
  for (const std::string& name : detail::lstm_weight_names("taggerlstm.lstm.", num_layers, true)) weight(name);
  if (input_transform) {
    weight("input_transform.weight");
    weight("input_transform.bias");
  }
  for (std::size_t c = 0; c < tag_columns.size(); ++c) {
    weight(column_tensor("tag_clfs.", c, ".weight"));
    weight(column_tensor("tag_clfs.", c, ".bias"));
    weight(column_tensor("crits.", c, "._transitions"));
  }

  const auto rows = [](const detail::UnitIds& vocabulary) { return static_cast<std::int64_t>(vocabulary.size()); };
  const at::Tensor& word = weight("word_emb.weight");
  const at::Tensor& delta = weight("delta_emb.weight");
  using detail::size_or_none;
  if (size_or_none(word, 0) != rows(word_vocab) || size_or_none(word, 1) != word_emb_dim ||
      size_or_none(delta, 0) != rows(delta_vocab) || size_or_none(delta, 1) != word_emb_dim) {
    fail("NER embedding dimensions disagree with bundled vocabularies");
  }
  if (!charlm) {
    const at::Tensor& chars = weight("charmodel.char_emb.weight");
    if (size_or_none(chars, 0) != rows(char_vocab) || size_or_none(chars, 1) != char_emb_dim) {
      fail("NER character embedding dimensions disagree with its vocabulary");
    }
  }
  const std::int64_t width = input_width();
  if (input_transform) {
    const at::Tensor& transform = weight("input_transform.weight");
    if (size_or_none(transform, 0) != width || size_or_none(transform, 1) != width ||
        size_or_none(weight("input_transform.bias"), 0) != width) {
      fail("NER tagger input size disagrees with its embedding profile");
    }
  }
  if (size_or_none(weight("taggerlstm.lstm.weight_ih_l0"), 1) != width) {
    fail("NER tagger input size disagrees with its embedding profile");
  }
  for (std::size_t c = 0; c < tag_columns.size(); ++c) {
    const auto tags = static_cast<std::int64_t>(tag_columns[c].size());
    const at::Tensor& transitions = weight(column_tensor("crits.", c, "._transitions"));
    if (size_or_none(weight(column_tensor("tag_clfs.", c, ".weight")), 0) != tags ||
        size_or_none(weight(column_tensor("tag_clfs.", c, ".bias")), 0) != tags ||
        size_or_none(transitions, 0) != tags || size_or_none(transitions, 1) != tags) {
      fail("NER classifier dimensions disagree with tag vocabulary");
    }
  }
  check_model_shapes(width);
}

// Every tensor the tagger reads, after the rules above: complete shapes, one
// floating type, and every vocabulary id a row of its table (a token the
// vocabularies lack reads rows 0 and 1).
void NERPlan::Impl::check_model_shapes(std::int64_t width) const {
  using detail::kAnySize;
  tensors.require("word_emb.weight", {kAnySize, word_emb_dim});
  tensors.require("delta_emb.weight", {kAnySize, word_emb_dim});
  if (!charlm) {
    tensors.require("charmodel.char_emb.weight", {kAnySize, char_emb_dim});
    tensors.require("charmodel.charlstm_h_init", {2 * char_num_layers, 1, char_hidden_dim});
    tensors.require("charmodel.charlstm_c_init", {2 * char_num_layers, 1, char_hidden_dim});
    detail::LstmWeights::checked(tensors, "charmodel.charlstm.lstm.", char_num_layers, true, char_emb_dim,
                                 char_hidden_dim);
  }
  tensors.require("taggerlstm_h_init", {2 * num_layers, 1, hidden_dim});
  tensors.require("taggerlstm_c_init", {2 * num_layers, 1, hidden_dim});
  detail::LstmWeights::checked(tensors, "taggerlstm.lstm.", num_layers, true, width, hidden_dim);
  if (input_transform) {
    tensors.require("input_transform.weight", {width, width});
    tensors.require("input_transform.bias", {width});
  }
  for (std::size_t c = 0; c < tag_columns.size(); ++c) {
    const auto tags = static_cast<std::int64_t>(tag_columns[c].size());
    const std::int64_t chained =
        connect_output_layers && c > 0 ? static_cast<std::int64_t>(tag_columns[c - 1].size()) : 0;
    tensors.require(column_tensor("tag_clfs.", c, ".weight"), {tags, 2 * hidden_dim + chained});
    tensors.require(column_tensor("tag_clfs.", c, ".bias"), {tags});
    tensors.require(column_tensor("crits.", c, "._transitions"), {tags, tags});
  }
  for (const char* table : {"word_emb.weight", "delta_emb.weight"}) {
    if (detail::size_or_none(weight(table), 0) <= kUnknownId) {
      fail("NER embedding dimensions disagree with bundled vocabularies");
    }
  }
  tensors.require_ids_in_rows(word_vocab, "assets.vocab.word._unit2id", "word_emb.weight");
  tensors.require_ids_in_rows(delta_vocab, "assets.vocab.delta._unit2id", "delta_emb.weight");
  if (!charlm) {
    if (detail::size_or_none(weight("charmodel.char_emb.weight"), 0) <= kUnknownId) {
      fail("NER character embedding dimensions disagree with its vocabulary");
    }
    tensors.require_ids_in_rows(char_vocab, "assets.vocab.char._unit2id", "charmodel.char_emb.weight");
  }
}

detail::LstmWeights NERPlan::Impl::make_char_weights() const {
  return detail::LstmWeights::from_names("charmodel.charlstm.lstm.", char_num_layers, true,
                                         [this](std::string_view name) { return weight(name); });
}

detail::LstmWeights NERPlan::Impl::make_tagger_weights() const {
  return detail::LstmWeights::from_names("taggerlstm.lstm.", num_layers, true,
                                         [this](std::string_view name) { return weight(name); });
}

NERPlan::NERPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
  } catch (...) {
    detail::rethrow_loading_error<NERModelError>();
  }
}

}  // namespace lorvane
