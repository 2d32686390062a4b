#include "models/depparse/scoring.hpp"

#include <ATen/ops/addmm.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/log.h>
#include <ATen/ops/log_sigmoid.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/sign.h>
#include <ATen/ops/softplus.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <limits>

#include "lorvane/errors.hpp"
#include "models/common/batching.hpp"

namespace lorvane::detail {
namespace {

// Rows whose head-side product is computed at once: large enough for an
// efficient matrix product, small enough to bound its [rows, P * O] buffer.
constexpr std::int64_t kHeadGroupRows = 512;
// Scores normalised per temporary buffer when relation scores are normalised in place.
constexpr std::int64_t kSoftmaxChunkCells = std::int64_t{1} << 20;

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

// relu(linear) of the encoder rows [rows, H] on both sides of one scorer.
struct Projection {
  at::Tensor dependent;  // [rows, P - 1]
  at::Tensor head;       // [rows, Q - 1]
};

Projection project(const at::Tensor& rows, const DeepBiaffineWeights& scorer) {
  Projection sides{at::linear(rows, scorer.dependent_weight, scorer.dependent_bias),
                   at::linear(rows, scorer.head_weight, scorer.head_bias)};
  at::relu_(sides.dependent);
  at::relu_(sides.head);
  return sides;
}

// One sentence: its rows [begin, begin + length) in the projected rows, and
// the contiguous [length, length, O] (or [length, length] for O = 1) tensor
// its scores are written to.
struct Segment {
  std::int64_t begin = 0;
  std::int64_t length = 0;
  at::Tensor out;
};

std::int64_t output_count(const DeepBiaffineWeights& scorer) {
  TORCH_CHECK(scorer.head_major.defined(), "deep biaffine weight must have three dimensions, got ",
              scorer.pairwise_weight.dim());
  return scorer.pairwise_weight.size(2);
}

// The end of the group of segments starting at `first` whose head-side
// product runs at once: consecutive rows, at most kHeadGroupRows of them
// unless the first segment alone is longer.
std::size_t group_end(const std::vector<Segment>& segments, std::size_t first) {
  std::size_t last = first + 1;
  std::int64_t rows = segments[first].length;
  while (last < segments.size() && rows + segments[last].length <= kHeadGroupRows &&
         segments[last].begin == segments[last - 1].begin + segments[last - 1].length) {
    rows += segments[last].length;
    ++last;
  }
  return last;
}

// Writes every segment's pairwise scores. The head side is contracted with the
// weight first ([rows, P * O]); regrouped as [P, n * O] it meets the dependent
// side in one product whose result is already laid out as [i, j, o]. The
// constant 1 of each side enters as the last weight row instead of a column.
void fill_pairwise(const DeepBiaffineWeights& scorer, const Projection& sides, const std::vector<Segment>& segments) {
  const std::int64_t outputs = output_count(scorer);
  const std::int64_t p = scorer.pairwise_weight.size(0);
  const std::int64_t q = scorer.pairwise_weight.size(1);
  const at::Tensor head_rows = scorer.head_major.narrow(0, 0, q - 1);
  const at::Tensor head_constant = scorer.head_major.select(0, q - 1);
  for (std::size_t first = 0; first < segments.size();) {
    const std::size_t last = group_end(segments, first);
    const std::int64_t begin = segments[first].begin;
    const std::int64_t rows = segments[last - 1].begin + segments[last - 1].length - begin;
    const at::Tensor head_side = at::addmm(head_constant, sides.head.narrow(0, begin, rows), head_rows);
    for (std::size_t k = first; k < last; ++k) {
      const Segment& segment = segments[k];
      const std::int64_t n = segment.length;
      const at::Tensor by_dependent =
          head_side.narrow(0, segment.begin - begin, n).view({n, p, outputs}).permute({1, 0, 2}).contiguous().view({p, n * outputs});
      const at::Tensor constant = by_dependent.select(0, p - 1) + scorer.pairwise_bias.repeat({n});
      at::Tensor out = segment.out.view({n, n * outputs});
      at::addmm_out(out, constant, sides.dependent.narrow(0, segment.begin, n), by_dependent.narrow(0, 0, p - 1));
    }
    first = last;
  }
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

// Segments for sentences laid out back to back in the projected rows.
std::vector<Segment> segments_of(const std::vector<std::int64_t>& lengths, const std::vector<at::Tensor>& outs) {
  std::vector<Segment> segments;
  std::int64_t begin = 0;
  for (std::size_t k = 0; k < lengths.size(); ++k) {
    segments.push_back({begin, lengths[k], outs[k]});
    begin += lengths[k];
  }
  return segments;
}

// Raw scores of one scorer for sentences laid out back to back in `rows`,
// one tensor of `shape(n)` per sentence.
template <class Shape>
std::vector<at::Tensor> raw_scores(const DeepBiaffineWeights& scorer, const at::Tensor& rows,
                                   const std::vector<std::int64_t>& lengths, Shape&& shape) {
  std::vector<at::Tensor> outs;
  for (const std::int64_t n : lengths) outs.push_back(at::empty(shape(n), rows.options()));
  fill_pairwise(scorer, project(rows, scorer), segments_of(lengths, outs));
  return outs;
}

// Scores of a one-output scorer (arcs, linearization, distance), [1, n, n] per sentence.
std::vector<at::Tensor> single_output_scores(const DeepBiaffineWeights& scorer, const at::Tensor& rows,
                                             const std::vector<std::int64_t>& lengths) {
  TORCH_CHECK(output_count(scorer) == 1, "an arc scorer must have one output, got ", output_count(scorer));
  return raw_scores(scorer, rows, lengths, [](std::int64_t n) { return std::vector<std::int64_t>{1, n, n}; });
}

void check_padding_mask(const at::Tensor& encoded, const at::Tensor* padding_mask) {
  if (padding_mask == nullptr) return;
  if (padding_mask->dim() != 2 || padding_mask->size(0) != encoded.size(0) || padding_mask->size(1) != encoded.size(1)) {
    throw DepparseModelError("depparse padding mask does not match encoded input");
  }
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
  TORCH_CHECK(encoded.dim() == 3, "encoded input must be [batch, positions, features], got ", encoded.sizes());
  const std::int64_t batch = encoded.size(0);
  const std::int64_t length = encoded.size(1);
  const at::Tensor rows = encoded.reshape({batch * length, encoded.size(2)});
  at::Tensor out = at::empty({batch, length, length, output_count(scorer)}, encoded.options());
  std::vector<Segment> segments;
  for (std::int64_t b = 0; b < batch; ++b) segments.push_back({b * length, length, out.select(0, b)});
  fill_pairwise(scorer, project(rows, scorer), segments);
  return out;
}

ArcScores score_encoded(const ArcScorers& scorers, const at::Tensor& encoded, const at::Tensor* padding_mask) {
  TORCH_CHECK(encoded.dim() == 3, "encoded input must be [batch, positions, features], got ", encoded.sizes());
  check_padding_mask(encoded, padding_mask);
  auto one_output = [&](const DeepBiaffineWeights& scorer) {
    TORCH_CHECK(output_count(scorer) == 1, "an arc scorer must have one output, got ", output_count(scorer));
    return deep_biaffine(encoded, scorer).squeeze(3);
  };
  const at::Tensor linearization = scorers.linearization ? one_output(*scorers.linearization) : at::Tensor();
  const at::Tensor distance = scorers.distance ? one_output(*scorers.distance) : at::Tensor();
  at::Tensor arcs = arc_log_probabilities(one_output(scorers.unlabeled), linearization, distance, padding_mask);
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
  const std::vector<std::size_t> order = longest_first(lengths);
  const std::int64_t relation_classes = output_count(scorers.deprel);
  for (const BatchRange& range : cut_batches(order, lengths, 0, batch_size)) {
    // The batch's sentences back to back, without padding: padded rows would
    // only add scores that are cut away again.
    std::vector<at::Tensor> parts;
    std::vector<std::int64_t> batch_lengths;
    for (std::size_t k = range.begin; k < range.end; ++k) {
      parts.push_back(encoded[sentences[order[k]]].select(0, 0));
      batch_lengths.push_back(lengths[order[k]]);
    }
    const at::Tensor rows = parts.size() == 1 ? parts.front().contiguous() : at::cat(parts, 0);
    parts.clear();
    const std::vector<at::Tensor> none(batch_lengths.size());
    const std::vector<at::Tensor> linearization =
        scorers.linearization ? single_output_scores(*scorers.linearization, rows, batch_lengths) : none;
    const std::vector<at::Tensor> distance =
        scorers.distance ? single_output_scores(*scorers.distance, rows, batch_lengths) : none;
    std::vector<at::Tensor> arcs = single_output_scores(scorers.unlabeled, rows, batch_lengths);
    std::vector<at::Tensor> relations = raw_scores(scorers.deprel, rows, batch_lengths, [&](std::int64_t n) {
      return std::vector<std::int64_t>{1, n, n, relation_classes};
    });
    for (std::size_t k = 0; k < batch_lengths.size(); ++k) {
      log_softmax_in_place(relations[k]);
      ArcScores& result = results[sentences[order[range.begin + k]]];
      result.first = arc_log_probabilities(std::move(arcs[k]), linearization[k], distance[k], nullptr);
      result.second = std::move(relations[k]);
    }
  }
  return results;
}

}  // namespace lorvane::detail
