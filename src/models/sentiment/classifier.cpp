// The classifier network over one batch: optional BiLSTM, one convolution per
// filter with ReLU and grouped max pooling, then the fully connected layers.

#include <ATen/ops/amax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/conv2d.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>

#include <vector>

#include "models/sentiment/plan_impl.hpp"

namespace lorvane {
namespace {

// [B, rows, T] -> [B, rows / group]: the maximum of each whole group of
// `group` consecutive rows over all positions; rows after the last whole
// group are dropped.
at::Tensor grouped_max(const at::Tensor& rows, std::int64_t group) {
  const std::int64_t groups = rows.size(1) / group;
  const at::Tensor per_row = rows.amax(2);
  return per_row.narrow(1, 0, groups * group).view({rows.size(0), groups, group}).amax(2);
}

}  // namespace

at::Tensor SentimentPlan::Impl::batch_logits(const Batch& batch) const {
  if (batch.empty()) return at::empty({0, num_classes}, embedding.options());
  const std::int64_t length = padded_length(batch);
  at::Tensor x = batch_input(batch, length);
  if (bilstm) {
    // Every row runs over all positions: pad positions feed the reverse
    // direction of the real ones.
    const std::vector<std::int64_t> lengths(batch.size(), length);
    x = detail::run_lstm(bilstm_weights, x, lengths).output;
  }
  const std::int64_t width = x.size(2);
  const at::Tensor planes = x.unsqueeze(1);  // [B, 1, L, D']

  std::vector<at::Tensor> pooled;
  pooled.reserve(filters.size());
  for (std::size_t k = 0; k < filters.size(); ++k) {
    const detail::SentimentFilter& filter = filters[k];
    const std::int64_t step = filter.two_d ? filter.width : width;
    // [B, C, T, Q] with T = L - height + 1 and Q = D' / step.
    at::Tensor y = at::conv2d(planes, conv_layers[k].weight, conv_layers[k].bias, {1, step});
    // [B, rows, T]: channel by channel, each channel's columns in order.
    y = filter.two_d ? y.transpose(2, 3).flatten(1, 2) : y.squeeze(3);
    pooled.push_back(grouped_max(at::relu(y), maxpool_width));
  }
  at::Tensor hidden = at::cat(pooled, 1);
  for (std::size_t j = 0; j < fc_layers.size(); ++j) {
    hidden = at::linear(hidden, fc_layers[j].weight, fc_layers[j].bias);
    if (j + 1 < fc_layers.size()) hidden = at::relu(hidden);
  }
  return hidden;
}

}  // namespace lorvane
