// Tagging: the bidirectional tagger LSTM over the input rows, the classifier
// heads, CRF decoding and BIOES repair; sentences batched where that leaves
// every sentence's result as it is alone.

#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>
#include <c10/util/Exception.h>

#include <algorithm>

#include "models/ner/crf.hpp"
#include "models/ner/plan_impl.hpp"
#include "nn/batching.hpp"

namespace lorvane {
namespace {

// Sentences per tagger batch, and their padded rows (sentences x longest
// sentence): bounds the padded input, not the work, which is packed.
constexpr std::size_t kMaxBatchSentences = 256;
constexpr std::int64_t kMaxBatchRows = 1 << 13;

at::Tensor index_tensor(std::vector<std::int64_t>& positions) {
  return at::from_blob(positions.data(), {static_cast<std::int64_t>(positions.size())}, at::kLong);
}

// Rows [total, D] of consecutive sentences as a zero-padded batch
// [sentences, longest, D]: a gather from the rows plus one zero row.
at::Tensor padded_batch(const at::Tensor& rows, const std::vector<std::int64_t>& lengths, std::int64_t longest) {
  const std::int64_t total = rows.size(0);
  std::vector<std::int64_t> source(lengths.size() * static_cast<std::size_t>(longest), total);
  std::int64_t next = 0;
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    for (std::int64_t t = 0; t < lengths[s]; ++t) source[s * static_cast<std::size_t>(longest) + static_cast<std::size_t>(t)] = next++;
  }
  const at::Tensor extended = at::cat({rows, at::zeros({1, rows.size(1)}, rows.options())});
  return extended.index_select(0, index_tensor(source)).view({static_cast<std::int64_t>(lengths.size()), longest, -1});
}

// The inverse of padded_batch on an output [sentences, longest, W]: the
// rows of every sentence's own steps, [total, W].
at::Tensor unpadded_rows(const at::Tensor& output, const std::vector<std::int64_t>& lengths) {
  const std::int64_t longest = output.size(1);
  std::vector<std::int64_t> positions;
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    for (std::int64_t t = 0; t < lengths[s]; ++t) positions.push_back(static_cast<std::int64_t>(s) * longest + t);
  }
  return output.reshape({-1, output.size(2)}).index_select(0, index_tensor(positions));
}

}  // namespace

detail::LstmState NERPlan::Impl::initial_state(const std::vector<at::Tensor>& state,
                                               const detail::LstmWeights& weights) {
  const std::vector<std::int64_t> expected = {weights.layers() * weights.directions(), 1, weights.hidden_size()};
  for (const at::Tensor& part : state) {
    TORCH_CHECK(part.sizes() == at::IntArrayRef(expected), "Expected LSTM initial state size ",
                at::IntArrayRef(expected), ", got ", part.sizes());
  }
  return {state.at(0), state.at(1)};
}

at::Tensor NERPlan::Impl::emission_scores(const at::Tensor& rows, const std::vector<std::int64_t>& lengths) const {
  const std::int64_t longest = *std::max_element(lengths.begin(), lengths.end());
  const detail::LstmState initial = initial_state(tagger_initial_state, tagger_lstm);
  at::Tensor out;
  if (lengths.size() == 1) {
    out = detail::run_lstm(tagger_lstm, rows.unsqueeze(0), lengths, initial).output[0];
  } else {
    out = unpadded_rows(detail::run_lstm(tagger_lstm, padded_batch(rows, lengths, longest), lengths, initial).output,
                        lengths);
  }
  // Chained heads each see the previous head's raw scores after the LSTM
  // output; unchained, only the predicted column's head runs.
  const auto predicted = static_cast<std::size_t>(predict_tagset);
  const std::size_t first = connect_output_layers ? 0 : predicted;
  at::Tensor scores;
  for (std::size_t c = first; c <= predicted; ++c) {
    const at::Tensor input = c == first ? out : at::cat({out, scores}, 1);
    scores = at::linear(input, tag_heads[c].weight, tag_heads[c].bias);
  }
  return scores;
}

std::vector<std::string> NERPlan::Impl::decode_tags(const at::Tensor& emissions) const {
  const auto predicted = static_cast<std::size_t>(predict_tagset);
  std::vector<std::string> tags =
      detail::path_tags(detail::viterbi_path(emissions, tag_heads[predicted].transitions), tag_columns[predicted]);
  detail::repair_bioes(tags);
  return tags;
}

std::vector<std::string> NERPlan::Impl::tag(const std::vector<std::string>& tokens) const {
  if (tokens.empty()) return {};
  c10::InferenceMode guard;
  const at::Tensor rows = batch_inputs({&tokens});
  return decode_tags(emission_scores(rows, {static_cast<std::int64_t>(tokens.size())}));
}

std::vector<std::vector<std::size_t>> NERPlan::Impl::tagging_batches(
    const std::vector<std::vector<std::string>>& sentences) const {
  std::vector<std::int64_t> lengths(sentences.size());
  for (std::size_t s = 0; s < sentences.size(); ++s) lengths[s] = static_cast<std::int64_t>(sentences[s].size());
  std::vector<std::size_t> order = detail::longest_first(lengths);
  // Empty sentences sort last and take no part.
  while (!order.empty() && lengths[order.back()] == 0) order.pop_back();
  std::vector<std::vector<std::size_t>> batches;
  for (const detail::BatchRange& range : detail::cut_batches(order, lengths, kMaxBatchSentences, kMaxBatchRows)) {
    batches.emplace_back(order.begin() + static_cast<std::ptrdiff_t>(range.begin),
                         order.begin() + static_cast<std::ptrdiff_t>(range.end));
  }
  return batches;
}

std::vector<std::vector<std::string>> NERPlan::Impl::tag_many(
    const std::vector<std::vector<std::string>>& sentences) const {
  std::vector<std::vector<std::string>> tags(sentences.size());
  const std::vector<std::vector<std::size_t>> batches = tagging_batches(sentences);
  if (batches.empty()) return tags;
  c10::InferenceMode guard;
  for (const std::vector<std::size_t>& batch : batches) {
    std::vector<const std::vector<std::string>*> members;
    std::vector<std::int64_t> lengths;
    for (const std::size_t s : batch) {
      members.push_back(&sentences[s]);
      lengths.push_back(static_cast<std::int64_t>(sentences[s].size()));
    }
    const at::Tensor scores = emission_scores(batch_inputs(members), lengths);
    std::int64_t first_row = 0;
    for (std::size_t member = 0; member < batch.size(); ++member) {
      tags[batch[member]] = decode_tags(scores.narrow(0, first_row, lengths[member]));
      first_row += lengths[member];
    }
  }
  return tags;
}

}  // namespace lorvane
