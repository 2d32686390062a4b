#include <ATen/ATen.h>

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"
#include "models/common/tensor_view.hpp"
#include "models/tokenizer/plan_impl.hpp"
#include "models/tokenizer/text/features.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;

// Every tensor a tokenize bundle must hold, in the order they are checked.
constexpr std::array<std::string_view, 26> kRequiredTensors = {
    "embeddings.weight",
    "rnn.weight_ih_l0",
    "rnn.weight_hh_l0",
    "rnn.bias_ih_l0",
    "rnn.bias_hh_l0",
    "rnn.weight_ih_l0_reverse",
    "rnn.weight_hh_l0_reverse",
    "rnn.bias_ih_l0_reverse",
    "rnn.bias_hh_l0_reverse",
    "tok_clf.weight",
    "tok_clf.bias",
    "sent_clf.weight",
    "sent_clf.bias",
    "mwt_clf.weight",
    "mwt_clf.bias",
    "rnn2.weight_ih_l0",
    "rnn2.weight_hh_l0",
    "rnn2.bias_ih_l0",
    "rnn2.bias_hh_l0",
    "rnn2.weight_ih_l0_reverse",
    "rnn2.weight_hh_l0_reverse",
    "rnn2.bias_ih_l0_reverse",
    "rnn2.bias_hh_l0_reverse",
    "tok_clf2.weight",
    "sent_clf2.weight",
    "mwt_clf2.weight",
};

// Positions in kRequiredTensors of the two LSTM parameter lists.
constexpr std::size_t kRnnFirst = 1;
constexpr std::size_t kRnn2First = 15;
constexpr std::size_t kLstmParamCount = 8;

bool is_mwt_tensor(std::string_view name) { return name.substr(0, 4) == "mwt_"; }

bool is_required(std::string_view name, bool use_mwt) { return use_mwt || !is_mwt_tensor(name); }

void check_processor(const ModelBundle& bundle) {
  if (bundle.processor() != "tokenize") {
    throw TokenizerModelError("expected a tokenize bundle, got '" + bundle.processor() + "'");
  }
}

const JsonValue& config_member(const JsonValue& config, std::string_view key) {
  return config.at(key, "assets.config");
}

void read_required_scalars(const JsonValue& config, TokenizerPlan::Impl& impl) {
  impl.emb_dim = config_member(config, "emb_dim").as_integer("");
  impl.hidden_dim = config_member(config, "hidden_dim").as_integer("");
  impl.feat_dim = config_member(config, "feat_dim").as_integer("");
  impl.rnn_layers = config_member(config, "rnn_layers").as_integer("");
  impl.hierarchical = config_member(config, "hierarchical").as_bool("");
  impl.use_mwt = config_member(config, "use_mwt").as_bool("");
  impl.hier_invtemp = config_member(config, "hier_invtemp").as_number("");
  impl.skip_newline = config_member(config, "skip_newline").as_bool("");
  impl.shorthand = config_member(config, "shorthand").as_string("");
  impl.lang = config_member(config, "lang").as_string("");
}

// An optional key that is absent or null keeps its default.
const JsonValue* optional_member(const JsonValue& config, std::string_view key) {
  const JsonValue* value = config.find(key);
  return value == nullptr || value->is_null() ? nullptr : value;
}

void read_batch_size(const JsonValue& config, TokenizerPlan::Impl& impl) {
  const JsonValue* value = optional_member(config, "batch_size");
  if (value == nullptr) return;
  const std::int64_t batch_size = value->as_integer("assets.config.batch_size");
  if (batch_size <= 0) throw TokenizerModelError("tokenizer batch size must be positive");
  impl.batch_size = batch_size;
}

// Refuses the model variants this plan does not run.
void check_profile(const JsonValue& config, const TokenizerPlan::Impl& impl) {
  if (optional_member(config, "charlm_forward_file") != nullptr) {
    throw TokenizerModelError("character-LM tokenizers are not supported by this profile");
  }
  if (optional_member(config, "conv_res") != nullptr) {
    throw TokenizerModelError("convolutional residual tokenizers are not supported");
  }
  if (impl.rnn_layers != 1 || !impl.hierarchical) {
    throw TokenizerModelError("this tokenizer profile requires a one-layer hierarchical model");
  }
}

void read_dictionary(const JsonValue& root, const JsonValue& config, TokenizerPlan::Impl& impl) {
  const JsonValue* use_dictionary = optional_member(config, "use_dictionary");
  if (use_dictionary == nullptr || !use_dictionary->as_bool("")) return;
  impl.use_dictionary = true;
  impl.num_dict_feat = config_member(config, "num_dict_feat").as_integer("");
  if (impl.num_dict_feat <= 0) {
    throw TokenizerModelError("dictionary tokenizer feature window must be positive");
  }
  for (const JsonValue& entry : root.at("lexicon", "assets").as_array("assets.lexicon")) {
    detail::add_lexicon_entry(entry.as_string("assets.lexicon[]"), impl.lexicon_words,
                              impl.lexicon_prefixes, impl.lexicon_suffixes);
  }
}

void read_feature_list(const JsonValue& config, TokenizerPlan::Impl& impl) {
  const auto& names = config_member(config, "feat_funcs").as_array("assets.config.feat_funcs");
  impl.feat_funcs.reserve(names.size());
  for (const JsonValue& name : names) {
    impl.feat_funcs.push_back(name.as_string("assets.config.feat_funcs[]"));
  }
  for (const std::string& name : impl.feat_funcs) {
    if (!detail::is_known_tokenizer_feature(name)) {
      throw TokenizerModelError("unsupported tokenizer feature: " + name);
    }
  }
}

void read_vocabulary(const JsonValue& vocab, TokenizerPlan::Impl& impl) {
  const auto& unit2id = vocab.at("_unit2id", "assets.vocab").as_object("assets.vocab._unit2id");
  impl.vocabulary.reserve(unit2id.size());
  for (const auto& [unit, id] : unit2id) {
    impl.vocabulary.emplace(unit, id.as_integer("assets.vocab._unit2id"));
  }
  const auto pad = impl.vocabulary.find("<PAD>");
  const auto unk = impl.vocabulary.find("<UNK>");
  if (pad == impl.vocabulary.end() || unk == impl.vocabulary.end()) {
    throw TokenizerModelError("tokenizer vocabulary lacks <PAD> or <UNK>");
  }
  impl.pad_id = pad->second;
  impl.unk_id = unk->second;
}

// Configuration, dictionary, feature list and vocabulary from the assets JSON.
void read_assets(TokenizerPlan::Impl& impl) {
  try {
    const JsonValue root = detail::parse_json(impl.bundle->assets_json());
    const JsonValue& config = root.at("config", "assets");
    const JsonValue& vocab = root.at("vocab", "assets");
    read_required_scalars(config, impl);
    read_batch_size(config, impl);
    check_profile(config, impl);
    read_dictionary(root, config, impl);
    read_feature_list(config, impl);
    read_vocabulary(vocab, impl);
  } catch (const detail::JsonError& error) {
    throw TokenizerModelError(error.what());
  }
}

// Every tensor of the bundle, viewed in place over the mapping.
void view_tensors(TokenizerPlan::Impl& impl) {
  const ModelBundle& bundle = *impl.bundle;
  impl.tensors.reserve(bundle.tensors().size());
  for (const TensorDescriptor& descriptor : bundle.tensors()) {
    if (descriptor.dtype != "float32") {
      throw TokenizerModelError("the native tokenizer currently requires float32 weights");
    }
    impl.tensors.emplace(descriptor.name, detail::tensor_view(bundle, descriptor));
  }
}

void check_required_tensors(const TokenizerPlan::Impl& impl) {
  for (std::string_view name : kRequiredTensors) {
    if (!is_required(name, impl.use_mwt)) continue;
    if (impl.tensors.find(std::string(name)) == impl.tensors.end()) {
      throw TokenizerModelError("tokenizer bundle lacks required tensor: '" + std::string(name) +
                                "'");
    }
  }
}

// --- Shape checks -----------------------------------------------------------
// Not part of the bundle format's contract, but a mis-shaped tensor would
// otherwise surface as an opaque libtorch error on the first paragraph.

// No tensor dimension is negative, so a negative expected size never matches.
constexpr std::int64_t kImpossible = -1;

// a * b and a + b, or kImpossible when the result leaves int64 (the
// configuration then cannot describe any real tensor).
std::int64_t checked_mul(std::int64_t a, std::int64_t b) {
  std::int64_t out;
  return __builtin_mul_overflow(a, b, &out) ? kImpossible : out;
}
std::int64_t checked_add(std::int64_t a, std::int64_t b) {
  std::int64_t out;
  return __builtin_add_overflow(a, b, &out) ? kImpossible : out;
}

using Shape = std::vector<std::optional<std::int64_t>>;  // nullopt: any size

// The shape each required tensor must have under the configuration.
Shape expected_shape(std::string_view name, const TokenizerPlan::Impl& impl) {
  const auto h4 = checked_mul(4, impl.hidden_dim);
  const auto h2 = checked_mul(2, impl.hidden_dim);
  if (name == "embeddings.weight") return {std::nullopt, impl.emb_dim};
  const bool first_level = name.substr(0, 4) == "rnn.";
  if (first_level || name.substr(0, 5) == "rnn2.") {
    if (name.find(".weight_ih_") != std::string_view::npos) {
      return {h4, first_level ? checked_add(impl.emb_dim, impl.feat_dim) : h2};
    }
    if (name.find(".weight_hh_") != std::string_view::npos) return {h4, impl.hidden_dim};
    return {h4};
  }
  if (name.size() >= 5 && name.substr(name.size() - 5) == ".bias") return {std::int64_t{1}};
  return {std::int64_t{1}, h2};
}

bool shape_matches(const at::Tensor& tensor, const Shape& expected) {
  if (tensor.dim() != static_cast<std::int64_t>(expected.size())) return false;
  for (std::size_t d = 0; d < expected.size(); ++d) {
    if (!expected[d]) continue;
    if (*expected[d] != tensor.size(static_cast<std::int64_t>(d))) return false;
  }
  return true;
}

void check_tensor_shapes(const TokenizerPlan::Impl& impl) {
  for (std::string_view name : kRequiredTensors) {
    if (!is_required(name, impl.use_mwt)) continue;
    if (!shape_matches(impl.weight(name), expected_shape(name, impl))) {
      throw TokenizerModelError("tokenizer tensor has an unexpected shape: '" + std::string(name) +
                                "'");
    }
  }
}

// Every id must select a row of the embedding table. The smallest offending
// unit (in byte order) is named, so the message does not depend on hashing.
void check_vocabulary_ids(const TokenizerPlan::Impl& impl) {
  const std::int64_t rows = impl.weight("embeddings.weight").size(0);
  const std::string* offending = nullptr;
  for (const auto& [unit, id] : impl.vocabulary) {
    if (id >= 0 && id < rows) continue;
    if (offending == nullptr || unit < *offending) offending = &unit;
  }
  if (offending != nullptr) {
    throw TokenizerModelError("tokenizer vocabulary id is outside the embedding table: '" +
                              *offending + "'");
  }
}

std::vector<at::Tensor> lstm_params(const TokenizerPlan::Impl& impl, std::size_t first) {
  std::vector<at::Tensor> params;
  params.reserve(kLstmParamCount);
  for (std::size_t i = first; i < first + kLstmParamCount; ++i) {
    params.push_back(impl.weight(kRequiredTensors[i]));
  }
  return params;
}

}  // namespace

TokenizerPlan::TokenizerPlan(std::filesystem::path bundle_dir, bool verify_checksums)
    : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  impl.bundle = std::make_shared<ModelBundle>(std::move(bundle_dir), verify_checksums);
  check_processor(*impl.bundle);
  read_assets(impl);
  view_tensors(impl);
  check_required_tensors(impl);
  check_tensor_shapes(impl);
  check_vocabulary_ids(impl);
  impl.rnn_params = lstm_params(impl, kRnnFirst);
  impl.rnn2_params = lstm_params(impl, kRnn2First);
  const auto zeros = [&] { return at::zeros({2, 1, impl.hidden_dim}, at::kFloat); };
  impl.initial_state = {zeros(), zeros()};
}

TokenizerPlan::TokenizerPlan(TokenizerPlan&& other) noexcept = default;

TokenizerPlan& TokenizerPlan::operator=(TokenizerPlan&& other) noexcept = default;

TokenizerPlan::~TokenizerPlan() = default;

const ModelBundle& TokenizerPlan::bundle() const {
  if (!impl_) throw std::logic_error("tokenizer plan is empty (moved from)");
  return *impl_->bundle;
}

const at::Tensor& TokenizerPlan::Impl::weight(std::string_view name) const {
  const auto found = tensors.find(std::string(name));
  if (found == tensors.end()) {
    throw TokenizerModelError("missing tokenizer weight: '" + std::string(name) + "'");
  }
  return found->second;
}

}  // namespace lorvane
