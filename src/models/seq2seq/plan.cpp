// Loading a sequence-to-sequence plan, step by step as the bundle is read:
// processor, assets (vocabularies, configuration, profile checks), tensor
// views, required tensors, encoder weights and state, then the shapes and
// types the inference code relies on.

#include <ATen/ops/zeros.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bundle/json.hpp"
#include "models/seq2seq/plan_impl.hpp"
#include "nn/config.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using detail::Seq2SeqVocabulary;

constexpr std::string_view kConfigContext = "assets.config";
constexpr std::string_view kEncoderPrefix = "encoder.";

[[noreturn]] void fail(const std::string& message) { throw Seq2SeqModelError(message); }

// One vocabulary object under its JSON path (assets.vocab.char, assets.vocab
// or assets.vocab.pos).
Seq2SeqVocabulary read_vocabulary(const JsonValue& object, std::string_view context) {
  Seq2SeqVocabulary vocabulary;
  vocabulary.id2unit = detail::read_id2unit(object, context);
  vocabulary.unit2id = detail::read_unit2id(object, context, detail::IdContext::kShared);
  static constexpr std::string_view kSpecials[] = {"<PAD>", "<UNK>", "<SOS>", "<EOS>"};
  bool specials_first = vocabulary.id2unit.size() >= std::size(kSpecials);
  for (std::size_t id = 0; specials_first && id < std::size(kSpecials); ++id) {
    specials_first = vocabulary.id2unit[id] == kSpecials[id];
  }
  if (!specials_first) fail(std::string(context) + " must begin with <PAD>, <UNK>, <SOS>, <EOS>");
  return vocabulary;
}

void read_vocabularies(const JsonValue& vocab, Seq2SeqPlan::Impl& impl) {
  if (const JsonValue* chars = vocab.find("char")) {
    impl.char_vocab = read_vocabulary(*chars, "assets.vocab.char");
  } else {
    impl.char_vocab = read_vocabulary(vocab, "assets.vocab");
  }
  if (const JsonValue* tags = vocab.find("pos")) {
    impl.pos_vocab = read_vocabulary(*tags, "assets.vocab.pos");
  }
}

std::int64_t config_int(const JsonValue& config, std::string_view key, std::int64_t fallback) {
  return detail::optional_int(config, key, kConfigContext, fallback);
}

bool config_flag(const JsonValue& config, std::string_view key) {
  return detail::optional_bool(config, key, kConfigContext, false);
}

void read_configuration(const JsonValue& config, Seq2SeqPlan::Impl& impl) {
  impl.vocab_size = config_int(config, "vocab_size", 0);
  impl.emb_dim = config_int(config, "emb_dim", 0);
  impl.hidden_dim = config_int(config, "hidden_dim", 0);
  impl.num_layers = config_int(config, "num_layers", 0);
  impl.max_dec_len = config_int(config, "max_dec_len", 0);
  impl.beam_size = config_int(config, "beam_size", 1);
  impl.batch_size = config_int(config, "batch_size", 50);
  impl.pos = config_flag(config, "pos");
  impl.pos_dim = config_int(config, "pos_dim", 0);
  impl.edit = config_flag(config, "edit");
  impl.copy = config_flag(config, "copy");
}

void check_profile(const JsonValue& config) {
  if (detail::required_string(config, "attn_type", kConfigContext) != "soft") {
    fail("native seq2seq inference currently supports soft attention");
  }
  if (config_flag(config, "charlm")) fail("contextual character-LM seq2seq bundles are unsupported");
}

// The longest output and the widest beam a configuration may ask for: far
// beyond any word-level model, and small enough that one decoding stays
// bounded in time and memory.
constexpr std::int64_t kMaxDecodeLength = std::int64_t{1} << 16;
constexpr std::int64_t kMaxBeamSize = std::int64_t{1} << 10;

// The sizes the model is built from, bounded before any is combined with
// another or sizes anything.
void check_dimension_ranges(const Seq2SeqPlan::Impl& impl) {
  const detail::RaiseError raise = &detail::raise<Seq2SeqModelError>;
  const auto bound = [&](std::string_view key, std::int64_t value, std::int64_t max) {
    detail::size_in_range(value, 1, max, detail::member_context(kConfigContext, key), raise);
  };
  bound("emb_dim", impl.emb_dim, detail::kMaxConfiguredSize);
  bound("hidden_dim", impl.hidden_dim, detail::kMaxConfiguredSize);
  bound("num_layers", impl.num_layers, detail::kMaxLstmLayers);
  bound("max_dec_len", impl.max_dec_len, kMaxDecodeLength);
  bound("beam_size", impl.beam_size, kMaxBeamSize);
  if (impl.pos) bound("pos_dim", impl.pos_dim, detail::kMaxConfiguredSize);
}

void check_dimensions(const Seq2SeqPlan::Impl& impl) {
  const bool valid = impl.vocab_size == static_cast<std::int64_t>(impl.char_vocab.id2unit.size()) &&
                     impl.emb_dim > 0 && impl.hidden_dim > 0 && impl.hidden_dim % 2 == 0 &&
                     impl.num_layers > 0 && impl.max_dec_len > 0 && impl.beam_size > 0 &&
                     impl.batch_size > 0;
  if (!valid) fail("invalid seq2seq dimensions in assets.config");
  if (impl.pos && (!impl.pos_vocab || impl.pos_dim <= 0)) {
    fail("the seq2seq config enables POS without a POS vocabulary");
  }
  check_dimension_ranges(impl);
}

// Vocabularies and configuration. JSON errors leave as detail::JsonError.
void read_assets(Seq2SeqPlan::Impl& impl) {
  const JsonValue root = detail::parse_json(impl.bundle->assets_json());
  const JsonValue& config = root.at("config", "assets");
  const JsonValue& vocab = root.at("vocab", "assets");
  read_vocabularies(vocab, impl);
  read_configuration(config, impl);
  check_profile(config);
  check_dimensions(impl);
}

const std::initializer_list<std::string_view> kDecoderTensors = {
    "decoder.lstm_cell.weight_ih",
    "decoder.lstm_cell.weight_hh",
    "decoder.lstm_cell.bias_ih",
    "decoder.lstm_cell.bias_hh",
    "decoder.attention_layer.linear_in.weight",
    "decoder.attention_layer.linear_out.weight",
    "dec2vocab.weight",
    "dec2vocab.bias",
};
const std::initializer_list<std::string_view> kCopyTensors = {"copy_gate.weight", "copy_gate.bias"};
const std::initializer_list<std::string_view> kEditTensors = {
    "edit_clf.0.weight", "edit_clf.0.bias", "edit_clf.2.weight", "edit_clf.2.bias"};

// Every tensor the configuration needs, in the order their presence is
// checked. Layer names are made one layer at a time, so a count far beyond
// the bundle's tensors stops at the first absent layer.
void require_tensors(const Seq2SeqPlan::Impl& impl) {
  impl.weight("embedding.weight");
  for (std::int64_t layer = 0; layer < impl.num_layers; ++layer) {
    for (const std::string& name : detail::lstm_layer_names(kEncoderPrefix, layer, true)) impl.weight(name);
  }
  for (std::string_view name : kDecoderTensors) impl.weight(name);
  if (impl.copy) {
    for (std::string_view name : kCopyTensors) impl.weight(name);
  }
  if (impl.pos) impl.weight("pos_embedding.weight");
  if (impl.edit) {
    for (std::string_view name : kEditTensors) impl.weight(name);
  }
}

// --- Shapes and element types ----------------------------------------------
// The bundle format does not promise them, but the decoder step reads its
// tensors element by element, so every tensor it or the encoder reads is
// checked here, in the order of the presence checks: a broken bundle fails at
// construction instead of reading out of bounds later.

constexpr std::int64_t kAnySize = -1;  // any size of at least 1

bool shape_matches(const at::Tensor& tensor, std::initializer_list<std::int64_t> shape) {
  if (tensor.dim() != static_cast<std::int64_t>(shape.size())) return false;
  std::int64_t dim = 0;
  for (std::int64_t size : shape) {
    const std::int64_t actual = tensor.size(dim++);
    if (size == kAnySize ? actual < 1 : actual != size) return false;
  }
  return true;
}

void check_tensor(const Seq2SeqPlan::Impl& impl, std::string_view name,
                  std::initializer_list<std::int64_t> shape) {
  const at::Tensor& tensor = impl.weight(name);
  const at::ScalarType model_type = impl.weight("embedding.weight").scalar_type();
  const bool floating = model_type == at::kFloat || model_type == at::kDouble;
  if (!floating || tensor.scalar_type() != model_type) {
    fail("seq2seq tensor has an unsupported dtype: '" + std::string(name) + "'");
  }
  if (!shape_matches(tensor, shape)) {
    fail("seq2seq tensor has an unexpected shape: '" + std::string(name) + "'");
  }
}

void check_encoder_tensors(const Seq2SeqPlan::Impl& impl) {
  const std::int64_t direction = impl.hidden_dim / 2;
  for (std::int64_t layer = 0; layer < impl.num_layers; ++layer) {
    const std::vector<std::string> names = detail::lstm_layer_names(kEncoderPrefix, layer, true);
    const std::int64_t input = layer == 0 ? impl.emb_dim : impl.hidden_dim;
    for (std::size_t i = 0; i < names.size(); ++i) {
      switch (i % 4) {
        case 0: check_tensor(impl, names[i], {4 * direction, input}); break;
        case 1: check_tensor(impl, names[i], {4 * direction, direction}); break;
        default: check_tensor(impl, names[i], {4 * direction}); break;
      }
    }
  }
}

// Stored ids index the embedding and the output classes (characters) or
// the POS embedding (tags): checked once here, with the message a lookup of
// that unit would give.
void check_vocabulary_ids(const Seq2SeqPlan::Impl& impl) {
  const auto check = [](const detail::UnitIds& ids, std::int64_t rows) {
    if (const std::string* unit = detail::first_unit_outside(ids, rows)) {
      fail("seq2seq vocabulary id is out of range: '" + *unit + "'");
    }
  };
  check(impl.char_vocab.unit2id, static_cast<std::int64_t>(impl.char_vocab.id2unit.size()));
  if (impl.pos) {
    const std::int64_t rows = impl.weight("pos_embedding.weight").size(0);
    // A tag the vocabulary lacks reads as <UNK>.
    if (rows <= detail::kUnkId) fail("seq2seq tensor has an unexpected shape: 'pos_embedding.weight'");
    check(impl.pos_vocab->unit2id, rows);
  }
}

void check_shapes(const Seq2SeqPlan::Impl& impl) {
  const std::int64_t v = impl.vocab_size;
  const std::int64_t e = impl.emb_dim;
  const std::int64_t h = impl.hidden_dim;
  check_tensor(impl, "embedding.weight", {v, e});
  check_encoder_tensors(impl);
  check_tensor(impl, "decoder.lstm_cell.weight_ih", {4 * h, e});
  check_tensor(impl, "decoder.lstm_cell.weight_hh", {4 * h, h});
  check_tensor(impl, "decoder.lstm_cell.bias_ih", {4 * h});
  check_tensor(impl, "decoder.lstm_cell.bias_hh", {4 * h});
  check_tensor(impl, "decoder.attention_layer.linear_in.weight", {h, h});
  check_tensor(impl, "decoder.attention_layer.linear_out.weight", {h, 2 * h});
  check_tensor(impl, "dec2vocab.weight", {v, h});
  check_tensor(impl, "dec2vocab.bias", {v});
  if (impl.copy) {
    check_tensor(impl, "copy_gate.weight", {1, h});
    check_tensor(impl, "copy_gate.bias", {1});
  }
  // The POS row stands in front of the character embeddings, so it has their
  // width whatever pos_dim says.
  if (impl.pos) check_tensor(impl, "pos_embedding.weight", {kAnySize, e});
  if (impl.edit) {
    check_tensor(impl, "edit_clf.0.weight", {kAnySize, h});
    const std::int64_t hidden = impl.weight("edit_clf.0.weight").size(0);
    check_tensor(impl, "edit_clf.0.bias", {hidden});
    check_tensor(impl, "edit_clf.2.weight", {kAnySize, hidden});
    check_tensor(impl, "edit_clf.2.bias", {impl.weight("edit_clf.2.weight").size(0)});
  }
}

detail::DecoderWeights fetch_decoder_weights(const Seq2SeqPlan::Impl& impl) {
  detail::DecoderWeights weights;
  weights.embedding = impl.weight("embedding.weight");
  weights.weight_ih_t = impl.weight("decoder.lstm_cell.weight_ih").t();
  weights.weight_hh_t = impl.weight("decoder.lstm_cell.weight_hh").t();
  weights.gate_bias = impl.weight("decoder.lstm_cell.bias_ih") + impl.weight("decoder.lstm_cell.bias_hh");
  weights.linear_in_t = impl.weight("decoder.attention_layer.linear_in.weight").t();
  weights.linear_out_t = impl.weight("decoder.attention_layer.linear_out.weight").t();
  weights.dec2vocab_t = impl.weight("dec2vocab.weight").t();
  weights.dec2vocab_bias = impl.weight("dec2vocab.bias");
  if (impl.copy) {
    weights.copy_weight = impl.weight("copy_gate.weight");
    weights.copy_bias = impl.weight("copy_gate.bias");
  }
  return weights;
}

}  // namespace

Seq2SeqPlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(detail::open_bundle_for<Seq2SeqModelError>(std::move(bundle_dir), verify_checksums,
                                                        {"lemma", "mwt"}, "a lemma or MWT")) {
  read_assets(*this);
  tensors = detail::ModelTensors(*bundle, &detail::raise<Seq2SeqModelError>, "missing seq2seq tensor: '");
  require_tensors(*this);
  // Shapes first: the initial state below is sized from the configuration.
  check_shapes(*this);
  check_vocabulary_ids(*this);
  encoder_weights = make_encoder_weights();
  const at::Tensor zeros = at::zeros({2 * num_layers, 1, hidden_dim / 2}, weight("embedding.weight").options());
  encoder_state = {zeros, zeros};
  decoder = fetch_decoder_weights(*this);
  if (pos) pos_embedding = weight("pos_embedding.weight");
  if (edit) {
    edit_classifier = detail::EditClassifier{weight("edit_clf.0.weight"), weight("edit_clf.0.bias"),
                                             weight("edit_clf.2.weight"), weight("edit_clf.2.bias")};
  }
}

const at::Tensor& Seq2SeqPlan::Impl::weight(std::string_view name) const { return tensors.require(name); }

detail::LstmWeights Seq2SeqPlan::Impl::make_encoder_weights() const {
  return detail::LstmWeights::from_names(kEncoderPrefix, num_layers, true,
                                         [this](const std::string& name) { return weight(name); });
}

Seq2SeqPlan::Seq2SeqPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
  } catch (...) {
    detail::rethrow_loading_error<Seq2SeqModelError>();
  }
}

Seq2SeqPlan::Seq2SeqPlan(Seq2SeqPlan&& other) noexcept = default;
Seq2SeqPlan& Seq2SeqPlan::operator=(Seq2SeqPlan&& other) noexcept = default;
Seq2SeqPlan::~Seq2SeqPlan() = default;

const ModelBundle& Seq2SeqPlan::bundle() const { return *detail::loaded_impl(impl_, "seq2seq").bundle; }

bool Seq2SeqPlan::uses_pos() const { return detail::loaded_impl(impl_, "seq2seq").pos; }

std::int64_t Seq2SeqPlan::configured_beam_size() const {
  return detail::loaded_impl(impl_, "seq2seq").beam_size;
}

}  // namespace lorvane
