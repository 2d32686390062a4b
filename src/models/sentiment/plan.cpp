// Loading a sentiment bundle, step by step as the assets are read: profile,
// configuration, filters, labels, vocabularies, tensor table, encoders, and
// finally the tensor shapes (weights.cpp).

#include <algorithm>
#include <string>
#include <utility>

#include "lorvane/sentiment.hpp"
#include "models/sentiment/plan_impl.hpp"
#include "nn/config.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;

constexpr std::string_view kConfig = "assets.config";
constexpr std::string_view kProfileMessage =
    "unsupported sentiment architecture; the native profile requires Tavrin's CNN classifier "
    "without ELMo or PEFT";
constexpr std::string_view kDimensionMessage = "sentiment dimensions and maxpool width must be positive";

[[noreturn]] void fail(std::string_view message) { throw SentimentModelError(std::string(message)); }

// The three readers of configuration keys: a string is required; an integer
// or boolean that is absent or null reads as 0 or false.
const std::string& config_string(const JsonValue& config, std::string_view key) {
  return detail::required_string(config, key, kConfig);
}
std::int64_t config_int(const JsonValue& config, std::string_view key) {
  return detail::optional_int(config, key, kConfig, 0);
}
bool config_bool(const JsonValue& config, std::string_view key) {
  return detail::optional_bool(config, key, kConfig, false);
}

void check_profile(const JsonValue& config) {
  if (config_string(config, "model_type") != "CNN") fail(kProfileMessage);
  if (config_bool(config, "use_elmo") || config_bool(config, "use_peft")) fail(kProfileMessage);
  if (detail::given_member(config, "extra_wordvec_max_norm", kConfig) != nullptr) {
    fail("sentiment extra-embedding max-norm constraints are not supported by the native profile");
  }
}

void read_method(const JsonValue& config, SentimentPlan::Impl& impl) {
  impl.extra_wordvec_method = config_string(config, "extra_wordvec_method");
  const std::string& method = impl.extra_wordvec_method;
  if (method != "NONE" && method != "SUM" && method != "CONCAT") {
    fail("unsupported sentiment extra word-vector method: '" + method + "'");
  }
}

void read_dimensions(const JsonValue& config, SentimentPlan::Impl& impl) {
  impl.bilstm = config_bool(config, "bilstm");
  impl.bilstm_hidden_dim = config_int(config, "bilstm_hidden_dim");
  impl.maxpool_width = config_int(config, "maxpool_width");
  impl.num_classes = config_int(config, "num_classes");
  impl.charlm_projection = config_int(config, "charlm_projection");
  impl.has_charlm_forward = config_bool(config, "has_charlm_forward");
  impl.has_charlm_backward = config_bool(config, "has_charlm_backward");
  impl.use_transformer = detail::given_member(config, "bert_model", kConfig) != nullptr;
  if (impl.maxpool_width <= 0 || impl.num_classes <= 0 || (impl.bilstm && impl.bilstm_hidden_dim <= 0)) {
    fail(kDimensionMessage);
  }
  // Bounded before any is combined with another or sizes anything.
  const detail::RaiseError raise = &detail::raise<SentimentModelError>;
  if (impl.bilstm) {
    detail::size_in_range(impl.bilstm_hidden_dim, 1, detail::kMaxConfiguredSize, "assets.config.bilstm_hidden_dim",
                          raise);
  }
  if (impl.charlm_projection > 0) {
    detail::size_in_range(impl.charlm_projection, 1, detail::kMaxConfiguredSize, "assets.config.charlm_projection",
                          raise);
  }
}

// One element of filter_sizes: an integer is a full-width filter of that
// height, a pair [height, width] a two-dimensional filter.
detail::SentimentFilter read_filter(const JsonValue& element, const std::string& context) {
  if (element.is_integer()) return {element.as_integer(context), 0, false};
  const JsonValue::Array& pair = element.as_array(context);
  if (pair.size() != 2) fail("sentiment 2D filter must have two dimensions");
  return {pair[0].as_integer(context + "[0]"), pair[1].as_integer(context + "[1]"), true};
}

void read_filters(const JsonValue& config, SentimentPlan::Impl& impl) {
  const JsonValue::Array& sizes =
      config.at("filter_sizes", kConfig).as_array("assets.config.filter_sizes");
  if (sizes.empty()) fail("sentiment classifier has no convolution filters");
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const detail::SentimentFilter filter =
        read_filter(sizes[i], "assets.config.filter_sizes[" + std::to_string(i) + "]");
    impl.filters.push_back(filter);
    // The window counts a two-dimensional filter's width, not its height.
    impl.max_window = std::max(impl.max_window, filter.two_d ? filter.width : filter.height);
    if (filter.height <= 0 || (filter.two_d && filter.width <= 0)) {
      fail("sentiment convolution dimensions must be positive");
    }
    impl.min_padded_length = std::max({impl.min_padded_length, impl.max_window, filter.height});
  }
}

void read_labels(const JsonValue& root, SentimentPlan::Impl& impl) {
  for (const JsonValue& label : root.at("labels", "assets").as_array("assets.labels")) {
    impl.labels.push_back(label.as_string("assets.labels[]"));
  }
  if (static_cast<std::int64_t>(impl.labels.size()) != impl.num_classes) {
    fail("sentiment labels disagree with num_classes");
  }
}

void read_pretrain_vocab(const JsonValue& root, SentimentPlan::Impl& impl) {
  const JsonValue& vocab = root.at("pretrain_vocab", "assets");
  impl.pretrain_vocab = detail::read_unit2id(vocab, "assets.pretrain_vocab");
  if (const JsonValue* lower = vocab.find("lower")) {
    impl.pretrain_lower = lower->as_bool("assets.pretrain_vocab.lower");
  }
  if (detail::id_or(impl.pretrain_vocab, "<PAD>", -1) != 0 ||
      detail::id_or(impl.pretrain_vocab, "<UNK>", -1) != 1) {
    fail("sentiment pretrain vocabulary has invalid PAD/UNK ids");
  }
}

// A word's id is its first position in the list. Besides those ids the
// look-up produces 1 for every word the list lacks, so the table must reach
// past both.
void read_extra_vocab(const JsonValue& root, SentimentPlan::Impl& impl) {
  const JsonValue* list = root.find("extra_vocab");
  if (list != nullptr && !list->is_null()) {
    const JsonValue::Array& words = list->as_array("assets.extra_vocab");
    for (std::size_t j = 0; j < words.size(); ++j) {
      const auto id = static_cast<std::int64_t>(j);
      if (impl.extra_vocab.emplace(words[j].as_string("assets.extra_vocab[]"), id).second) {
        impl.extra_rows = std::max(impl.extra_rows, id + 1);
      }
    }
  }
  if ((impl.extra_wordvec_method == "NONE") != impl.extra_vocab.empty()) {
    fail("sentiment extra vocabulary disagrees with its method");
  }
  if (!impl.extra_vocab.empty()) impl.extra_rows = std::max<std::int64_t>(impl.extra_rows, 2);
}

void build_charlms(const JsonValue& root, SentimentPlan::Impl& impl) {
  if (!impl.has_charlm_forward && !impl.has_charlm_backward) return;
  const JsonValue& charlm = root.at("charlm", "assets");
  if (impl.has_charlm_forward) {
    impl.charlm_forward = std::make_unique<detail::NativeCharLM>(impl.bundle, "forward_charlm.",
                                                                 charlm.at("forward", "assets.charlm"));
    if (!impl.charlm_forward->is_forward()) fail("sentiment forward charLM has the wrong direction");
  }
  if (impl.has_charlm_backward) {
    impl.charlm_backward = std::make_unique<detail::NativeCharLM>(
        impl.bundle, "backward_charlm.", charlm.at("backward", "assets.charlm"));
    if (impl.charlm_backward->is_forward()) fail("sentiment backward charLM has the wrong direction");
  }
}

void build_transformer(const JsonValue& root, SentimentPlan::Impl& impl) {
  if (!impl.use_transformer) return;
  impl.transformer =
      std::make_unique<detail::NativeTransformer>(impl.bundle, root.at("transformer", "assets"));
}

}  // namespace

SentimentPlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(detail::open_bundle_for<SentimentModelError>(std::move(bundle_dir), verify_checksums,
                                                          "sentiment", "a sentiment")) {
  const JsonValue root = detail::parse_json(bundle->assets_json());
  const JsonValue& config = root.at("config", "assets");
  check_profile(config);
  read_method(config, *this);
  read_dimensions(config, *this);
  read_filters(config, *this);
  read_labels(root, *this);
  read_pretrain_vocab(root, *this);
  read_extra_vocab(root, *this);
  tensors = detail::ModelTensors(*bundle, &detail::raise<SentimentModelError>,
                                 "missing sentiment tensor: '");
  build_charlms(root, *this);
  build_transformer(root, *this);
  validate_tensors(config);
}

SentimentPlan::SentimentPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
  } catch (...) {
    detail::rethrow_loading_error<SentimentModelError>();
  }
}

SentimentPlan::SentimentPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SentimentPlan::SentimentPlan(SentimentPlan&& other) noexcept = default;
SentimentPlan& SentimentPlan::operator=(SentimentPlan&& other) noexcept = default;
SentimentPlan::~SentimentPlan() = default;

const ModelBundle& SentimentPlan::bundle() const { return *detail::loaded_impl(impl_, "sentiment").bundle; }

}  // namespace lorvane
