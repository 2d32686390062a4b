// The classifier network over one batch: optional BiLSTM, one convolution per
// filter with ReLU and grouped max pooling, then the fully connected layers.
//
// Pooling takes, per output row, the maximum over every position, so the
// bias and the ReLU, which are the same for every position of a row and
// monotonic, are applied after that maximum. Full-width filters run as one
// matrix product of every position with all their kernel rows; each
// filter's response at position t is then the sum of its window rows' products
// at t, t + 1, ....

#include <ATen/ops/amax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/conv2d.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/relu.h>

#include <algorithm>
#include <vector>

#include "models/sentiment/plan_impl.hpp"

namespace lorvane {
namespace {

// Rows of a batch depend on each other only through the padded length, so a
// batch runs in slices of rows padded to that length, holding at most about
// this many token positions at once: the token budget allows one long
// sentence followed by thousands of one-token ones, every row padded to its
// length.
constexpr std::int64_t kSlicePositions = 16384;

// [B, rows] -> [B, rows / group]: the maximum of each whole group of `group`
// consecutive rows; rows after the last whole group are dropped.
at::Tensor grouped_max(const at::Tensor& rows, std::int64_t group) {
  const std::int64_t groups = rows.size(1) / group;
  return rows.narrow(1, 0, groups * group).view({rows.size(0), groups, group}).amax(2);
}

}  // namespace

at::Tensor SentimentPlan::Impl::batch_logits(const Batch& batch) const {
  if (batch.empty()) return at::empty({0, num_classes}, embedding.options());
  const std::int64_t length = padded_length(batch);
  const auto rows = static_cast<std::int64_t>(batch.size());
  const std::int64_t slice = std::max<std::int64_t>(1, kSlicePositions / length);
  if (rows <= slice) return padded_logits(batch, length);
  // Written into one result allocated up front: small logits kept between
  // the slices' large temporaries would pin them in the heap.
  at::Tensor logits;
  for (std::int64_t begin = 0; begin < rows; begin += slice) {
    const std::int64_t count = std::min(slice, rows - begin);
    const auto first = batch.begin() + begin;
    const at::Tensor part = padded_logits(Batch(first, first + count), length);
    if (!logits.defined()) logits = at::empty({rows, part.size(1)}, part.options());
    logits.narrow(0, begin, count).copy_(part);
  }
  return logits;
}

at::Tensor SentimentPlan::Impl::padded_logits(const Batch& batch, std::int64_t length) const {
  at::Tensor x = batch_input(batch, length);
  if (bilstm) {
    // Every row runs over all positions: pad positions feed the reverse
    // direction of the real ones.
    const std::vector<std::int64_t> lengths(batch.size(), length);
    x = detail::run_lstm(bilstm_weights, x, lengths).output;
  }
  // [B, L, sum of height x channels] over the full-width filters.
  const at::Tensor products = full_width_kernels.defined() ? at::matmul(x, full_width_kernels) : at::Tensor();

  std::vector<at::Tensor> pooled;
  pooled.reserve(filters.size());
  for (std::size_t k = 0; k < filters.size(); ++k) {
    const detail::SentimentFilter& filter = filters[k];
    const detail::SentimentLayer& layer = conv_layers[k];
    at::Tensor maxima;  // [B, rows]: each output row's maximum over the positions
    if (filter.two_d) {
      // [B, C, T, Q] -> [B, C x Q], the columns of each channel in order.
      const at::Tensor y = at::conv2d(x.unsqueeze(1), layer.weight, {}, {1, filter.width});
      maxima = (y.amax(2) + layer.bias.view({1, -1, 1})).flatten(1);
    } else {
      const std::int64_t channels = layer.weight.size(0);
      const std::int64_t positions = length - filter.height + 1;
      const at::Tensor windows =
          products.narrow(2, kernel_offsets[k], filter.height * channels).view({x.size(0), length, filter.height, channels});
      at::Tensor sums = windows.select(2, 0).narrow(1, 0, positions);
      for (std::int64_t row = 1; row < filter.height; ++row) {
        sums = sums + windows.select(2, row).narrow(1, row, positions);
      }
      maxima = sums.amax(1) + layer.bias;
    }
    pooled.push_back(grouped_max(at::relu(maxima), maxpool_width));
  }
  at::Tensor hidden = at::cat(pooled, 1);
  for (std::size_t j = 0; j < fc_layers.size(); ++j) {
    hidden = at::linear(hidden, fc_layers[j].weight, fc_layers[j].bias);
    if (j + 1 < fc_layers.size()) hidden = at::relu(hidden);
  }
  return hidden;
}

}  // namespace lorvane
