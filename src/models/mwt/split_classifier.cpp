// The exact-piece split classifier: a character BiLSTM with a two-layer
// head that decides, for every code point of a token, whether a word starts
// there. Its words are always substrings of the token.

#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/gt.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "models/mwt/plan_impl.hpp"
#include "nn/config.hpp"
#include "nn/tensor_view.hpp"

namespace lorvane {
namespace {

constexpr std::string_view kEncoderPrefix = "encoder.";
constexpr std::int64_t kStartId = 2;
constexpr std::int64_t kEndId = 3;
constexpr std::int64_t kUnknownId = 1;
// Tokens per encoder batch when many are classified at once.
constexpr std::size_t kBatchTokens = 64;

[[noreturn]] void fail(const std::string& message) { throw MWTModelError(message); }

// Every tensor of the bundle, used or not, must be float32 or int64.
void check_dtypes(const ModelBundle& bundle) {
  for (const TensorDescriptor& descriptor : bundle.tensors()) {
    if (descriptor.dtype != "float32" && descriptor.dtype != "int64") {
      fail("MWT tensor dtype is unsupported: " + descriptor.dtype);
    }
  }
}

// The encoder needs at least one layer and two equal directions; both sizes
// are bounded before they name tensors or size the initial state.
void check_dimensions(const MWTPlan::Impl& impl) {
  if (impl.num_layers <= 0 || impl.hidden_dim <= 0 || impl.hidden_dim % 2 != 0) {
    fail("invalid MWT split classifier dimensions in assets.config");
  }
  const detail::RaiseError raise = &detail::raise<MWTModelError>;
  detail::size_in_range(impl.num_layers, 1, detail::kMaxLstmLayers, "assets.config.num_layers", raise);
  detail::size_in_range(impl.hidden_dim, 2, detail::kMaxConfiguredSize, "assets.config.hidden_dim", raise);
}

// Every tensor the classifier needs, in the order their presence is checked.
// Layer names are made one layer at a time, so a count far beyond the
// bundle's tensors stops at the first absent layer.
void require_tensors(const MWTPlan::Impl& impl) {
  impl.weight("embedding.weight");
  for (std::int64_t layer = 0; layer < impl.num_layers; ++layer) {
    for (const std::string& name : detail::lstm_layer_names(kEncoderPrefix, layer, true)) impl.weight(name);
  }
  for (const char* name : {"output_layer.0.weight", "output_layer.0.bias", "output_layer.2.weight",
                           "output_layer.2.bias"}) {
    impl.weight(name);
  }
}

// --- Shapes ------------------------------------------------------------------
// The bundle format does not promise them; they are checked once here, in
// the order of the presence checks, so that a broken bundle fails at
// construction rather than inside the recurrent kernels.

constexpr std::int64_t kAnySize = -1;  // any size of at least 1

void check_tensor(const MWTPlan::Impl& impl, std::string_view name, std::initializer_list<std::int64_t> shape) {
  const at::Tensor& tensor = impl.weight(name);
  bool matches = tensor.scalar_type() == at::kFloat && tensor.dim() == static_cast<std::int64_t>(shape.size());
  std::int64_t dim = 0;
  for (std::int64_t size : shape) {
    if (!matches) break;
    const std::int64_t actual = tensor.size(dim++);
    matches = size == kAnySize ? actual >= 1 : actual == size;
  }
  if (!matches) fail("MWT tensor has an unexpected shape or dtype: '" + std::string(name) + "'");
}

void check_shapes(const MWTPlan::Impl& impl) {
  const std::int64_t h = impl.hidden_dim / 2;
  check_tensor(impl, "embedding.weight", {kAnySize, kAnySize});
  const std::int64_t e = impl.weight("embedding.weight").size(1);
  for (std::int64_t layer = 0; layer < impl.num_layers; ++layer) {
    const std::vector<std::string> names = detail::lstm_layer_names(kEncoderPrefix, layer, true);
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::int64_t input = layer == 0 ? e : 2 * h;
      switch (i % 4) {
        case 0: check_tensor(impl, names[i], {4 * h, input}); break;
        case 1: check_tensor(impl, names[i], {4 * h, h}); break;
        default: check_tensor(impl, names[i], {4 * h}); break;
      }
    }
  }
  check_tensor(impl, "output_layer.0.weight", {kAnySize, 2 * h});
  const std::int64_t f = impl.weight("output_layer.0.weight").size(0);
  check_tensor(impl, "output_layer.0.bias", {f});
  check_tensor(impl, "output_layer.2.weight", {kAnySize, f});
  const std::int64_t c = impl.weight("output_layer.2.weight").size(0);
  if (c < 2) fail("MWT tensor has an unexpected shape or dtype: 'output_layer.2.weight'");
  check_tensor(impl, "output_layer.2.bias", {c});
}

// 2, the code points' ids (1 for one the vocabulary lacks), 3.
std::vector<std::int64_t> character_ids(const detail::UnitIds& unit2id, const std::vector<std::string>& code_points) {
  std::vector<std::int64_t> ids;
  ids.reserve(code_points.size() + 2);
  ids.push_back(kStartId);
  for (const std::string& unit : code_points) ids.push_back(detail::id_or(unit2id, unit, kUnknownId));
  ids.push_back(kEndId);
  return ids;
}

// The token with a space before every marked code point, without leading or
// trailing spaces.
std::string join_pieces(const std::vector<std::string>& code_points, const bool* boundary_before) {
  std::string joined;
  for (std::size_t i = 0; i < code_points.size(); ++i) {
    if (boundary_before[i]) joined += ' ';
    joined += code_points[i];
  }
  const std::size_t first = joined.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return joined.substr(first, joined.find_last_not_of(' ') - first + 1);
}

}  // namespace

const at::Tensor& MWTPlan::Impl::weight(std::string_view name) const { return tensors.require(name); }

detail::LstmWeights MWTPlan::Impl::make_encoder_weights() const {
  return detail::LstmWeights::from_names(kEncoderPrefix, num_layers, true,
                                         [this](const std::string& name) { return weight(name); });
}

void MWTPlan::Impl::load_split_classifier() {
  check_dimensions(*this);
  check_dtypes(*bundle);
  tensors = detail::ModelTensors(*bundle, &detail::raise<MWTModelError>, "missing MWT tensor: '");
  require_tensors(*this);
  // Shapes first: the initial state below is sized from the configuration.
  check_shapes(*this);
  // Every id the classifier looks up must name a row: the vocabulary's, the
  // unknown id and the start and end symbols.
  if (weight("embedding.weight").size(0) <= kEndId) {
    fail("MWT tensor has an unexpected shape or dtype: 'embedding.weight'");
  }
  tensors.require_ids_in_rows(unit2id, "assets.vocab._unit2id", "embedding.weight");
  encoder_weights = make_encoder_weights();
  const at::Tensor zeros = at::zeros({2 * num_layers, 1, hidden_dim / 2}, weight("embedding.weight").options());
  initial_state = {zeros, zeros};
  embedding_weight = weight("embedding.weight");
  output_layer0_weight = weight("output_layer.0.weight");
  output_layer0_bias = weight("output_layer.0.bias");
  output_layer2_weight = weight("output_layer.2.weight");
  output_layer2_bias = weight("output_layer.2.bias");
}

// Tokens are embedded one by one and run through the encoder in batches of
// similar length; the head runs once over every position of every token.
std::vector<std::string> MWTPlan::Impl::classify_pieces_many(const std::vector<std::string>& tokens) const {
  std::vector<std::vector<std::string>> code_points;
  code_points.reserve(tokens.size());
  for (const std::string& token : tokens) code_points.push_back(detail::split_code_points(token));
  if (tokens.empty()) return {};

  c10::InferenceMode guard;
  std::vector<at::Tensor> embedded;
  embedded.reserve(tokens.size());
  for (const std::vector<std::string>& units : code_points) {
    std::vector<std::int64_t> ids = character_ids(unit2id, units);
    const at::Tensor id_tensor = at::from_blob(ids.data(), {static_cast<std::int64_t>(ids.size())}, at::kLong);
    embedded.push_back(at::embedding(embedding_weight, id_tensor));
  }
  const std::vector<at::Tensor> encoded =
      detail::run_lstm_sequences(encoder_weights, embedded, initial_state, {kBatchTokens, 0});
  const at::Tensor hidden = at::relu(at::linear(at::cat(encoded), output_layer0_weight, output_layer0_bias));
  const at::Tensor logits = at::linear(hidden, output_layer2_weight, output_layer2_bias);
  // A boundary needs column 1 strictly above column 0; further columns are ignored.
  const at::Tensor boundary = at::gt(logits.select(1, 1), logits.select(1, 0)).contiguous();
  const bool* flags = boundary.data_ptr<bool>();

  std::vector<std::string> pieces;
  pieces.reserve(tokens.size());
  std::size_t position = 0;
  for (const std::vector<std::string>& units : code_points) {
    // Skip the start symbol; the end symbol's flag is never read.
    pieces.push_back(join_pieces(units, flags + position + 1));
    position += units.size() + 2;
  }
  return pieces;
}

std::string MWTPlan::Impl::classify_pieces(const std::string& token) const {
  return classify_pieces_many({token}).front();
}

}  // namespace lorvane
