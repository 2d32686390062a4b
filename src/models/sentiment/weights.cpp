// The last loading step: every tensor the classifier reads is checked against
// the configuration, following the running input width W from the word
// vectors through the optional BiLSTM to the convolutions and the fully
// connected layers.

#include <ATen/ops/cat.h>

#include <string>
#include <vector>

#include "models/sentiment/plan_impl.hpp"
#include "nn/config.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using detail::SentimentLayer;

[[noreturn]] void fail(const std::string& message) { throw SentimentModelError(message); }

// No tensor extent is negative: a width that left int64 can match none.
constexpr std::int64_t kImpossibleWidth = -1;

std::int64_t widened(std::int64_t width, std::int64_t by) {
  std::int64_t sum = 0;
  if (width < 0 || by < 0 || __builtin_add_overflow(width, by, &sum)) return kImpossibleWidth;
  return sum;
}

bool has_shape(const at::Tensor& tensor, std::initializer_list<std::int64_t> shape) {
  return tensor.sizes() == at::IntArrayRef(shape);
}

std::string indexed(std::string_view prefix, std::size_t index, std::string_view suffix) {
  return std::string(prefix) + std::to_string(index) + std::string(suffix);
}

}  // namespace

const at::Tensor& SentimentPlan::Impl::weight(std::string_view name) const { return tensors.require(name); }

detail::LstmWeights SentimentPlan::Impl::make_bilstm_weights() const {
  return detail::LstmWeights::from_names("bilstm.", 2, true,
                                         [this](const std::string& name) { return weight(name); });
}

void SentimentPlan::Impl::join_full_width_kernels() {
  std::vector<at::Tensor> blocks;
  std::int64_t offset = 0;
  for (std::size_t k = 0; k < filters.size(); ++k) {
    kernel_offsets.push_back(offset);
    if (filters[k].two_d) continue;
    // [C, 1, height, D'] -> [D', height x C]
    const at::Tensor& kernel = conv_layers[k].weight;
    blocks.push_back(kernel.select(1, 0).permute({2, 1, 0}).reshape({kernel.size(3), -1}));
    offset += blocks.back().size(1);
  }
  if (!blocks.empty()) full_width_kernels = at::cat(blocks, 1);
}

void SentimentPlan::Impl::validate_tensors(const JsonValue& config) {
  // Word vectors. Every vocabulary id must name a row: an id past the table
  // would load and then fail on the first sentence holding that word.
  embedding = weight("embedding.weight");
  unk = weight("unk");
  const auto vocab_rows = static_cast<std::int64_t>(pretrain_vocab.size());
  bool ids_inside = true;
  for (const auto& entry : pretrain_vocab) {
    ids_inside = ids_inside && entry.second >= 0 && entry.second < vocab_rows;
  }
  if (embedding.dim() != 2 || embedding.size(0) != vocab_rows || !ids_inside || unk.dim() != 1 ||
      unk.size(0) != embedding.size(1)) {
    fail("sentiment pretrain embedding dimensions disagree with its vocabulary");
  }
  std::int64_t width = embedding.size(1);
  // Every tensor below has the embedding's floating type.
  tensors.require("embedding.weight", {vocab_rows, width});
  tensors.require("unk", {width});

  if (extra_wordvec_method != "NONE") {
    extra_embedding = weight("extra_embedding.weight");
    if (extra_embedding.dim() != 2 || extra_embedding.size(0) != extra_rows) {
      fail("sentiment extra embedding dimensions disagree with its vocabulary");
    }
    tensors.require("extra_embedding.weight", {extra_rows, extra_embedding.size(1)});
    if (extra_wordvec_method == "CONCAT") {
      width = widened(width, extra_embedding.size(1));
    } else if (extra_embedding.size(1) != width) {
      fail("summed sentiment embeddings have different widths");
    }
  }

  // A projection must map the model's rows to exactly charlm_projection
  // columns: a narrower output would be broadcast into the padded rows.
  const auto add_charlm = [&](const detail::NativeCharLM& charlm, std::string_view prefix,
                              std::string_view direction, SentimentLayer& projection) {
    if (charlm_projection <= 0) {
      width = widened(width, charlm.hidden_size());
      return;
    }
    projection.weight = weight(std::string(prefix) + ".weight");
    projection.bias = weight(std::string(prefix) + ".bias");
    if (!has_shape(projection.weight, {charlm_projection, charlm.hidden_size()}) ||
        !has_shape(projection.bias, {charlm_projection})) {
      fail("sentiment " + std::string(direction) + " charLM projection has an invalid input width");
    }
    tensors.require(std::string(prefix) + ".weight", {charlm_projection, charlm.hidden_size()});
    tensors.require(std::string(prefix) + ".bias", {charlm_projection});
    width = widened(width, charlm_projection);
  };
  if (has_charlm_forward) {
    add_charlm(*charlm_forward, "charmodel_forward_projection", "forward", forward_projection);
  }
  if (has_charlm_backward) {
    add_charlm(*charlm_backward, "charmodel_backward_projection", "backward", backward_projection);
  }
  if (use_transformer) width = widened(width, transformer->hidden_size());

  if (bilstm) {
    const detail::LstmWeights weights = make_bilstm_weights();
    const at::Tensor& input_weight = weights.weight_ih(0, 0);
    if (input_weight.dim() != 2 || input_weight.size(1) != width) {
      fail("sentiment BiLSTM input width disagrees with its embedding profile");
    }
    detail::LstmWeights::checked(tensors, "bilstm.", 2, true, width, bilstm_hidden_dim);
    width = widened(bilstm_hidden_dim, bilstm_hidden_dim);
  }

  // Convolutions: each contributes (rows before pooling) / maxpool_width
  // features. A filter with fewer rows than one pooling group could never
  // pool, so it is refused here rather than on every input.
  std::int64_t features = 0;
  for (std::size_t i = 0; i < filters.size(); ++i) {
    const detail::SentimentFilter& filter = filters[i];
    SentimentLayer layer{weight(indexed("conv_layers.", i, ".weight")),
                         weight(indexed("conv_layers.", i, ".bias"))};
    const at::Tensor& kernel = layer.weight;
    if (kernel.dim() != 4 || kernel.size(1) != 1 || kernel.size(2) != filter.height) {
      fail("sentiment convolution tensor disagrees with its configured filter");
    }
    const std::int64_t channels = kernel.size(0);
    std::int64_t rows = channels;
    if (filter.two_d) {
      if (kernel.size(3) != filter.width || width < 0 || width % filter.width != 0) {
        fail("sentiment 2D filter does not tile its input width");
      }
      if (__builtin_mul_overflow(width / filter.width, channels, &rows)) rows = kImpossibleWidth;
    } else if (kernel.size(3) != width) {
      fail("sentiment full-width convolution has the wrong input width");
    }
    if (rows < maxpool_width) fail("sentiment convolution tensor disagrees with its configured filter");
    tensors.require(indexed("conv_layers.", i, ".weight"), {channels, 1, filter.height, kernel.size(3)});
    tensors.require(indexed("conv_layers.", i, ".bias"), {channels});
    features = widened(features, rows / maxpool_width);
    conv_layers.push_back(std::move(layer));
  }

  join_full_width_kernels();

  const JsonValue::Array& fc_shapes = config.at("fc_shapes", "assets.config").as_array("assets.config.fc_shapes");
  std::int64_t in = features;
  for (std::size_t j = 0; j <= fc_shapes.size(); ++j) {
    SentimentLayer layer{weight(indexed("fc_layers.", j, ".weight")),
                         weight(indexed("fc_layers.", j, ".bias"))};
    const std::int64_t out =
        j < fc_shapes.size() ? fc_shapes[j].as_integer("assets.config.fc_shapes[]") : num_classes;
    if (!has_shape(layer.weight, {out, in}) || !has_shape(layer.bias, {out})) {
      fail("sentiment fully connected layer dimensions disagree with the configured architecture");
    }
    tensors.require(indexed("fc_layers.", j, ".weight"), {out, in});
    tensors.require(indexed("fc_layers.", j, ".bias"), {out});
    in = out;
    fc_layers.push_back(std::move(layer));
  }
  fc_layer_count = static_cast<std::int64_t>(fc_shapes.size()) + 1;

  if (bilstm) bilstm_weights = make_bilstm_weights();
}

}  // namespace lorvane
