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
#include "models/tokenizer/plan_impl.hpp"
#include "models/tokenizer/text/features.hpp"
#include "nn/config.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"
#include "nn/vocabulary.hpp"

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

bool is_mwt_tensor(std::string_view name) { return name.substr(0, 4) == "mwt_"; }

bool is_required(std::string_view name, bool use_mwt) { return use_mwt || !is_mwt_tensor(name); }

constexpr std::string_view kConfig = "assets.config";

// The ten required scalars; their type errors name no path.
void read_required_scalars(const JsonValue& config, TokenizerPlan::Impl& impl) {
  using detail::ValueContext;
  impl.emb_dim = detail::required_int(config, "emb_dim", kConfig, ValueContext::kNone);
  impl.hidden_dim = detail::required_int(config, "hidden_dim", kConfig, ValueContext::kNone);
  impl.feat_dim = detail::required_int(config, "feat_dim", kConfig, ValueContext::kNone);
  impl.rnn_layers = detail::required_int(config, "rnn_layers", kConfig, ValueContext::kNone);
  impl.hierarchical = detail::required_bool(config, "hierarchical", kConfig, ValueContext::kNone);
  impl.use_mwt = detail::required_bool(config, "use_mwt", kConfig, ValueContext::kNone);
  impl.hier_invtemp = detail::required_number(config, "hier_invtemp", kConfig, ValueContext::kNone);
  impl.skip_newline = detail::required_bool(config, "skip_newline", kConfig, ValueContext::kNone);
  impl.shorthand = detail::required_string(config, "shorthand", kConfig, ValueContext::kNone);
  impl.lang = detail::required_string(config, "lang", kConfig, ValueContext::kNone);
}

void read_batch_size(const JsonValue& config, TokenizerPlan::Impl& impl) {
  impl.batch_size = detail::optional_int(config, "batch_size", kConfig, impl.batch_size);
  if (impl.batch_size <= 0) throw TokenizerModelError("tokenizer batch size must be positive");
}

// Refuses the model variants this plan does not run.
void check_profile(const JsonValue& config, const TokenizerPlan::Impl& impl) {
  if (detail::given_member(config, "charlm_forward_file", kConfig) != nullptr) {
    throw TokenizerModelError("character-LM tokenizers are not supported by this profile");
  }
  if (detail::given_member(config, "conv_res", kConfig) != nullptr) {
    throw TokenizerModelError("convolutional residual tokenizers are not supported");
  }
  if (impl.rnn_layers != 1 || !impl.hierarchical) {
    throw TokenizerModelError("this tokenizer profile requires a one-layer hierarchical model");
  }
}

void read_dictionary(const JsonValue& root, const JsonValue& config, TokenizerPlan::Impl& impl) {
  if (!detail::optional_bool(config, "use_dictionary", kConfig, false, detail::ValueContext::kNone)) return;
  impl.use_dictionary = true;
  impl.num_dict_feat = detail::required_int(config, "num_dict_feat", kConfig, detail::ValueContext::kNone);
  if (impl.num_dict_feat <= 0) {
    throw TokenizerModelError("dictionary tokenizer feature window must be positive");
  }
  for (const JsonValue& entry : root.at("lexicon", "assets").as_array("assets.lexicon")) {
    detail::add_lexicon_entry(entry.as_string("assets.lexicon[]"), impl.lexicon_words,
                              impl.lexicon_prefixes, impl.lexicon_suffixes);
  }
}

void read_feature_list(const JsonValue& config, TokenizerPlan::Impl& impl) {
  const auto& names = config.at("feat_funcs", kConfig).as_array("assets.config.feat_funcs");
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
  impl.vocabulary = detail::read_unit2id(vocab, "assets.vocab", detail::IdContext::kShared);
  const auto pad = detail::find_id(impl.vocabulary, "<PAD>");
  const auto unk = detail::find_id(impl.vocabulary, "<UNK>");
  if (!pad || !unk) throw TokenizerModelError("tokenizer vocabulary lacks <PAD> or <UNK>");
  impl.pad_id = *pad;
  impl.unk_id = *unk;
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

// Every tensor of the bundle, viewed in place over the mapping; all must be
// float32.
void view_tensors(TokenizerPlan::Impl& impl) {
  const ModelBundle& bundle = *impl.bundle;
  for (const TensorDescriptor& descriptor : bundle.tensors()) {
    if (descriptor.dtype != "float32") {
      throw TokenizerModelError("the native tokenizer currently requires float32 weights");
    }
  }
  impl.tensors = detail::ModelTensors(bundle, &detail::raise<TokenizerModelError>, "missing tokenizer weight: '");
}

void check_required_tensors(const TokenizerPlan::Impl& impl) {
  for (std::string_view name : kRequiredTensors) {
    if (!is_required(name, impl.use_mwt)) continue;
    if (!impl.tensors.contains(name)) {
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

// The bidirectional one-layer LSTM of a level ("rnn." or "rnn2.").
detail::LstmWeights level_weights(const TokenizerPlan::Impl& impl, std::string_view prefix) {
  return detail::LstmWeights::from_names(prefix, 1, /*bidirectional=*/true,
                                         [&](const std::string& name) { return impl.weight(name); });
}

}  // namespace

TokenizerPlan::TokenizerPlan(std::filesystem::path bundle_dir, bool verify_checksums)
try : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  impl.bundle = detail::open_bundle_for<TokenizerModelError>(std::move(bundle_dir), verify_checksums, "tokenize",
                                                             "a tokenize");
  read_assets(impl);
  view_tensors(impl);
  check_required_tensors(impl);
  check_tensor_shapes(impl);
  check_vocabulary_ids(impl);
  // A feature list that does not add up to feat_dim would fail on every
  // paragraph: refused now with the same message (an empty paragraph makes
  // no rows, only the check).
  impl.compute_features({});
  impl.rnn = level_weights(impl, "rnn.");
  impl.rnn2 = level_weights(impl, "rnn2.");
} catch (...) {
  detail::rethrow_loading_error<TokenizerModelError>();
}

TokenizerPlan::TokenizerPlan(TokenizerPlan&& other) noexcept = default;

TokenizerPlan& TokenizerPlan::operator=(TokenizerPlan&& other) noexcept = default;

TokenizerPlan::~TokenizerPlan() = default;

const ModelBundle& TokenizerPlan::bundle() const {
  if (!impl_) throw std::logic_error("tokenizer plan is empty (moved from)");
  return *impl_->bundle;
}

const at::Tensor& TokenizerPlan::Impl::weight(std::string_view name) const { return tensors.require(name); }

}  // namespace lorvane
