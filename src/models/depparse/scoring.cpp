#include "models/depparse/scoring.hpp"

#include <ATen/ops/addmm.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/baddbmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
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
#include "nn/batching.hpp"

namespace lorvane::detail {
namespace {

// Padded rows whose head-side product is computed at once: large enough for
// an efficient matrix product, small enough to bound its [rows, P * O] buffer
// and a group's relation scores.
constexpr std::int64_t kGroupRows = 512;
// Scores normalised per temporary buffer when relation scores are normalised in place.
constexpr std::int64_t kSoftmaxChunkCells = std::int64_t{1} << 20;
// Arc score cells (sentences x rows x heads) computed per block: each
// temporary of the arc terms stays near 4 MB however long the sentence.
constexpr std::int64_t kArcBlockCells = std::int64_t{1} << 20;
// Arcs whose relation rows are computed at once: every block reads the whole
// pairwise weight (23 MB at P = Q = 401, R = 36), so blocks are large, and the
// dependent sides contracted with it make an [arcs, Q * R] buffer of 30 MB.
constexpr std::int64_t kRelationBlockArcs = 512;

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

// The rows of the sentences of a group, each at its offset in `packed`, laid
// out as [g, L, width] with zeros after each sentence's rows; a view when
// every sentence has L rows and they follow each other.
at::Tensor padded(const at::Tensor& packed, const std::vector<std::int64_t>& offsets,
                  const std::vector<std::int64_t>& lengths, std::int64_t length) {
  const auto sentences = static_cast<std::int64_t>(offsets.size());
  bool back_to_back = true;
  for (std::size_t j = 0; j < offsets.size(); ++j) {
    back_to_back = back_to_back && lengths[j] == length && offsets[j] == offsets[0] + static_cast<std::int64_t>(j) * length;
  }
  if (back_to_back) return packed.narrow(0, offsets[0], sentences * length).view({sentences, length, packed.size(1)});
  at::Tensor out = at::zeros({static_cast<std::int64_t>(offsets.size()), length, packed.size(1)}, packed.options());
  for (std::size_t j = 0; j < offsets.size(); ++j) {
    out[static_cast<std::int64_t>(j)].narrow(0, 0, lengths[j]).copy_(packed.narrow(0, offsets[j], lengths[j]));
  }
  return out;
}

// A sentence group in packed rows [N, H]: sentence j holds rows
// offsets[j] .. offsets[j] + lengths[j] - 1, and the longest holds `length`.
struct PackedGroup {
  at::Tensor rows;
  std::vector<std::int64_t> offsets;
  std::vector<std::int64_t> lengths;
  std::int64_t length = 0;

  at::Tensor padded(const at::Tensor& packed_values) const {
    return lorvane::detail::padded(packed_values, offsets, lengths, length);
  }
};

// One arc scorer (one output) over a group: the dependent side [g, L, P - 1]
// and the head side contracted with the pairwise weight, [g, P, L], whose
// row P - 1 meets the dependent side's constant 1. Projected packed, then
// padded.
struct ArcSides {
  at::Tensor dependents;
  at::Tensor by_dependent;
  at::Tensor bias;

  // Raw scores [g, rows, L] of the dependent rows first .. first + rows - 1.
  at::Tensor pairwise(std::int64_t first, std::int64_t rows) const {
    const std::int64_t p = by_dependent.size(1);
    const at::Tensor constant = (by_dependent.select(1, p - 1) + bias).unsqueeze(1);
    return at::baddbmm(constant, dependents.narrow(1, first, rows), by_dependent.narrow(1, 0, p - 1));
  }
};

ArcSides arc_sides(const DeepBiaffineWeights& scorer, const PackedGroup& group) {
  single_output(scorer);
  const std::int64_t q = scorer.pairwise_weight.size(1);
  const Projection sides = project(group.rows, scorer);
  const at::Tensor by_head =
      at::addmm(scorer.head_major.select(0, q - 1), sides.head, scorer.head_major.narrow(0, 0, q - 1));
  return {group.padded(sides.dependent), group.padded(by_head).transpose(1, 2).contiguous(), scorer.pairwise_bias};
}

// Arc log-probabilities of the dependent rows first .. first + rows - 1 of a
// group, [g, rows, L]: the linear-order and distance terms (when defined)
// added to the raw scores, self-attachment and padded heads barred, and each
// row normalised over heads.
at::Tensor arc_log_probabilities(at::Tensor arcs, const at::Tensor& linearization, const at::Tensor& distance,
                                 std::int64_t first, const at::Tensor* padding_mask) {
  const std::int64_t rows = arcs.size(1);
  const std::int64_t length = arcs.size(2);
  if (linearization.defined() || distance.defined()) {
    // offset[0, i, j] = j - i: head position minus dependent position.
    const at::Tensor offset = at::arange(length, at::kLong).view({1, 1, length}) -
                              at::arange(first, first + rows, at::kLong).view({1, rows, 1});
    if (linearization.defined()) {
      arcs = arcs + at::log_sigmoid(linearization * at::sign(offset).to(arcs.scalar_type()));
    }
    if (distance.defined()) {
      const at::Tensor predicted = at::softplus(distance, 1, 20) + 1;
      arcs = arcs - at::log((offset.abs().to(arcs.scalar_type()) - predicted).pow(2) / 2 + 1);
    }
  }
  arcs.diagonal(first, 1, 2).fill_(kMinusInfinity);
  if (padding_mask != nullptr) arcs.masked_fill_(padding_mask->logical_not().unsqueeze(1), kMinusInfinity);
  return at::log_softmax(arcs, 2);
}

// Arc log-probabilities [g, L, L] of a group, a block of dependent rows at a time.
at::Tensor group_arc_scores(const ArcScorers& scorers, const PackedGroup& group, const at::Tensor* padding_mask) {
  const ArcSides unlabeled = arc_sides(scorers.unlabeled, group);
  const std::optional<ArcSides> linearization =
      scorers.linearization ? std::optional(arc_sides(*scorers.linearization, group)) : std::nullopt;
  const std::optional<ArcSides> distance =
      scorers.distance ? std::optional(arc_sides(*scorers.distance, group)) : std::nullopt;
  const std::int64_t sentences = unlabeled.dependents.size(0);
  const std::int64_t length = group.length;
  at::Tensor out = at::empty({sentences, length, length}, group.rows.options());
  const std::int64_t step = std::max<std::int64_t>(1, kArcBlockCells / (sentences * std::max<std::int64_t>(length, 1)));
  for (std::int64_t first = 0; first < length; first += step) {
    const std::int64_t rows = std::min(step, length - first);
    out.narrow(1, first, rows)
        .copy_(arc_log_probabilities(unlabeled.pairwise(first, rows),
                                     linearization ? linearization->pairwise(first, rows) : at::Tensor(),
                                     distance ? distance->pairwise(first, rows) : at::Tensor(), first, padding_mask));
  }
  return out;
}

// The padding mask of a group, [g, L], true at real positions; undefined
// when no sentence is shorter than the longest.
at::Tensor group_mask(const PackedGroup& group) {
  if (std::all_of(group.lengths.begin(), group.lengths.end(), [&](std::int64_t n) { return n == group.length; })) {
    return at::Tensor();
  }
  at::Tensor mask = at::zeros({static_cast<std::int64_t>(group.lengths.size()), group.length}, at::kBool);
  for (std::size_t j = 0; j < group.lengths.size(); ++j) {
    mask[static_cast<std::int64_t>(j)].narrow(0, 0, group.lengths[j]).fill_(true);
  }
  return mask;
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

// A sentence's first n rows and columns, contiguous.
at::Tensor cut(const at::Tensor& padded_scores, std::int64_t n) {
  return padded_scores.narrow(0, 0, n).narrow(1, 0, n).contiguous();
}

// The positions of the sentences with words, checked against their encodings.
std::vector<std::size_t> sentences_to_score(const std::vector<at::Tensor>& encoded,
                                            const std::vector<std::size_t>& word_counts,
                                            std::vector<std::int64_t>& lengths) {
  if (encoded.size() != word_counts.size()) {
    throw DepparseModelError("depparse encoded and sentence batches must have equal lengths");
  }
  std::vector<std::size_t> sentences;
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
  return sentences;
}

at::Tensor index_tensor(const std::vector<std::int64_t>& values) {
  return at::from_blob(const_cast<std::int64_t*>(values.data()), {static_cast<std::int64_t>(values.size())}, at::kLong)
      .clone();
}

// Copies [k, R] scores of any floating type into k * R doubles.
void copy_to_doubles(const at::Tensor& scores, double* out) {
  at::from_blob(out, scores.sizes(), at::kDouble).copy_(scores);
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
  const std::int64_t sentences = encoded.size(0);
  const std::int64_t length = encoded.size(1);
  PackedGroup group{encoded.reshape({sentences * length, encoded.size(2)}), {}, {}, length};
  for (std::int64_t j = 0; j < sentences; ++j) {
    group.offsets.push_back(j * length);
    group.lengths.push_back(length);
  }
  at::Tensor arcs = group_arc_scores(scorers, group, padding_mask);
  at::Tensor relations = deep_biaffine(encoded, scorers.deprel);
  log_softmax_in_place(relations);
  return {std::move(arcs), std::move(relations)};
}

std::vector<SentenceScores> score_sentences(const ArcScorers& scorers, const std::vector<at::Tensor>& encoded,
                                            const std::vector<std::size_t>& word_counts, std::int64_t batch_size) {
  std::vector<std::int64_t> lengths;
  const std::vector<std::size_t> sentences = sentences_to_score(encoded, word_counts, lengths);
  std::vector<SentenceScores> results(encoded.size());
  // Groups of at most kGroupRows padded rows (fewer when the budget is
  // smaller), each padded to its own longest sentence: a sentence gets the
  // scores it gets alone whatever group it is in, and small groups keep the
  // padding of the pairwise products small.
  const std::int64_t budget = batch_size > 0 ? std::min(batch_size, kGroupRows) : kGroupRows;
  const std::vector<std::size_t> order = longest_first(lengths);
  for (const BatchRange& range : cut_batches(order, lengths, 0, budget)) {
    PackedGroup group;
    group.length = lengths[order[range.begin]];
    std::vector<at::Tensor> rows;
    std::int64_t offset = 0;
    for (std::size_t k = range.begin; k < range.end; ++k) {
      rows.push_back(encoded[sentences[order[k]]][0]);
      group.offsets.push_back(offset);
      group.lengths.push_back(lengths[order[k]]);
      offset += lengths[order[k]];
    }
    group.rows = rows.size() == 1 ? rows[0] : at::cat(rows);
    rows.clear();
    const at::Tensor mask = group_mask(group);
    const at::Tensor arcs = group_arc_scores(scorers, group, mask.defined() ? &mask : nullptr);
    const Projection relation_sides = project(group.rows, scorers.deprel);
    for (std::size_t j = 0; j < group.offsets.size(); ++j) {
      SentenceScores& result = results[sentences[order[range.begin + j]]];
      const std::int64_t n = group.lengths[j];
      result.arcs = group.offsets.size() == 1 ? arcs[0] : cut(arcs[static_cast<std::int64_t>(j)], n);
      result.dependents = relation_sides.dependent.narrow(0, group.offsets[j], n);
      result.heads = relation_sides.head.narrow(0, group.offsets[j], n);
    }
  }
  return results;
}

at::Tensor relation_log_probabilities(const DeepBiaffineWeights& scorer, const at::Tensor& dependents,
                                      const at::Tensor& heads, const std::vector<std::size_t>& arc_dependents,
                                      const std::vector<std::size_t>& arc_heads) {
  const std::int64_t outputs = output_count(scorer);
  const std::int64_t p = scorer.pairwise_weight.size(0);
  const std::int64_t q = scorer.pairwise_weight.size(1);
  const auto arcs = static_cast<std::int64_t>(arc_dependents.size());
  at::Tensor out = at::empty({arcs, outputs}, dependents.options());
  const at::Tensor weight = scorer.pairwise_weight.reshape({p, q * outputs});
  std::vector<std::int64_t> block_dependents;
  std::vector<std::int64_t> block_heads;
  for (std::int64_t first = 0; first < arcs; first += kRelationBlockArcs) {
    const std::int64_t count = std::min(kRelationBlockArcs, arcs - first);
    block_dependents.assign(arc_dependents.begin() + first, arc_dependents.begin() + first + count);
    block_heads.assign(arc_heads.begin() + first, arc_heads.begin() + first + count);
    // Each arc's dependent side (with its constant 1) contracted with the weight: [arcs, Q, R].
    const at::Tensor by_dependent =
        at::addmm(weight.select(0, p - 1), dependents.index_select(0, index_tensor(block_dependents)),
                  weight.narrow(0, 0, p - 1))
            .view({count, q, outputs});
    const at::Tensor constant = by_dependent.select(1, q - 1) + scorer.pairwise_bias;
    const at::Tensor scores = at::baddbmm(constant.unsqueeze(1),
                                          heads.index_select(0, index_tensor(block_heads)).unsqueeze(1),
                                          by_dependent.narrow(1, 0, q - 1));
    out.narrow(0, first, count).copy_(at::log_softmax(scores.squeeze(1), 1));
  }
  return out;
}

at::Tensor dependent_relation_log_probabilities(const DeepBiaffineWeights& scorer, const at::Tensor& dependents,
                                                const at::Tensor& heads, std::int64_t first, std::int64_t count) {
  const std::int64_t outputs = output_count(scorer);
  const std::int64_t p = scorer.pairwise_weight.size(0);
  const std::int64_t q = scorer.pairwise_weight.size(1);
  const std::int64_t n = heads.size(0);
  const at::Tensor weight = scorer.pairwise_weight.reshape({p, q * outputs});
  // by_dependent[d, q, r]: each dependent side (with its constant 1) contracted with the weight.
  const at::Tensor by_dependent =
      at::addmm(weight.select(0, p - 1), dependents.narrow(0, first, count), weight.narrow(0, 0, p - 1))
          .view({count, q, outputs});
  // [Q - 1, count * R]: one product meets every head with every dependent of the block.
  const at::Tensor by_head = by_dependent.narrow(1, 0, q - 1).permute({1, 0, 2}).reshape({q - 1, count * outputs});
  const at::Tensor constant = (by_dependent.select(1, q - 1) + scorer.pairwise_bias).reshape({count * outputs});
  const at::Tensor scores = at::addmm(constant, heads, by_head).view({n, count, outputs}).permute({1, 0, 2});
  return at::log_softmax(scores, 2);
}

RelationRows::RelationRows(const DeepBiaffineWeights& scorer, at::Tensor dependents, at::Tensor heads)
    : scorer_(scorer), dependents_(std::move(dependents)), heads_(std::move(heads)) {}

std::size_t RelationRows::size() const { return static_cast<std::size_t>(dependents_.size(0)); }

std::size_t RelationRows::classes() const { return static_cast<std::size_t>(output_count(scorer_)); }

void RelationRows::arc_rows(const std::vector<std::size_t>& dependents, const std::vector<std::size_t>& heads,
                            double* out) const {
  const std::size_t outputs = classes();
  std::vector<std::size_t> missing;
  std::vector<std::size_t> missing_dependents;
  std::vector<std::size_t> missing_heads;
  for (std::size_t k = 0; k < dependents.size(); ++k) {
    const std::size_t dependent = dependents[k];
    if (dependent > 0 && dependent < tree_heads_.size() && tree_heads_[dependent] == heads[k]) {
      std::copy_n(tree_rows_.begin() + static_cast<std::ptrdiff_t>((dependent - 1) * outputs), outputs, out + k * outputs);
    } else {
      missing.push_back(k);
      missing_dependents.push_back(dependent);
      missing_heads.push_back(heads[k]);
    }
  }
  if (missing.empty()) return;
  std::vector<double> computed(missing.size() * outputs);
  copy_to_doubles(relation_log_probabilities(scorer_, dependents_, heads_, missing_dependents, missing_heads),
                  computed.data());
  for (std::size_t m = 0; m < missing.size(); ++m) {
    std::copy_n(computed.begin() + static_cast<std::ptrdiff_t>(m * outputs), outputs, out + missing[m] * outputs);
  }
}

void RelationRows::provide_tree_rows(std::vector<std::size_t> tree_heads, std::vector<double> rows) {
  tree_heads_ = std::move(tree_heads);
  tree_rows_ = std::move(rows);
}

void RelationRows::dependent_rows(std::size_t dependent, double* out) const {
  copy_to_doubles(
      dependent_relation_log_probabilities(scorer_, dependents_, heads_, static_cast<std::int64_t>(dependent), 1)[0], out);
}

std::vector<ArcScores> score_encoded_many(const ArcScorers& scorers, const std::vector<at::Tensor>& encoded,
                                          const std::vector<std::size_t>& word_counts, std::int64_t batch_size) {
  std::vector<SentenceScores> scores = score_sentences(scorers, encoded, word_counts, batch_size);
  std::vector<ArcScores> results(scores.size());
  const std::int64_t outputs = output_count(scorers.deprel);
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (!scores[i].arcs.defined()) continue;
    const std::int64_t n = scores[i].arcs.size(0);
    at::Tensor relations = at::empty({1, n, n, outputs}, scores[i].arcs.options());
    const std::int64_t step = std::max<std::int64_t>(1, kSoftmaxChunkCells / (n * outputs));
    for (std::int64_t first = 0; first < n; first += step) {
      const std::int64_t count = std::min(step, n - first);
      relations[0].narrow(0, first, count).copy_(dependent_relation_log_probabilities(
          scorers.deprel, scores[i].dependents, scores[i].heads, first, count));
    }
    results[i] = {scores[i].arcs.unsqueeze(0), std::move(relations)};
    scores[i] = {};
  }
  return results;
}

}  // namespace lorvane::detail
