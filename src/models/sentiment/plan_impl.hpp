#pragma once

// The loaded state of a sentiment bundle. Private to the sentiment model: only
// .cpp files that already need libtorch include it.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bundle/json.hpp"
#include "encoders/charlm/native_charlm.hpp"
#include "encoders/transformer/native_transformer.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/sentiment.hpp"
#include "nn/lstm.hpp"
#include "nn/model_tensors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {
namespace detail {

// One convolution filter of the classifier. A full-width filter (two_d false,
// width 0) spans `height` token positions and every column of its input; a
// two-dimensional one spans `height` positions and `width` columns and steps
// across the input width in strides of `width`.
struct SentimentFilter {
  std::int64_t height = 0;
  std::int64_t width = 0;
  bool two_d = false;
};

// A weight and its bias, as views of the bundle's tensors.
struct SentimentLayer {
  at::Tensor weight;
  at::Tensor bias;
};

}  // namespace detail

// Fixed once the constructor returns; every operation is const.
// Safe to share across threads: all operations are const.
struct SentimentPlan::Impl {
  // Sentences of one batch, in the order they are classified; they point
  // into the caller's sentences.
  using Batch = std::vector<const std::vector<std::string>*>;

  Impl() = default;
  // Opens the bundle and loads it step by step; the first failing check
  // throws. JSON errors leave as detail::JsonError (the plan turns them into
  // SentimentModelError).
  Impl(std::filesystem::path bundle_dir, bool verify_checksums);

  // Declared first: destroyed last, after every view into its mapping.
  std::shared_ptr<const ModelBundle> bundle;
  // Views over the bundle's mapped tensor file: never write through them.
  detail::ModelTensors tensors;
  detail::UnitIds pretrain_vocab;  // word -> row of embedding.weight
  detail::UnitIds extra_vocab;     // word -> first position in the assets' list
  std::vector<std::string> labels;
  std::vector<detail::SentimentFilter> filters;
  detail::LstmWeights bilstm_weights;  // two layers, bidirectional; empty unless bilstm
  std::string extra_wordvec_method;    // "NONE", "SUM" or "CONCAT"
  std::int64_t bilstm_hidden_dim = 0;
  std::int64_t maxpool_width = 0;
  std::int64_t num_classes = 0;
  std::int64_t charlm_projection = 0;  // > 0: character-model rows are projected to this width
  // Over all filters, the height of a full-width filter or the width of a
  // two-dimensional one.
  std::int64_t max_window = 0;
  std::int64_t fc_layer_count = 0;
  bool pretrain_lower = false;
  bool bilstm = false;
  bool has_charlm_forward = false;
  bool has_charlm_backward = false;
  bool use_transformer = false;
  std::unique_ptr<detail::NativeCharLM> charlm_forward;
  std::unique_ptr<detail::NativeCharLM> charlm_backward;
  std::unique_ptr<detail::NativeTransformer> transformer;

  // Derived while loading.
  // The least padded length of a batch: max_window, raised to the tallest
  // filter so that every filter fits a batch of short sentences.
  std::int64_t min_padded_length = 0;
  // Rows extra_embedding.weight must have: one past the largest id the extra
  // look-up can produce (assigned ids and the fallback 1).
  std::int64_t extra_rows = 0;
  // The layers fetched once, in network order.
  at::Tensor embedding;
  at::Tensor unk;
  at::Tensor extra_embedding;
  detail::SentimentLayer forward_projection;
  detail::SentimentLayer backward_projection;
  std::vector<detail::SentimentLayer> conv_layers;  // one per filter
  // The kernels of the full-width filters side by side, [D', sum of height x
  // channels]: column block k x C + c holds kernel row k of channel c. A
  // derived copy (the views stay untouched); undefined without such filters.
  at::Tensor full_width_kernels;
  std::vector<std::int64_t> kernel_offsets;  // per filter: its first column there
  std::vector<detail::SentimentLayer> fc_layers;

  // The tensor of that name. Throws SentimentModelError
  // "missing sentiment tensor: '<name>'".
  const at::Tensor& weight(std::string_view name) const;
  // Checks every tensor against the configuration (the last loading step),
  // fetches the layers and sets fc_layer_count and bilstm_weights.
  void validate_tensors(const detail::JsonValue& config);
  detail::LstmWeights make_bilstm_weights() const;
  // Sets full_width_kernels and kernel_offsets from the validated filters.
  void join_full_width_kernels();

  // Input encoding.
  // Row of embedding.weight for one token (1 for unknown words).
  std::int64_t pretrained_id(const std::string& token) const;
  // Row of extra_embedding.weight for one token (1 for unknown words).
  std::int64_t extra_id(const std::string& token) const;
  // The batch's padded length: min_padded_length or its longest sentence.
  std::int64_t padded_length(const Batch& batch) const;
  // [B, length, D]: the classifier input of a non-empty batch.
  at::Tensor batch_input(const Batch& batch, std::int64_t length) const;
  // [B, length, F]: one character model's rows, through `projection` when
  // charlm_projection > 0, zero at pad positions.
  at::Tensor padded_context(const Batch& batch, std::int64_t length,
                            const detail::NativeCharLM& charlm,
                            const detail::SentimentLayer& projection) const;
  // [B, length, H]: the transformer's rows, zero at pad positions.
  at::Tensor padded_transformer(const Batch& batch, std::int64_t length) const;

  // Classification.
  // [B, num_classes]: the logits of a batch.
  at::Tensor batch_logits(const Batch& batch) const;
  // The same for rows padded to `length` (at least padded_length(batch)).
  at::Tensor padded_logits(const Batch& batch, std::int64_t length) const;
  // One class per sentence, in input order, batched by a budget of tokens.
  std::vector<std::int64_t> classify_many(const std::vector<std::vector<std::string>>& sentences,
                                          std::uint64_t batch_size) const;
};

}  // namespace lorvane
