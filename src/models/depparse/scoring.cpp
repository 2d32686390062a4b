#include "models/depparse/scoring.hpp"

#include <ATen/ops/addmm.h>
#include <ATen/ops/baddbmm.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/log.h>
#include <ATen/ops/log_sigmoid.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/sign.h>
#include <ATen/ops/softplus.h>
#include <ATen/ops/zeros.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <limits>

#include "lorvane/errors.hpp"
#include "models/common/batching.hpp"

namespace lorvane::detail {
namespace {

// Padded rows whose head-side product is computed at once: large enough for
// an efficient matrix product, small enough to bound its [rows, P * O] buffer
// and a group's relation scores.
constexpr std::int64_t kGroupRows = 512;
// Scores normalised per temporary buffer when relation scores are normalised in place.
constexpr std::int64_t kSoftmaxChunkCells = std::int64_t{1} << 20;

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

// relu(linear) of padded encoder rows [k, L, H] on both sides of one scorer.
struct Projection {
  at::Tensor dependent;  // [k, L, P - 1]
  at::Tensor head;       // [k, L, Q - 1]

  Projection sentences(std::int64_t first, std::int64_t count) const {
    return {dependent.narrow(0, first, count), head.narrow(0, first, count)};
  }
};

Projection project(const at::Tensor& encoded, const DeepBiaffineWeights& scorer) {
  Projection sides{at::linear(encoded, scorer.dependent_weight, scorer.dependent_bias),
                   at::linear(encoded, scorer.head_weight, scorer.head_bias)};
  at::relu_(sides.dependent);
  at::relu_(sides.head);
  return sides;
}

std::int64_t output_count(const DeepBiaffineWeights& scorer) {
  TORCH_CHECK(scorer.head_major.defined(), "deep biaffine weight must have three dimensions, got ",
              scorer.pairwise_weight.dim());
  return scorer.pairwise_weight.size(2);
}

std::int64_t single_output(const DeepBiaffineWeights& scorer) {
  TORCH_CHECK(output_count(scorer) == 1, "an arc scorer must have one output, got ", output_count(scorer));
  return 1;
}

// Sentences of `length` padded rows per group: at most kGroupRows rows, and
// at least one sentence.
std::int64_t group_size(std::int64_t length) { return std::max<std::int64_t>(1, kGroupRows / std::max<std::int64_t>(length, 1)); }

// Writes the pairwise scores of the projected sentences into `out`
// ([k, L, L, O], or [k, L, L] for O = 1; contiguous), a group of sentences
// at a time. The head side is contracted with the weight first
// ([g * L, P * O]); regrouped as [g, P, L * O] it meets the dependent side in
// one batched product whose result is already laid out as [i, j, o]. The
// constant 1 of each side enters as the weight's last row instead of a column.
void fill_pairwise(const DeepBiaffineWeights& scorer, const Projection& sides, at::Tensor& out) {
  const std::int64_t outputs = output_count(scorer);
  const std::int64_t p = scorer.pairwise_weight.size(0);
  const std::int64_t q = scorer.pairwise_weight.size(1);
  const std::int64_t sentences = sides.head.size(0);
  const std::int64_t length = sides.head.size(1);
  const at::Tensor head_rows = scorer.head_major.narrow(0, 0, q - 1);
  const at::Tensor head_constant = scorer.head_major.select(0, q - 1);
  const at::Tensor bias_per_head = scorer.pairwise_bias.repeat({length});
  const std::int64_t step = group_size(length);
  for (std::int64_t first = 0; first < sentences; first += step) {
    const std::int64_t count = std::min(step, sentences - first);
    const Projection group = sides.sentences(first, count);
    const at::Tensor by_dependent = at::addmm(head_constant, group.head.reshape({count * length, q - 1}), head_rows)
                                        .view({count, length, p, outputs})
                                        .permute({0, 2, 1, 3})
                                        .contiguous()
                                        .view({count, p, length * outputs});
    const at::Tensor constant = (by_dependent.select(1, p - 1) + bias_per_head).unsqueeze(1);
    at::Tensor target = out.narrow(0, first, count).view({count, length, length * outputs});
    at::baddbmm_out(target, constant, group.dependent, by_dependent.narrow(1, 0, p - 1));
  }
}

at::Tensor pairwise_scores(const DeepBiaffineWeights& scorer, const Projection& sides, bool single) {
  const std::int64_t sentences = sides.head.size(0);
  const std::int64_t length = sides.head.size(1);
  at::Tensor out = single ? at::empty({sentences, length, length}, sides.head.options())
                          : at::empty({sentences, length, length, output_count(scorer)}, sides.head.options());
  fill_pairwise(scorer, sides, out);
  return out;
}

// Raw [k, L, L] scores of a one-output scorer (arcs, linearization, distance).
at::Tensor single_output_scores(const DeepBiaffineWeights& scorer, const at::Tensor& encoded) {
  single_output(scorer);
  return pairwise_scores(scorer, project(encoded, scorer), true);
}

// Normalises the last dimension of a contiguous tensor in place, a bounded
// block of rows at a time.
void log_softmax_in_place(at::Tensor& scores) {
  if (scores.numel() == 0) return;
  const std::int64_t classes = scores.size(-1);
  const at::Tensor rows = scores.view({-1, classes});
  const std::int64_t step = std::max<std::int64_t>(1, kSoftmaxChunkCells / classes);
  for (std::int64_t start = 0; start < rows.size(0); start += step) {
    at::Tensor block = rows.narrow(0, start, std::min(step, rows.size(0) - start));
    block.copy_(at::log_softmax(block, 1));
  }
}

// Adds the linear-order and distance terms (when defined) to the raw arc
// scores [B, L, L], bars self-attachment and padded heads, and normalises
// over heads.
at::Tensor arc_log_probabilities(at::Tensor arcs, const at::Tensor& linearization, const at::Tensor& distance,
                                 const at::Tensor* padding_mask) {
  const std::int64_t length = arcs.size(1);
  if (linearization.defined() || distance.defined()) {
    const at::Tensor positions = at::arange(length, at::kLong);
    // offset[0, i, j] = j - i: head position minus dependent position.
    const at::Tensor offset = positions.view({1, 1, length}) - positions.view({1, length, 1});
    if (linearization.defined()) {
      arcs = arcs + at::log_sigmoid(linearization * at::sign(offset).to(arcs.scalar_type()));
    }
    if (distance.defined()) {
      const at::Tensor predicted = at::softplus(distance, 1, 20) + 1;
      arcs = arcs - at::log((offset.abs().to(arcs.scalar_type()) - predicted).pow(2) / 2 + 1);
    }
  }
  arcs.diagonal(0, 1, 2).fill_(kMinusInfinity);
  if (padding_mask != nullptr) arcs.masked_fill_(padding_mask->logical_not().unsqueeze(1), kMinusInfinity);
  return at::log_softmax(arcs, 2);
}

// Arc log-probabilities [k, L, L] of a padded batch.
at::Tensor arc_scores(const ArcScorers& scorers, const at::Tensor& encoded, const at::Tensor* padding_mask) {
  const at::Tensor linearization =
      scorers.linearization ? single_output_scores(*scorers.linearization, encoded) : at::Tensor();
  const at::Tensor distance = scorers.distance ? single_output_scores(*scorers.distance, encoded) : at::Tensor();
  return arc_log_probabilities(single_output_scores(scorers.unlabeled, encoded), linearization, distance,
                               padding_mask);
}

void check_padding_mask(const at::Tensor& encoded, const at::Tensor* padding_mask) {
  if (padding_mask == nullptr) return;
  if (padding_mask->dim() != 2 || padding_mask->size(0) != encoded.size(0) || padding_mask->size(1) != encoded.size(1)) {
    throw DepparseModelError("depparse padding mask does not match encoded input");
  }
}

void check_encoded(const at::Tensor& encoded) {
  TORCH_CHECK(encoded.dim() == 3, "encoded input must be [batch, positions, features], got ", encoded.sizes());
}

// A sentence's first n rows and columns, as [1, n, n, ...].
at::Tensor cut(const at::Tensor& padded, std::int64_t n) {
  return padded.narrow(0, 0, n).narrow(1, 0, n).unsqueeze(0).contiguous();
}

}  // namespace

DeepBiaffineWeights DeepBiaffineWeights::named(std::string_view scorer, const Lookup& weight) {
  const std::string prefix(scorer);
  DeepBiaffineWeights weights;
  weights.dependent_weight = weight(prefix + ".W1.weight");
  weights.dependent_bias = weight(prefix + ".W1.bias");
  weights.head_weight = weight(prefix + ".W2.weight");
  weights.head_bias = weight(prefix + ".W2.bias");
  weights.pairwise_weight = weight(prefix + ".scorer.W_bilin.weight");
  weights.pairwise_bias = weight(prefix + ".scorer.W_bilin.bias");
  const at::Tensor& w = weights.pairwise_weight;
  if (w.dim() == 3) weights.head_major = w.permute({1, 0, 2}).contiguous().view({w.size(1), w.size(0) * w.size(2)});
  return weights;
}

at::Tensor deep_biaffine(const at::Tensor& encoded, const DeepBiaffineWeights& scorer) {
  check_encoded(encoded);
  return pairwise_scores(scorer, project(encoded, scorer), false);
}

ArcScores score_encoded(const ArcScorers& scorers, const at::Tensor& encoded, const at::Tensor* padding_mask) {
  check_encoded(encoded);
  check_padding_mask(encoded, padding_mask);
  at::Tensor arcs = arc_scores(scorers, encoded, padding_mask);
  at::Tensor relations = deep_biaffine(encoded, scorers.deprel);
  log_softmax_in_place(relations);
  return {std::move(arcs), std::move(relations)};
}

std::vector<ArcScores> score_encoded_many(const ArcScorers& scorers, const std::vector<at::Tensor>& encoded,
                                          const std::vector<std::size_t>& word_counts, std::int64_t batch_size) {
  if (encoded.size() != word_counts.size()) {
    throw DepparseModelError("depparse encoded and sentence batches must have equal lengths");
  }
  std::vector<ArcScores> results(encoded.size());
  std::vector<std::size_t> sentences;
  std::vector<std::int64_t> lengths;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (word_counts[i] == 0) continue;
    const at::Tensor& sentence = encoded[i];
    const auto positions = static_cast<std::int64_t>(word_counts[i] + 1);
    if (!sentence.defined() || sentence.dim() != 3 || sentence.size(0) != 1 || sentence.size(1) != positions) {
      throw DepparseModelError("depparse encoded sentence length does not match its words");
    }
    sentences.push_back(i);
    lengths.push_back(positions);
  }
  // Scored in groups of at most kGroupRows padded rows (fewer when the budget
  // is smaller), each padded to its own longest sentence: a sentence gets the
  // scores it gets alone whatever group it is in, and small groups keep both
  // the padding and the [k, L, L, R] relation buffer small.
  const std::int64_t budget = batch_size > 0 ? std::min(batch_size, kGroupRows) : kGroupRows;
  const std::vector<std::size_t> order = longest_first(lengths);
  for (const BatchRange& range : cut_batches(order, lengths, 0, budget)) {
    const auto count = static_cast<std::int64_t>(range.end - range.begin);
    const std::int64_t length = lengths[order[range.begin]];
    const at::Tensor& first = encoded[sentences[order[range.begin]]];
    at::Tensor padded = at::zeros({count, length, first.size(2)}, first.options());
    at::Tensor mask = at::zeros({count, length}, at::kBool);
    for (std::int64_t j = 0; j < count; ++j) {
      const std::int64_t n = lengths[order[range.begin + j]];
      padded[j].narrow(0, 0, n).copy_(encoded[sentences[order[range.begin + j]]][0]);
      mask[j].narrow(0, 0, n).fill_(true);
    }
    const at::Tensor arcs = arc_scores(scorers, padded, &mask);
    at::Tensor relations = deep_biaffine(padded, scorers.deprel);
    padded.reset();
    log_softmax_in_place(relations);
    for (std::int64_t j = 0; j < count; ++j) {
      const std::int64_t n = lengths[order[range.begin + j]];
      ArcScores& result = results[sentences[order[range.begin + j]]];
      result.first = cut(arcs[j], n);
      result.second = cut(relations[j], n);
    }
  }
  return results;
}

}  // namespace lorvane::detail
