// Loading a constituency bundle, step by step as the bundle is read: the
// native profile, the runtime contract, the transition table, the
// vocabularies, the tensors, the encoders and the weight sets.

#include <ATen/ops/zeros.h>

#include <string>
#include <string_view>
#include <utility>

#include "bundle/json.hpp"
#include "lorvane/errors.hpp"
#include "models/constituency/plan_impl.hpp"
#include "nn/config.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using Impl = ConstituencyPlan::Impl;

constexpr std::string_view kConfig = "assets.config";

[[noreturn]] void fail(const std::string& message) { throw ConstituencyModelError(message); }

std::string read_config_string(const JsonValue& config, std::string_view key) {
  return detail::required_string(config, key, kConfig);
}
std::int64_t read_config_int(const JsonValue& config, std::string_view key) {
  return detail::optional_int(config, key, kConfig, 0);
}
bool read_config_bool(const JsonValue& config, std::string_view key) {
  return detail::optional_bool(config, key, kConfig, false);
}

// Each key is read only after the previous one matched, so a later key's
// absence is never reported when an earlier one already disqualifies the model.
void check_native_profile(const JsonValue& config) {
  const auto string_is = [&](std::string_view key, std::string_view value) {
    return read_config_string(config, key) == value;
  };
  const bool native = string_is("transition_scheme", "IN_ORDER") &&
                      string_is("constituency_composition", "MAX") &&
                      string_is("transition_stack", "LSTM") && string_is("constituent_stack", "LSTM") &&
                      string_is("nonlinearity", "relu") && read_config_int(config, "num_tree_lstm_layers") == 1 &&
                      read_config_int(config, "maxout_k") == 0 &&
                      read_config_int(config, "pattn_num_layers") == 0 &&
                      !read_config_bool(config, "use_rattn") && !read_config_bool(config, "use_peft");
  if (!native) {
    fail("unsupported constituency architecture; the native profile requires IN_ORDER/MAX/LSTM with ReLU, "
         "one tree layer, ordinary output layers, and no parser attention or PEFT");
  }
}

void read_boundary_profile(const JsonValue& config, Impl& impl) {
  const std::string value = read_config_string(config, "sentence_boundary_vectors");
  if (value == "EVERYTHING") {
    impl.sentence_boundaries = true;
  } else if (value != "NONE") {
    fail("unsupported constituency sentence boundary profile: '" + value + "'");
  }
}

void read_dimensions(const JsonValue& config, Impl& impl) {
  impl.hidden_size = read_config_int(config, "hidden_size");
  impl.transition_hidden_size = read_config_int(config, "transition_hidden_size");
  impl.tag_embedding_dim = read_config_int(config, "tag_embedding_dim");
  impl.transition_embedding_dim = read_config_int(config, "transition_embedding_dim");
  impl.delta_embedding_dim = read_config_int(config, "delta_embedding_dim");
  impl.num_lstm_layers = read_config_int(config, "num_lstm_layers");
  impl.num_output_layers = read_config_int(config, "num_output_layers");
  const bool valid = impl.hidden_size > 0 && impl.transition_hidden_size > 0 && impl.tag_embedding_dim >= 0 &&
                     impl.transition_embedding_dim > 0 && impl.delta_embedding_dim > 0 &&
                     impl.num_lstm_layers > 0 && impl.num_output_layers > 0;
  if (!valid) fail("constituency model dimensions must be positive");
  // Bounded before any is combined with another or sizes anything.
  const std::pair<std::string_view, std::int64_t> sizes[] = {
      {"hidden_size", impl.hidden_size},
      {"transition_hidden_size", impl.transition_hidden_size},
      {"tag_embedding_dim", impl.tag_embedding_dim},
      {"transition_embedding_dim", impl.transition_embedding_dim},
      {"delta_embedding_dim", impl.delta_embedding_dim},
      {"num_lstm_layers", impl.num_lstm_layers},
      {"num_output_layers", impl.num_output_layers}};
  for (const auto& [key, value] : sizes) {
    const std::int64_t max = key == "num_lstm_layers" ? detail::kMaxLstmLayers : detail::kMaxConfiguredSize;
    detail::size_in_range(value, key == "tag_embedding_dim" ? 0 : 1, max, "assets.config." + std::string(key),
                          &detail::raise<ConstituencyModelError>);
  }
}

void read_runtime_contract(const JsonValue& assets, Impl& impl) {
  const JsonValue& contract = assets.at("runtime_contract", "assets");
  const std::string& source = detail::required_string(contract, "tag_source", "assets.runtime_contract");
  if (source == "xpos") {
    impl.uses_xpos = true;
  } else if (source != "upos") {
    fail("unsupported constituency tag source: '" + source + "'");
  }
}

void read_unary_limit(const JsonValue& assets, Impl& impl) {
  impl.unary_limit = detail::required_int(assets, "unary_limit", "assets");
  if (impl.unary_limit < 0) fail("constituency unary limit cannot be negative");
}

void read_root_labels(const JsonValue& assets, Impl& impl) {
  for (const JsonValue& label : assets.at("root_labels", "assets").as_array("assets.root_labels")) {
    impl.root_labels.insert(label.as_string("assets.root_labels[]"));
  }
  if (impl.root_labels.empty()) fail("constituency model has no root labels");
}

Transition read_open(const JsonValue& entry, const std::string& path) {
  Transition open{TransitionKind::Open, {}, detail::required_int(entry, "open_index", path)};
  const std::string labels_path = path + ".labels";
  const std::string label_path = labels_path + "[]";
  for (const JsonValue& label : entry.at("labels", path).as_array(labels_path)) {
    open.labels.push_back(label.as_string(label_path));
  }
  if (open.labels.empty() || open.open_index < 0) fail("constituency Open transition is incomplete");
  return open;
}

void read_transitions(const JsonValue& assets, Impl& impl) {
  const JsonValue::Array& entries = assets.at("transitions", "assets").as_array("assets.transitions");
  impl.transitions.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string path = "assets.transitions[" + std::to_string(i) + "]";
    const std::string& kind = detail::required_string(entries[i], "kind", path);
    if (kind == "shift") {
      impl.transitions.push_back({TransitionKind::Shift, {}, -1});
      impl.has_shift = true;
    } else if (kind == "close") {
      impl.transitions.push_back({TransitionKind::Close, {}, -1});
      impl.has_close = true;
    } else if (kind == "open") {
      impl.transitions.push_back(read_open(entries[i], path));
    } else {
      fail("unknown constituency transition kind: '" + kind + "'");
    }
  }
  if (!impl.has_shift || !impl.has_close || impl.transitions.empty()) {
    fail("constituency transition table is incomplete");
  }
}

// The entry at position p gets id p + 2 (ids 0 and 1 are <PAD> and <UNK>);
// the first position of a repeat keeps its id. Returns the largest id + 1.
std::int64_t read_positional_vocab(const JsonValue& assets, std::string_view key, detail::UnitIds& vocab) {
  const std::string path = "assets." + std::string(key);
  const JsonValue::Array& entries = assets.at(key, "assets").as_array(path);
  const std::string element_path = path + "[]";
  std::int64_t rows = 2;
  vocab.reserve(entries.size());
  for (std::size_t position = 0; position < entries.size(); ++position) {
    const auto id = static_cast<std::int64_t>(position) + 2;
    if (vocab.emplace(entries[position].as_string(element_path), id).second) rows = id + 1;
  }
  return rows;
}

void read_pretrain_vocab(const JsonValue& assets, Impl& impl) {
  const JsonValue& vocab = assets.at("pretrain_vocab", "assets");
  impl.pretrain_vocab = detail::read_unit2id(vocab, "assets.pretrain_vocab");
  if (const JsonValue* lower = vocab.find("lower"); lower != nullptr) {
    impl.pretrain_lower = lower->as_bool("assets.pretrain_vocab.lower");
  }
  if (detail::id_or(impl.pretrain_vocab, "<PAD>", -1) != 0 || detail::id_or(impl.pretrain_vocab, "<UNK>", -1) != 1) {
    fail("constituency pretrain vocabulary has invalid PAD/UNK ids");
  }
}

void build_charlms(const JsonValue& assets, Impl& impl) {
  impl.has_forward_charlm = impl.tensors.contains("forward_charlm.char_emb.weight");
  impl.has_backward_charlm = impl.tensors.contains("backward_charlm.char_emb.weight");
  if (!impl.has_forward_charlm && !impl.has_backward_charlm) return;
  const JsonValue* charlm = assets.find("charlm");
  if (charlm == nullptr) fail("constituency charLM tensors have no assets");
  if (impl.has_forward_charlm) {
    impl.forward_charlm = std::make_unique<detail::NativeCharLM>(impl.bundle, "forward_charlm.",
                                                                 charlm->at("forward", "assets.charlm"));
    if (!impl.forward_charlm->is_forward()) fail("constituency forward charLM has the wrong direction");
  }
  if (impl.has_backward_charlm) {
    impl.backward_charlm = std::make_unique<detail::NativeCharLM>(impl.bundle, "backward_charlm.",
                                                                  charlm->at("backward", "assets.charlm"));
    if (impl.backward_charlm->is_forward()) fail("constituency backward charLM has the wrong direction");
  }
}

void build_transformer(const JsonValue& assets, const JsonValue& config, Impl& impl) {
  const JsonValue* bert_model = config.find("bert_model");
  if (bert_model == nullptr || bert_model->is_null()) return;
  impl.uses_transformer = true;
  impl.transformer = std::make_unique<detail::NativeTransformer>(impl.bundle, assets.at("transformer", "assets"));
}

void make_weight_sets(Impl& impl) {
  impl.word_lstm_weights = impl.make_lstm_weights("word_lstm.", true);
  impl.transition_stack_weights = impl.make_lstm_weights("transition_stack.lstm.", false);
  impl.constituent_stack_weights = impl.make_lstm_weights("constituent_stack.lstm.", false);
}

void make_initial_states(Impl& impl) {
  const auto options = impl.weight("embedding.weight").options();
  const auto zeros = [&](std::int64_t states, std::int64_t hidden) {
    return detail::LstmState{at::zeros({states, 1, hidden}, options), at::zeros({states, 1, hidden}, options)};
  };
  impl.word_lstm_state = zeros(2 * impl.num_lstm_layers, impl.hidden_size);
  impl.transition_stack_state = zeros(impl.num_lstm_layers, impl.transition_hidden_size);
  impl.constituent_stack_state = zeros(impl.num_lstm_layers, impl.hidden_size);
}

void collect_output_layers(Impl& impl) {
  impl.output_layers.reserve(static_cast<std::size_t>(impl.num_output_layers));
  for (std::int64_t i = 0; i < impl.num_output_layers; ++i) {
    const std::string prefix = "output_layers." + std::to_string(i);
    impl.output_layers.emplace_back(impl.weight(prefix + ".weight"), impl.weight(prefix + ".bias"));
  }
}

// Every tensor the parse reads per sentence or step, fetched once.
void fetch_weights(Impl& impl) {
  ConstituencyWeights& w = impl.fetched;
  w.embedding = impl.weight("embedding.weight");
  w.delta_embedding = impl.weight("delta_embedding.weight");
  if (impl.tag_embedding_dim > 0) w.tag_embedding = impl.weight("tag_embedding.weight");
  w.word_to_constituent_weight = impl.weight("word_to_constituent.weight");
  w.word_to_constituent_bias = impl.weight("word_to_constituent.bias");
  w.transition_embedding = impl.weight("transition_embedding.weight");
  w.dummy_embedding = impl.weight("dummy_embedding.weight");
  w.reduce_weight = impl.weight("reduce_linear.weight");
  w.reduce_bias = impl.weight("reduce_linear.bias");
  if (impl.sentence_boundaries) {
    w.word_start = impl.weight("word_start_embedding");
    w.word_end = impl.weight("word_end_embedding");
    w.transition_start = impl.weight("transition_stack.start_embedding");
    w.constituent_start = impl.weight("constituent_stack.start_embedding");
  }
}

}  // namespace

std::unique_ptr<Impl> detail::load_constituency_plan(std::filesystem::path bundle_dir, bool verify_checksums) {
  auto impl = std::make_unique<Impl>();
  impl->bundle = detail::open_bundle_for<ConstituencyModelError>(std::move(bundle_dir), verify_checksums,
                                                                 "constituency", "a constituency");
  const JsonValue assets = detail::parse_json(impl->bundle->assets_json());
  const JsonValue& config = assets.at("config", "assets");
  check_native_profile(config);
  read_boundary_profile(config, *impl);
  read_dimensions(config, *impl);
  read_runtime_contract(assets, *impl);
  read_unary_limit(assets, *impl);
  read_root_labels(assets, *impl);
  read_transitions(assets, *impl);
  impl->delta_rows = read_positional_vocab(assets, "delta_words", impl->delta_vocab);
  impl->tag_rows = read_positional_vocab(assets, "tags", impl->tag_vocab);
  read_pretrain_vocab(assets, *impl);
  impl->tensors = detail::ModelTensors(*impl->bundle, &detail::raise<ConstituencyModelError>,
                                       "missing constituency tensor: '");
  build_charlms(assets, *impl);
  build_transformer(assets, config, *impl);
  impl->validate_tensors();
  make_weight_sets(*impl);
  make_initial_states(*impl);
  collect_output_layers(*impl);
  fetch_weights(*impl);
  return impl;
}

ConstituencyPlan::ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = detail::load_constituency_plan(std::move(bundle_dir), verify_checksums);
  } catch (...) {
    detail::rethrow_loading_error<ConstituencyModelError>();
  }
}

ConstituencyPlan::ConstituencyPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ConstituencyPlan::ConstituencyPlan(ConstituencyPlan&& other) noexcept = default;
ConstituencyPlan& ConstituencyPlan::operator=(ConstituencyPlan&& other) noexcept = default;
ConstituencyPlan::~ConstituencyPlan() = default;

const ModelBundle& ConstituencyPlan::bundle() const { return *detail::loaded_impl(impl_, "constituency").bundle; }

bool ConstituencyPlan::uses_xpos() const { return detail::loaded_impl(impl_, "constituency").uses_xpos; }

}  // namespace lorvane
